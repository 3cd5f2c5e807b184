// The registration message and the acknowledgement check.
#include <gtest/gtest.h>

#include <ostream>

#include <cstring>

#include "DM_RegUtility.h"
#include "dmnative_control.h"
#include "handset.h"
#include "stderr_capture.h"
#include "zavtapi_control.h"

using testsupport::StderrCapture;
using Lines = std::vector<std::string>;

namespace {

std::string L5(const std::string& func, const std::string& message)
{
    return testsupport::traceLine(5, "DM_RegUtility.cpp", func, message);
}

class MessageText : public testsupport::Handset {
protected:
    // The message built into a launcher-sized buffer with a guard byte behind it.
    std::string build()
    {
        char buffer[DMREG_MESSAGE_BUFFER_SIZE + 1];
        memset(buffer, 0, DMREG_MESSAGE_BUFFER_SIZE);
        buffer[DMREG_MESSAGE_BUFFER_SIZE] = '#';
        getDmRegString(buffer);
        EXPECT_EQ(buffer[DMREG_MESSAGE_BUFFER_SIZE], '#') << "written beyond the buffer";
        return buffer;
    }

    void setDevice(const std::string& man, const std::string& mod, const std::string& swv)
    {
        useTree("./DevInfo/Man string " + man + "\n./DevInfo/Mod string " + mod + "\n./DevDetail/SwV string " + swv + "\n");
    }
};

TEST_F(MessageText, NamesTheHandsetByImeiAndDevice)
{
    EXPECT_EQ(build(), "IMEI:490154203237518/Zav/ZV-100/1.0.3");
    expectTreeReleased();
}

TEST_F(MessageText, MissingValuesKeepTheirPlaces)
{
    zavtapi::setResults(zavtapi::Call::Imei, {1});
    EXPECT_EQ(build(), "IMEI:/Zav/ZV-100/1.0.3");
    useTree("./DevInfo/Mod string ZV-100\n");
    StderrCapture capture;
    EXPECT_EQ(build(), "IMEI://ZV-100/");
    EXPECT_EQ(capture.finish().back(), L5("getDmRegString", "LEAVE\tRegister string is IMEI://ZV-100/"));
    dmnative::failOn(dmnative::Op::Initialize, "", "off");
    zavtapi::setResults(zavtapi::Call::Imei, {0});
    EXPECT_EQ(build(), "IMEI:490154203237518///");
}

TEST_F(MessageText, SlashesInsideValuesAreSentUnchanged)
{
    setDevice("Zav/Labs", "ZV/100", "1.0/3");
    EXPECT_EQ(build(), "IMEI:490154203237518/Zav/Labs/ZV/100/1.0/3");
}

TEST_F(MessageText, TooLongTextIsCutToFitTheBuffer)
{
    const std::string longModel(150, 'M');
    setDevice("Zav", longModel, "1.0.3");
    StderrCapture capture;
    const std::string text = build();
    const std::string full = "IMEI:490154203237518/Zav/" + longModel + "/1.0.3";
    EXPECT_EQ(text, full.substr(0, 159)) << "the IMEI comes first and survives the cut";
    const Lines lines = capture.finish();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{L5("getDmRegString", "LEAVE\tRegister string is " + full),
                     L5("getDmRegString", "Register string of " + std::to_string(full.size()) + " characters cut to 159")}));
}

TEST_F(MessageText, NullBufferFetchesNothing)
{
    StderrCapture capture;
    getDmRegString(nullptr);
    EXPECT_EQ(capture.finish(), (Lines{L5("getDmRegString", "ENTER\t"), L5("getDmRegString", "msg is NULL!")}));
    EXPECT_EQ(zavtapi::calls(zavtapi::Call::Imei), 0);
}

// One acknowledgement text and how the check ends.
struct AckCase {
    const char* comment;
    std::string text;
    bool accepted;
    Lines tail;  // the check's lines after "content is ... length is ...", in order
};

// Test names and failure messages show the case by its comment.
void PrintTo(const AckCase& c, std::ostream* out)
{
    *out << c.comment;
}

const std::string kImei = zavtapi::kDefaultImei;

