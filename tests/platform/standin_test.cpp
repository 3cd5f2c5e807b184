// The stand-ins' messages for malformed tree and scenario files, from malformed.txt.
#include <gtest/gtest.h>

#include <fstream>

#include "dmnative_control.h"
#include "handset.h"
#include "trace.h"
#include "zavtapi_control.h"

namespace {

struct Malformed {
    std::string kind, title, content, message;
};

void PrintTo(const Malformed& c, std::ostream* out)
{
    *out << c.kind << ": " << c.title;
}

std::vector<Malformed> cases()
{
    std::vector<Malformed> all;
    std::ifstream in(DMREG_MALFORMED);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 5, "tree ") == 0 || line.compare(0, 9, "scenario ") == 0) {
            all.push_back({line.substr(0, line.find(' ')), line.substr(line.find(' ') + 1), "", ""});
        } else if (line[0] == '>' && !all.empty()) {
            all.back().content += line.substr(std::min<size_t>(2, line.size())) + "\n";
        } else if (line.compare(0, 5, "says ") == 0 && !all.empty()) {
            all.back().message = line.substr(5);
        }
    }
    return all;
}

class StandIn : public ::testing::TestWithParam<Malformed> {};

TEST_P(StandIn, NamesFileAndLineOfAMalformedFile)
{
    const Malformed& c = GetParam();
    const std::string path = handset::writeFile("malformed.txt", c.content);
    std::string message = c.message;
    message.replace(message.find("$F"), 2, path);
    trace::Capture capture;
    EXPECT_FALSE(c.kind == "tree" ? dmnative::checkTreeFile(path.c_str()) : zavtapi::loadScenario(path.c_str()));
    EXPECT_EQ(capture.finish(), trace::Lines{message});
    if (c.kind == "scenario") {
        int32_t status = 0;
        uint8_t active = 0;
        char buffer[TAPI_SMS_ADDRESS_LEN] = {};
        _TAPI_SMS_SEND_PORT_SM_S sms{};
        EXPECT_EQ(TAPI_ACCE_GetSimCardStatus(&status) + TAPI_SECURITY_GetPin1Status(1, &active) + TAPI_ACCE_GetImsi(buffer) +
                      TAPI_ACCE_GetImei(buffer) + TAPI_SMS_GetServiceCenter(buffer) +
                      TAPI_SMS_SendPortNumberSmUnblockMode(&sms, nullptr),
                  6 * TAPI_RESULT_NOT_INITIATED);
        zavtapi::reset();
    }
}

INSTANTIATE_TEST_SUITE_P(Files, StandIn, ::testing::ValuesIn(cases()));

}  // namespace
