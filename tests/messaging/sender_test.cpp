// The registration SMS: the send record byte for byte, the service-centre query and its retry,
// and the refusal of texts that do not fit.
#include <gtest/gtest.h>

#include <cstring>

#include "DM_RegSendSMS.h"
#include "handset.h"
#include "stderr_capture.h"
#include "zavtapi_control.h"

using testsupport::StderrCapture;
using zavtapi::Call;
using Lines = std::vector<std::string>;

namespace {

std::string L5(const std::string& func, const std::string& message)
{
    return testsupport::traceLine(5, "DM_RegSendSMS.cpp", func, message);
}

std::string L2(const std::string& message)
{
    return testsupport::platformLine(2, "DM_RegSendSMS.cpp", message);
}

// Little-endian fields of a captured record, at their offsets on the handset.
unsigned field(const std::vector<unsigned char>& record, size_t offset, size_t width)
{
    unsigned value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<unsigned>(record[offset + i]) << (8 * i);
    }
    return value;
}

std::string text(const std::vector<unsigned char>& record, size_t offset)
{
    return std::string(reinterpret_cast<const char*>(&record[offset]));
}

const size_t kPointerOffset = sizeof(void*) == 4 ? 100 : 104;  // 64-bit hosts align the pointer to 8

using Sender = testsupport::Handset;

TEST_F(Sender, FillsTheRecordAsTheTelephonyServiceExpects)
{
    const char message[] = "IMEI:490154203237518/Zav/ZV-100/1.0.3";
    StderrCapture capture;
    {
        DM_RegSendSMS sender(message, "+15550100200");
        sender.run();
        const std::vector<zavtapi::SentSms> sent = zavtapi::sent();
        ASSERT_EQ(sent.size(), 1u);
        const std::vector<unsigned char>& r = sent[0].record;
        ASSERT_EQ(r.size(), sizeof(void*) == 4 ? 104u : 112u);
        EXPECT_EQ(field(r, 0, 4), 2u);
        EXPECT_EQ(field(r, 4, 1), 11u);
        EXPECT_EQ(field(r, 6, 2), 16999u) << "source port: the client port";
        EXPECT_EQ(field(r, 8, 2), 16998u) << "destination port: the server port";
        EXPECT_EQ(text(r, 10), zavtapi::kDefaultServiceCentre);
        EXPECT_EQ(text(r, 52), "+15550100200");
        EXPECT_EQ(std::string(r.begin() + 52 + 12, r.begin() + 94), std::string(30, '\0'));
        EXPECT_EQ(field(r, 94, 1), 0u);
        EXPECT_EQ(field(r, 95, 1), 0u);
        EXPECT_EQ(field(r, 96, 2), strlen(message));
        const void* pointer = nullptr;
        memcpy(&pointer, &r[kPointerOffset], sizeof(pointer));
        EXPECT_EQ(pointer, sent[0].dataPointer);
        const char* inside = static_cast<const char*>(pointer);
        EXPECT_TRUE(inside > reinterpret_cast<const char*>(&sender) &&
                    inside < reinterpret_cast<const char*>(&sender) + sizeof(sender))
            << "the data is the sender's own message body, not a copy";
        EXPECT_EQ(sent[0].data, message);
    }
    EXPECT_EQ(testsupport::linesOf(capture.finish(), "sendPortNumberSm"),
              (Lines{L5("sendPortNumberSm", " Inside sendPortSMS, ready to send. The addrlen is 12 "),
                     L5("sendPortNumberSm", "sms srcPort->16999,destPort->16998,serveraddr->+15550100200"),
                     L5("sendPortNumberSm", "The number of service center is: +15550100100"),
                     L5("sendPortNumberSm", "Finished filling all the paras, call TAPI to send now!"),
                     L5("sendPortNumberSm", "Message sent successfully !! ......")}));
}

TEST_F(Sender, TraceOfAWholeSending)
{
    StderrCapture capture;
    {
        DM_RegSendSMS sender("hello", "123");
        sender.run();
    }
    const Lines lines = capture.finish();
    Lines own;
    for (const std::string& line : lines) {
        if (line.find("DM_RegSendSMS.cpp") != std::string::npos || line.empty()) {
            own.push_back(line);
        }
    }
    EXPECT_EQ(own, (Lines{L5("DM_RegSendSMS", "ENTER\t"), L5("DM_RegSendSMS", "LEAVE\t"),
                          L5("run", "ENTER\tready to call sendPortNumberSm!!!"), "",
                          L5("sendPortNumberSm", " Inside sendPortSMS, ready to send. The addrlen is 3 "),
                          L5("sendPortNumberSm", "sms srcPort->16999,destPort->16998,serveraddr->123"), "",
                          L5("sendPortNumberSm", "The number of service center is: +15550100100"), "",
                          L5("sendPortNumberSm", "Finished filling all the paras, call TAPI to send now!"),
                          L5("sendPortNumberSm", "Message sent successfully !! ......"), L5("run", "LEAVE\t"),
                          L5("DM_RegSendSMS", "ENTER\t"), L5("DM_RegSendSMS", "LEAVE\t")}));
}