std::vector<AckCase> ackCases()
{
    const Lines matched{L5("dmRegSuccess", "ackImei: " + kImei), L5("dmRegSuccess", "imei: " + kImei)};
    auto with = [](Lines lines, const std::string& last) {
        lines.push_back(last);
        return lines;
    };
    return {
        // the shortest success: tag, IMEI, "/", "1"
        {"success", "IMEI:" + kImei + "/1", true, with(matched, L5("dmRegSuccess", "result code 1"))},
        {"result code 0", "IMEI:" + kImei + "/0", false, with(matched, L5("dmRegSuccess", "result code 0"))},
        // leading text and text between "/" and the final "1" are ignored
        {"surrounding text", "ack from DM IMEI:" + kImei + "/registered 1", true, with(matched, L5("dmRegSuccess", "result code 1"))},
        // only the last character counts
        {"1 not last", "IMEI:" + kImei + "/10", false, with(matched, L5("dmRegSuccess", "result code 0"))},
        {"slash last", "IMEI:" + kImei + "/", false, with(matched, L5("dmRegSuccess", "result code /"))},
        {"second tag ignored", "IMEI:" + kImei + "/IMEI:1/1", true, with(matched, L5("dmRegSuccess", "result code 1"))},
        {"lower-case tag", "imei:" + kImei + "/1", false, {L5("isContentValid", "Can't find IMEI: sub string!")}},
        {"tag without colon", "IMEI" + kImei + "/1", false, {L5("isContentValid", "Can't find IMEI: sub string!")}},
        {"no slash after the tag", "1/IMEI:" + kImei, false, {L5("isContentValid", "Wrong format without token: /")}},
        {"IMEI field of 200", "IMEI:" + std::string(200, '4') + "/1", false, {L5("isContentValid", "length is too large!")}},
        {"IMEI field of 199", "IMEI:" + std::string(199, '4') + "/1", false,
         {L5("dmRegSuccess", "ackImei: " + std::string(199, '4')), L5("dmRegSuccess", "imei: " + kImei),
          L5("dmRegSuccess", "Receive imei does not match the phone's!")}},
        {"empty IMEI field", "IMEI:/1", false,
         {L5("dmRegSuccess", "ackImei: "), L5("dmRegSuccess", "imei: " + kImei),
          L5("dmRegSuccess", "Receive imei does not match the phone's!")}},
        {"another handset", "IMEI:490154203237519/1", false,
         {L5("dmRegSuccess", "ackImei: 490154203237519"), L5("dmRegSuccess", "imei: " + kImei),
          L5("dmRegSuccess", "Receive imei does not match the phone's!")}},
    };
}

class AckCheck : public testsupport::Handset, public ::testing::WithParamInterface<AckCase> {};

TEST_P(AckCheck, JudgesTheText)
{
    const AckCase& c = GetParam();
    StderrCapture capture;
    EXPECT_EQ(dmRegSuccess(c.text.c_str()), c.accepted);
    Lines expected{L5("isContentValid", "content is " + c.text + " length is " + std::to_string(c.text.size()))};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    Lines lines;
    for (const std::string& line : capture.finish()) {
        if (line.find("GetLocalIMEI()") == std::string::npos) {
            lines.push_back(line);
        }
    }
    EXPECT_EQ(lines, expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, AckCheck, ::testing::ValuesIn(ackCases()));

using AckCheckFailures = testsupport::Handset;

TEST_F(AckCheckFailures, NullEmptyAndUnknownImei)
{
    zavtapi::setResults(zavtapi::Call::Imei, {1});
    StderrCapture capture;
    EXPECT_FALSE(dmRegSuccess(nullptr));
    EXPECT_FALSE(dmRegSuccess(""));
    EXPECT_FALSE(dmRegSuccess("IMEI:1/1"));
    const Lines lines = capture.finish();
    EXPECT_EQ(lines.front(), L5("isContentValid", "content is NULL! or Too Long!!"));
    EXPECT_EQ(lines[1], L5("isContentValid", "parameter wrong"));
    EXPECT_EQ(lines.back(), L5("dmRegSuccess", "Error get imei from dmt!"));
}

TEST_F(AckCheckFailures, OwnSuccessAcknowledgementIsAccepted)
{
    char ack[DMREG_VALUE_BUFFER_SIZE] = {};
    StderrCapture capture;
    getDmAckString(ack);
    EXPECT_EQ(capture.finish().back(), L5("getDmAckString", "LEAVE\tRegister string is IMEI:" + kImei + "/1"));
    EXPECT_STREQ(ack, ("IMEI:" + kImei + "/1").c_str());
    EXPECT_TRUE(dmRegSuccess(ack));
}

TEST_F(AckCheckFailures, AcknowledgementWithoutImei)
{
    zavtapi::setResults(zavtapi::Call::Imei, {1});
    char ack[DMREG_VALUE_BUFFER_SIZE] = {};
    getDmAckString(ack);
    EXPECT_STREQ(ack, "IMEI:/1");
    StderrCapture capture;
    getDmAckString(nullptr);
    EXPECT_EQ(capture.finish(), (Lines{L5("getDmAckString", "ENTER\t"), L5("getDmAckString", "msg is NULL!")}));
}

}  // namespace
