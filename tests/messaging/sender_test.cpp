// The registration SMS: the send record byte for byte, the service-centre query and its retry,
// and the refusal of texts that do not fit.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

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

// How the service-centre query ends: its answers, whether the SMS goes out, and the lines.
struct CentreCase {
    const char* comment;
    std::vector<int> answers;
    int queries;
    bool sent;
    Lines tail;  // the last lines of sendPortNumberSm's trace
};

void PrintTo(const CentreCase& c, std::ostream* out)
{
    *out << c.comment;
}

const std::string kNotInitiated = "Cannot connect to TAPI successfully, result is 12 .";

std::vector<CentreCase> centreCases()
{
    return {
        // not initiated, then ready: asked once more at once, and the SMS goes out
        {"12 then 0", {12, 0}, 2, true, {L5("sendPortNumberSm", "Message sent successfully !! ......")}},
        // not initiated twice: the sending stops before the send call
        {"12 twice", {12}, 2, false, {L5("getSmsServiceCenter", kNotInitiated), "", L2("Cannot get SMS Service Center Number!")}},
        // another failure is traced and ignored, with an empty service centre
        {"other failure", {1}, 1, true, {L5("sendPortNumberSm", "Message sent successfully !! ......")}},
    };
}

class ServiceCentre : public testsupport::Handset, public ::testing::WithParamInterface<CentreCase> {};

TEST_P(ServiceCentre, QueryEndsAsItMust)
{
    const CentreCase& c = GetParam();
    zavtapi::setResults(Call::ServiceCenter, c.answers);
    DM_RegSendSMS sender("hello", "123");
    StderrCapture capture;
    EXPECT_EQ(sender.sendPortNumberSm(), c.sent);
    const Lines lines = capture.finish();
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(c.tail.size()), lines.end()), c.tail);
    EXPECT_EQ(testsupport::linesOf(lines, "getSmsServiceCenter"),
              (Lines{L5("getSmsServiceCenter",
                        "Cannot connect to TAPI successfully, result is " + std::to_string(c.answers[0]) + " .")}))
        << "one line for the first answer, none for the second";
    EXPECT_EQ(zavtapi::calls(Call::ServiceCenter), c.queries);
    ASSERT_EQ(zavtapi::sent().size(), c.sent ? 1u : 0u);
    if (c.sent && c.answers[0] != 12) {
        EXPECT_EQ(text(zavtapi::sent()[0].record, 10), "") << "an empty service centre";
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, ServiceCentre, ::testing::ValuesIn(centreCases()));

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
