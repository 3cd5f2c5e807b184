// The registration decision: the operator list rules and the new-SIM test.
#include <gtest/gtest.h>

#include <ostream>

#include <sstream>

#include "DM_RegUtility.h"
#include "dmnative_control.h"
#include "flow_lines.h"
#include "zavtapi_control.h"

using namespace flow;
using testsupport::StderrCapture;

namespace {

struct MncCase {
    const char* comment;
    std::vector<std::string> codes;  // one operator per code, in order
    const char* imsi;
    int match;  // index of the matching entry, -1 for none
};

// Test names and failure messages show the case by its comment.
void PrintTo(const MncCase& c, std::ostream* out)
{
    *out << c.comment;
}

const MncCase kMncCases[] = {
    {"only the second of two operators", {"46000", "00101"}, "001010123456789", 1},
    {"the first of two matching entries wins", {"00101", "00101"}, "001010123456789", 0},
    {"an empty code is skipped, the search goes on", {"", "00101"}, "001010123456789", 1},
    {"four digits never match a full IMSI", {"0010"}, "001010123456789", -1},
    {"a longer code matches on its first five digits", {"00101999"}, "001010123456789", 0},
    {"the network code must agree too", {"00102"}, "001010123456789", -1},
};

class MncList : public testsupport::Handset, public ::testing::WithParamInterface<MncCase> {};

TEST_P(MncList, MatchesOnFiveCharacters)
{
    const std::string mnc = std::string(testsupport::kRegRoot) + "/MNC/";
    std::string tree;
    std::istringstream handset(testsupport::kHandsetTree);
    for (std::string line; std::getline(handset, line);) {
        if (line.find(mnc) == std::string::npos) {
            tree += line + "\n";
        }
    }
    for (size_t i = 0; i < GetParam().codes.size(); ++i) {
        tree += mnc + "Op" + std::to_string(i) + "/Code string " + GetParam().codes[i] + "\n";
    }
    useTree(tree);
    zavtapi::setImsi({GetParam().imsi});
    StderrCapture capture;
    EXPECT_EQ(imsiMatchMNCList(), GetParam().match >= 0);
    const Lines own = testsupport::linesOf(capture.finish(), "imsiMatchMNCList");
    Lines expected{util("imsiMatchMNCList", std::string("get SIM card IMSI: ") + GetParam().imsi),
                   util("imsiMatchMNCList",
                        "Get MNC table successfully with size : " + std::to_string(GetParam().codes.size()))};
    const size_t shown = GetParam().match >= 0 ? static_cast<size_t>(GetParam().match) + 1 : GetParam().codes.size();
    for (size_t i = 0; i < shown; ++i) {
        expected.push_back(util("imsiMatchMNCList", "mncTable[" + std::to_string(i) + "]=" + GetParam().codes[i]));
    }
    expected.push_back(GetParam().match >= 0
                           ? util("imsiMatchMNCList", "The IMSI match the MNC at " + std::to_string(GetParam().match))
                           : util("imsiMatchMNCList", std::string("IMSI do not match MNC table imsi: ") + GetParam().imsi + " "));
    EXPECT_EQ(own, expected);
    expectTreeReleased();
}

INSTANTIATE_TEST_SUITE_P(Rules, MncList, ::testing::ValuesIn(kMncCases));

using Decision = testsupport::Handset;

TEST_F(Decision, NoOperatorCodeInTheTree)
{
    std::string tree = testsupport::kHandsetTree;
    tree.replace(tree.find("Op1/Code string 46000"), 21, "Op1/Code string ");
    tree.replace(tree.find("Op2/Code string 00101"), 21, "Op2/Code string ");
    useTree(tree);
    StderrCapture capture;
    EXPECT_FALSE(imsiMatchMNCList());
    EXPECT_EQ(testsupport::linesOf(capture.finish(), "imsiMatchMNCList"),
              (Lines{util("imsiMatchMNCList", "get SIM card IMSI: 001010123456789"), util("imsiMatchMNCList", "Error get MNC table"),
                     util("imsiMatchMNCList", "IMSI do not match MNC table imsi: 001010123456789 ")}));
}

TEST_F(Decision, SimImsiNotAvailable)
{
    zavtapi::setResults(zavtapi::Call::Imsi, {12});
    StderrCapture capture;
    EXPECT_FALSE(imsiMatchMNCList());
    EXPECT_FALSE(dmNeedRegister());
    EXPECT_FALSE(recordSimIMSIToDMT());
    EXPECT_EQ(capture.finish(),
              (Lines{util("GetSimIMSI", "Get Imsi result code:12"), util("GetSimIMSI", "Error get SIM IMSI"),
                     util("imsiMatchMNCList", "IMSI do not match MNC table imsi:  "), util("readImsiFromFile", "File not exist"),
                     util("GetSimIMSI", "Get Imsi result code:12"), util("GetSimIMSI", "Error get SIM IMSI"),
                     util("dmNeedRegister", "Error get sim imsi!"), "", util("recordSimIMSIToDMT", "ENTER\t"),
                     util("GetSimIMSI", "Get Imsi result code:12"), util("GetSimIMSI", "Error get SIM IMSI"),
                     util("recordSimIMSIToDMT", "Error get sim imsi!")}));
    EXPECT_EQ(dmnative::initializeCalls(), 0);
}

TEST_F(Decision, NewSimOnlyWhenTheRecordedImsiDiffers)
{
    EXPECT_TRUE(dmNeedRegister()) << "no status file: any SIM is new";
    FILE* f = fopen(testsupport::statusFilePath().c_str(), "w");
    fputs("001010123456789", f);
    fclose(f);
    StderrCapture capture;
    EXPECT_FALSE(dmNeedRegister());
    EXPECT_EQ(capture.finish(),
              (Lines{util("readImsiFromFile", "read IMSI from file:001010123456789"),
                     util("GetSimIMSI", "the sim IMSI is :001010123456789"),
                     util("dmNeedRegister", "SIM card IMSI is same as the file, need not register"), ""}));
    f = fopen(testsupport::statusFilePath().c_str(), "w");
    fputs("001010123456789\n", f);  // a line end added by hand
    fclose(f);
    EXPECT_TRUE(dmNeedRegister());
}

TEST_F(Decision, RecordsTheSimImsiInTheTree)
{
    StderrCapture capture;
    EXPECT_TRUE(recordSimIMSIToDMT());
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::linesOf(lines, "recordSimIMSIToDMT"),
              (Lines{util("recordSimIMSIToDMT", "ENTER\t"), util("recordSimIMSIToDMT", "Write imsi to dmt...")}));
    EXPECT_EQ(treeLine(std::string(testsupport::kRegRoot) + "/RegIMSI"),
              std::string(testsupport::kRegRoot) + "/RegIMSI string 001010123456789");
    expectTreeReleased();
}

}  // namespace