TEST_F(Sender, MessageOf159IsSentWholeAnd160IsRefused)
{
    const std::string fits(159, 'a');
    DM_RegSendSMS accepted(fits.c_str(), "123");
    accepted.sendPortNumberSm();
    StderrCapture capture;
    DM_RegSendSMS refused(std::string(160, 'b').c_str(), "123");
    EXPECT_EQ(capture.finish(), (Lines{L5("DM_RegSendSMS", "ENTER\t"), L5("DM_RegSendSMS", "message body too long!")}));
    refused.sendPortNumberSm();
    const std::vector<zavtapi::SentSms> sent = zavtapi::sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, fits);
    EXPECT_EQ(field(sent[1].record, 96, 2), 0u) << "a refused message is sent empty";
    EXPECT_EQ(text(sent[1].record, 52), "") << "and without a destination";
}

TEST_F(Sender, NumberOf49IsKeptAnd50IsRefused)
{
    const std::string longest(49, '9');
    StderrCapture capture;
    DM_RegSendSMS refused("hello", std::string(50, '8').c_str());
    EXPECT_EQ(capture.finish(), (Lines{L5("DM_RegSendSMS", "ENTER\t"), L5("DM_RegSendSMS", "phone number too long!")}));
    refused.sendPortNumberSm();
    EXPECT_EQ(zavtapi::sent()[0].data, "hello") << "the message is kept";
    EXPECT_EQ(text(zavtapi::sent()[0].record, 52), "");
    for (size_t length : {41u, 45u, 49u}) {
        zavtapi::reset();
        DM_RegSendSMS sender("hello", longest.substr(0, length).c_str());
        StderrCapture lines;
        sender.sendPortNumberSm();
        EXPECT_EQ(lines.finish()[0],
                  L5("sendPortNumberSm", " Inside sendPortSMS, ready to send. The addrlen is " + std::to_string(length) + " "));
        EXPECT_EQ(text(zavtapi::sent()[0].record, 52), std::string(40, '9')) << "only 40 characters reach the record";
    }
}

TEST_F(Sender, ServiceCentreNotInitiatedIsAskedOnceMore)
{
    zavtapi::setResults(Call::ServiceCenter, {12, 0});
    DM_RegSendSMS sender("hello", "123");
    StderrCapture capture;
    EXPECT_TRUE(sender.sendPortNumberSm());
    EXPECT_EQ(testsupport::linesOf(capture.finish(), "getSmsServiceCenter"),
              (Lines{L5("getSmsServiceCenter", "Cannot connect to TAPI successfully, result is 12 .")}));
    EXPECT_EQ(zavtapi::calls(Call::ServiceCenter), 2);
    EXPECT_EQ(zavtapi::sent().size(), 1u);
}

TEST_F(Sender, ServiceCentreNotInitiatedTwiceStopsTheSending)
{
    zavtapi::setResults(Call::ServiceCenter, {12});
    DM_RegSendSMS sender("hello", "123");
    StderrCapture capture;
    EXPECT_FALSE(sender.sendPortNumberSm());
    const Lines lines = capture.finish();
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{L5("getSmsServiceCenter", "Cannot connect to TAPI successfully, result is 12 ."), "",
                     L2("Cannot get SMS Service Center Number!")}));
    EXPECT_EQ(zavtapi::calls(Call::ServiceCenter), 2);
    EXPECT_TRUE(zavtapi::sent().empty());
}

TEST_F(Sender, OtherServiceCentreFailureIsTracedAndIgnored)
{
    zavtapi::setResults(Call::ServiceCenter, {1});
    DM_RegSendSMS sender("hello", "123");
    StderrCapture capture;
    EXPECT_TRUE(sender.sendPortNumberSm());
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::linesOf(lines, "getSmsServiceCenter"),
              (Lines{L5("getSmsServiceCenter", "Cannot connect to TAPI successfully, result is 1 .")}));
    EXPECT_EQ(zavtapi::calls(Call::ServiceCenter), 1);
    ASSERT_EQ(zavtapi::sent().size(), 1u);
    EXPECT_EQ(text(zavtapi::sent()[0].record, 10), "") << "an empty service centre";
}

TEST_F(Sender, SendFailureIsATelephonyLine)
{
    zavtapi::setResults(Call::SendPortSm, {5});
    DM_RegSendSMS sender("hello", "123");
    StderrCapture capture;
    EXPECT_FALSE(sender.sendPortNumberSm());
    EXPECT_EQ(capture.finish().back(), L2("Failed in sending port numbered SMS!"));
}

TEST_F(Sender, PortsWiderThanSixteenBitsAndUnreadablePorts)
{
    std::string tree = testsupport::kHandsetTree;
    tree.replace(tree.find("ClientPort int 16999"), 20, "ClientPort int 70000");
    tree.replace(tree.find("ServerPort int 16998"), 20, "ServerPort string x");
    useTree(tree);
    DM_RegSendSMS sender("hello", "123");
    StderrCapture capture;
    sender.sendPortNumberSm();
    EXPECT_EQ(testsupport::linesOf(capture.finish(), "sendPortNumberSm")[1],
              L5("sendPortNumberSm", "sms srcPort->4464,destPort->0,serveraddr->123"));
    EXPECT_EQ(field(zavtapi::sent()[0].record, 6, 2), 4464u);
    EXPECT_EQ(field(zavtapi::sent()[0].record, 8, 2), 0u);
}

}  // namespace
