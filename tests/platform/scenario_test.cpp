// The telephony stand-in: scripted answers, the scenario file, the outbox and its reports of
// malformed scenarios.
#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <string>

#include "handset.h"
#include "stderr_capture.h"
#include "zavtapi_control.h"

using testsupport::StderrCapture;
using testsupport::writeFile;

namespace {

class Scenario : public ::testing::Test {
protected:
    void SetUp() override { zavtapi::reset(); }
    void TearDown() override { zavtapi::reset(); }
};

TEST_F(Scenario, DefaultsAreAReadyHandset)
{
    int32_t status = -1;
    EXPECT_EQ(TAPI_ACCE_GetSimCardStatus(&status), 0);
    EXPECT_EQ(status, 3);
    char imsi[16] = {};
    EXPECT_EQ(TAPI_ACCE_GetImsi(imsi), 0);
    EXPECT_STREQ(imsi, zavtapi::kDefaultImsi);
    char imei[16] = {};
    EXPECT_EQ(TAPI_ACCE_GetImei(imei), 0);
    EXPECT_STREQ(imei, zavtapi::kDefaultImei);
}

TEST_F(Scenario, SuccessiveAnswersWithTheLastRepeating)
{
    const std::string path = writeFile("scenario.txt",
                                       "# PIN entered at the third check\n"
                                       "sim_status = 0 0 3\n"
                                       "  sim_status_result =  0  \n"
                                       "\n"
                                       "imsi_result = 12 0\n"
                                       "imsi = 460001234567890\n");
    ASSERT_TRUE(zavtapi::loadScenario(path.c_str()));
    int32_t status = -1;
    for (int expected : {0, 0, 3, 3}) {
        EXPECT_EQ(TAPI_ACCE_GetSimCardStatus(&status), 0);
        EXPECT_EQ(status, expected);
    }
    char imsi[16] = {};
    EXPECT_EQ(TAPI_ACCE_GetImsi(imsi), 12);
    EXPECT_STREQ(imsi, "") << "nothing is written on failure";
    EXPECT_EQ(TAPI_ACCE_GetImsi(imsi), 0);
    EXPECT_STREQ(imsi, "460001234567890");
    EXPECT_EQ(zavtapi::calls(zavtapi::Call::Imsi), 2);
}

struct BadScenario {
    const char* comment;
    const char* line;
    const char* message;
};

// Test names and failure messages show the case by its comment.
void PrintTo(const BadScenario& c, std::ostream* out)
{
    *out << c.comment;
}

const BadScenario kBadScenarios[] = {
    // keys are a closed set
    {"unknown key", "sim_state = 3", "unknown key 'sim_state'"},
    {"not a number", "send_result = 0 x", "bad number in '0 x'"},
    {"no equals sign", "imsi 460001234567890", "expected 'key = value'"},
    {"IMSI of sixteen digits", "imsi = 4600012345678901", "imsi '4600012345678901' is not a string of at most 15 digits"},
    {"IMEI with letters", "imei = 49015420323751A", "imei '49015420323751A' is not a string of at most 15 digits"},
    {"service centre too long", "service_centre = 123456789012345678901234567890123456789012",
     "service_centre '123456789012345678901234567890123456789012' is longer than 41 characters"},
};

class MalformedScenario : public ::testing::TestWithParam<BadScenario> {
protected:
    void TearDown() override { zavtapi::reset(); }
};

TEST_P(MalformedScenario, IsReportedAndEveryCallAnswersNotInitiated)
{
    const std::string path = writeFile("bad.txt", std::string("sim_status = 3\n# note\n") + GetParam().line + "\n");
    StderrCapture capture;
    EXPECT_FALSE(zavtapi::loadScenario(path.c_str()));
    EXPECT_EQ(capture.finish(), (std::vector<std::string>{"zavtapi: " + path + ":3: " + GetParam().message}));
    int32_t status = -1;
    uint8_t active = 0;
    char buffer[42] = {};
    _TAPI_SMS_SEND_PORT_SM_S sms{};
    EXPECT_EQ(TAPI_ACCE_GetSimCardStatus(&status), 12);
    EXPECT_EQ(TAPI_SECURITY_GetPin1Status(1, &active), 12);
    EXPECT_EQ(TAPI_ACCE_GetImsi(buffer), 12);
    EXPECT_EQ(TAPI_ACCE_GetImei(buffer), 12);
    EXPECT_EQ(TAPI_SMS_GetServiceCenter(buffer), 12);
    EXPECT_EQ(TAPI_SMS_SendPortNumberSmUnblockMode(&sms, nullptr), 12);
}

INSTANTIATE_TEST_SUITE_P(Lines, MalformedScenario, ::testing::ValuesIn(kBadScenarios));

TEST_F(Scenario, AcceptedSmsGoesToTheOutboxAndEverySendIsCaptured)
{
    const std::string outbox = testsupport::workDir() + "/outbox.txt";
    std::remove(outbox.c_str());
    zavtapi::setOutbox(outbox);
    zavtapi::setResults(zavtapi::Call::SendPortSm, {1, 0});
    const char body[] = "IMEI:490154203237518/Zav/ZV-100/1.0.3";
    _TAPI_SMS_SEND_PORT_SM_S sms{};
    sms.srcPort = 16999;
    sms.destPort = 16998;
    strcpy(sms.serviceCenter, "+15550100100");
    strcpy(sms.serveraddr, "+15550100200");
    sms.dataLen = static_cast<uint16_t>(strlen(body));
    sms.pData = body;
    EXPECT_EQ(TAPI_SMS_SendPortNumberSmUnblockMode(&sms, nullptr), 1);
    EXPECT_EQ(testsupport::readFile(outbox), "<absent>") << "a refused SMS is not in the outbox";
    uint32_t id = 0;
    EXPECT_EQ(TAPI_SMS_SendPortNumberSmUnblockMode(&sms, &id), 0);
    EXPECT_EQ(testsupport::readFile(outbox),
              "src=16999 dst=16998 sc=+15550100100 to=+15550100200 len=37 data=IMEI:490154203237518/Zav/ZV-100/1.0.3\n");
    const std::vector<zavtapi::SentSms> sent = zavtapi::sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].data, body);
    EXPECT_EQ(sent[1].dataPointer, body);
    EXPECT_EQ(sent[1].record.size(), sizeof(sms));
    EXPECT_EQ(memcmp(sent[1].record.data(), &sms, sizeof(sms)), 0);
}

}  // namespace
