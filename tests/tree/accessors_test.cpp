// The typed accessors of the registration settings, the device information and the state
// nodes: each one complete opening, use and closing of the tree library.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "DM_RegUtility.h"
#include "dmnative_control.h"
#include "flow_lines.h"
#include "handset.h"
#include "stderr_capture.h"

using testsupport::kRegRoot;
using testsupport::StderrCapture;
using Lines = std::vector<std::string>;

namespace {

using testsupport::text;

const auto L5 = flow::util;
std::string reg(const std::string& node)
{
    return std::string(kRegRoot) + "/" + node;
}

// A tree with the line of one node replaced (or removed, when replacement is empty).
std::string treeWith(const std::string& path, const std::string& replacement,
                     std::string tree = testsupport::kHandsetTree)
{
    const size_t at = tree.find(path + " ");
    const size_t end = tree.find('\n', at);
    tree.replace(at, end + 1 - at, replacement.empty() ? "" : replacement + "\n");
    return tree;
}

using Accessors = testsupport::Handset;

TEST_F(Accessors, ServerNumberThroughTheWholeFrame)
{
    char number[DMREG_VALUE_BUFFER_SIZE] = {};
    StderrCapture capture;
    EXPECT_TRUE(DM_DmtUtility::GetServerNumber(number));
    EXPECT_STREQ(number, "+15550100200");
    EXPECT_EQ(capture.finish(),
              (Lines{L5("GetTree", "ENTER\trootPath=" + std::string(kRegRoot)), L5("GetTree", "LEAVE\tGet tree: " + std::string(kRegRoot)),
                     L5("GetNode", "ENTER\tnodeName=ServerNumber"), L5("GetNode", "LEAVE\tGet node: ServerNumber"),
                     L5("GetNodeStringValue", "ENTER\tnodeName=ServerNumber"), L5("GetNodeValue", "ENTER\tnodeName=ServerNumber"),
                     L5("GetNode", "ENTER\tnodeName=ServerNumber"), L5("GetNode", "LEAVE\tGet node: ServerNumber"),
                     L5("GetNodeValue", "LEAVE\tGet node: ServerNumber"),
                     L5("GetNodeStringValue", "LEAVE\tGet node: ServerNumber, value=+15550100200"),
                     L5("GetServerNumber", "ServerNumber : value-->+15550100200")}));
    expectTreeReleased();
}

TEST_F(Accessors, PortsKeepTheirLowSixteenBits)
{
    useTree(treeWith(reg("ServerPort"), reg("ServerPort") + " int 70000",
                     treeWith(reg("ClientPort"), reg("ClientPort") + " int -1")));
    StderrCapture capture;
    EXPECT_EQ(DM_DmtUtility::GetServerPort(), 4464);
    EXPECT_EQ(DM_DmtUtility::GetClientPort(), 65535);
    EXPECT_EQ(getDmServerPortNum(), 4464);
    EXPECT_EQ(getDmClientPortNum(), 65535);
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::linesOf(lines, "GetServerPort"), Lines(2, L5("GetServerPort", "ServerPort : value-->70000")));
    EXPECT_EQ(testsupport::linesOf(lines, "GetClientPort"), Lines(2, L5("GetClientPort", "ClientPort : value-->-1")));
    expectTreeReleased();
}

TEST_F(Accessors, MissingNodeGivesTheFailureResult)
{
    useTree(treeWith(reg("ClientPort"), ""));
    StderrCapture capture;
    EXPECT_EQ(DM_DmtUtility::GetClientPort(), 0);
    EXPECT_EQ(capture.finish().back(), L5("GetClientPort", "Can't get the node:ClientPort "));
    EXPECT_EQ(dmnative::uninitializeCalls(), 1);
    expectTreeReleased();
}

TEST_F(Accessors, EnableFlagThatCannotBeReadIsFalseAndStillTraced)
{
    useTree(treeWith(reg("Enable"), reg("Enable") + " string yes"));
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::IsFeatureEnable());
    EXPECT_EQ(capture.finish().back(), L5("IsFeatureEnable", "Enable : value-->0"));
    EXPECT_FALSE(isDmFeatureAvailable());
    expectTreeReleased();
}

TEST_F(Accessors, MncListKeepsEmptyEntriesInPlace)
{
    useTree(treeWith(reg("MNC/Op1/Code"), reg("MNC/A/Name") + " string first",
                     treeWith(reg("MNC/Op2/Code"), reg("MNC/B/Code") + " string 46001\n" + reg("MNC/C/Code") + " string ")));
    {
        DMVector<DMString> list;
        StderrCapture capture;
        EXPECT_TRUE(DM_DmtUtility::GetMNCList(list));
        ASSERT_EQ(list.size(), 3);
        EXPECT_EQ(text(list[0]), "");
        EXPECT_EQ(text(list[1]), "46001");
        EXPECT_EQ(text(list[2]), "");
        const Lines lines = capture.finish();
        EXPECT_EQ(testsupport::linesOf(lines, "GetMNCList"), (Lines{L5("GetMNCList", "Get MNC children count: 3")}));
        EXPECT_EQ(testsupport::linesOf(lines, "fetchMnc"),
                  (Lines{L5("fetchMnc", "children[0]=A"),
                         L5("fetchMnc", "Error get present value of MNC/A/Code, continue to fetch the next"),
                         L5("fetchMnc", "children[1]=B"), L5("fetchMnc", "children[2]=C"),
                         L5("fetchMnc", "Error retrieve the MNC!")}));
    }
    expectTreeReleased();
}

TEST_F(Accessors, MncNodeWithoutChildren)
{
    useTree(treeWith(reg("MNC/Op1/Code"), reg("MNC") + " node", treeWith(reg("MNC/Op2/Code"), "")));
    DMVector<DMString> list;
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetMNCList(list));
    EXPECT_EQ(list.size(), 0);
    const Lines lines = capture.finish();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{L5("GetMNCList", "Get MNC children count: 0"), L5("GetMNCList", "Nothing fetched in MNC")}));
    expectTreeReleased();
}

TEST_F(Accessors, MncNodeThatCannotBeListed)
{
    dmnative::failOn(dmnative::Op::GetNodeValue, reg("MNC").c_str(), "not a list");
    DMVector<DMString> list;
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetMNCList(list));
    EXPECT_EQ(capture.finish().back(), L5("GetMNCList", "Can't get the node children:MNC"));
    expectTreeReleased();
}

TEST_F(Accessors, DeviceInformationFromItsOwnSubtrees)
{
    useTree("./DevInfo/DevId string IMEI:1\n./DevInfo/Man string Zav\n./DevInfo/Mod string \n");
    char value[DMREG_VALUE_BUFFER_SIZE];
    memset(value, 'x', sizeof(value));
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetSoftwareVersion(value));
    EXPECT_EQ(value[0], 'x') << "a failure leaves the buffer untouched";
    EXPECT_TRUE(DM_DmtUtility::GetModel(value));
    EXPECT_STREQ(value, "");
    EXPECT_TRUE(DM_DmtUtility::GetManufacturer(value));
    EXPECT_STREQ(value, "Zav");
    EXPECT_TRUE(DM_DmtUtility::GetDevId(value));
    EXPECT_STREQ(value, "IMEI:1");
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::linesOf(lines, "GetSoftwareVersion"), (Lines{L5("GetSoftwareVersion", "Can't get tree:./DevDetail")}));
    EXPECT_EQ(testsupport::linesOf(lines, "GetModel"), (Lines{L5("GetModel", "Mod : value-->")}));
    expectTreeReleased();
}

TEST_F(Accessors, MissingManufacturerNode)
{
    useTree(treeWith("./DevInfo/Man", ""));
    char value[DMREG_VALUE_BUFFER_SIZE] = {};
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetManufacturer(value));
    EXPECT_EQ(capture.finish().back(), L5("GetManufacturer", "Can't get the node:Man "));
    EXPECT_STREQ(value, "");
}

TEST_F(Accessors, ValueThatDoesNotFitTheCallersBufferIsRefusedWhole)
{
    const std::string fits(199, '7');
    const std::string tooLong(200, '7');
    useTree(treeWith(reg("ServerNumber"), reg("ServerNumber") + " string " + fits));
    char number[DMREG_VALUE_BUFFER_SIZE];
    memset(number, 'x', sizeof(number));
    EXPECT_TRUE(DM_DmtUtility::GetServerNumber(number));
    EXPECT_EQ(std::string(number), fits);
    useTree(treeWith(reg("ServerNumber"), reg("ServerNumber") + " string " + tooLong));
    memset(number, 'x', sizeof(number));
    StderrCapture capture;
    EXPECT_FALSE(getServerNumber(number));
    EXPECT_EQ(number[0], 'x');
    EXPECT_EQ(capture.finish().back(), L5("GetServerNumber", "ServerNumber : value of 200 characters refused, the buffer holds 199"));
    const std::string huge(1000, '8');  // longer than one trace line's own buffer too
    useTree(treeWith(reg("RegIMSI"), reg("RegIMSI") + " string " + huge));
    StderrCapture hugeValue;
    EXPECT_FALSE(DM_SimUtility::GetLocalIMSI(number));
    EXPECT_EQ(testsupport::linesOf(hugeValue.finish(), "GetNodeStringValue").back(),
              L5("GetNodeStringValue", "LEAVE\tGet node: RegIMSI, value=" + huge));
    expectTreeReleased();
}

TEST_F(Accessors, RegistrationStatusRoundTrip)
{
    int code = -5;
    StderrCapture capture;
    EXPECT_TRUE(setDMRegStatus(1));
    EXPECT_TRUE(DM_DmtUtility::GetRegStatusCode(code));
    EXPECT_EQ(code, 1);
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::linesOf(lines, "SetRegStatusCode"), (Lines{L5("SetRegStatusCode", "RegStatus : value-->1")}));
    EXPECT_EQ(lines.back(), L5("GetRegStatusCode", "RegStatus : value-->1"));
    EXPECT_EQ(treeLine(reg("RegStatus")), reg("RegStatus") + " int 1");
    expectTreeReleased();
}

TEST_F(Accessors, RegisteredImsiIsWrittenOnlyIntoAnExistingNode)
{
    char imsi[DMREG_VALUE_BUFFER_SIZE] = {'x'};
    EXPECT_TRUE(DM_DmtUtility::GetIMSIValue(imsi));
    EXPECT_STREQ(imsi, "") << "an empty RegIMSI is a value";
    StderrCapture capture;
    EXPECT_TRUE(DM_DmtUtility::SetIMSIValue("460001234567890"));
    EXPECT_EQ(capture.finish().back(), L5("SetIMSIValue", "RegIMSI : value-->460001234567890"));
    EXPECT_EQ(treeLine(reg("RegIMSI")), reg("RegIMSI") + " string 460001234567890");
    useTree(treeWith(reg("RegIMSI"), ""));
    StderrCapture missing;
    EXPECT_FALSE(DM_SimUtility::RecordIMSI("460001234567890"));
    const Lines lines = missing.finish();
    EXPECT_EQ(lines.front(), L5("RecordIMSI", "Save to DMT stValue:460001234567890"));
    EXPECT_EQ(lines.back(), L5("SetIMSIValue", "Can't get the node:RegIMSI "));
    EXPECT_EQ(treeLine(reg("RegIMSI")), "");
    expectTreeReleased();
}

TEST_F(Accessors, StoreRefusedByTheNodeAddsNoLineOfItsOwn)
{
    dmnative::failOn(dmnative::Op::SetValue, reg("RegStatus").c_str(), "read-only");
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::SetRegStatusCode(1));
    EXPECT_EQ(capture.finish().back(),
              testsupport::platformLine(3, "DM_RegUtility.cpp", "Can't set value of node RegStatus, error=read-only"));
    expectTreeReleased();
}

// Every accessor, to check the frame's opening and closing on each of its failure paths.
struct Accessor {
    const char* name;
    const char* node;  // full path
    std::function<bool()> call;
};

std::vector<Accessor> allAccessors()
{
    static char buffer[DMREG_VALUE_BUFFER_SIZE];
    static int code;
    return {
        {"GetServerNumber", "ServerNumber", [] { return DM_DmtUtility::GetServerNumber(buffer); }},
        {"GetServerPort", "ServerPort", [] { return DM_DmtUtility::GetServerPort() != 0; }},
        {"GetClientPort", "ClientPort", [] { return DM_DmtUtility::GetClientPort() != 0; }},
        {"IsFeatureEnable", "Enable", [] { return DM_DmtUtility::IsFeatureEnable(); }},
        {"GetIMSIValue", "RegIMSI", [] { return DM_DmtUtility::GetIMSIValue(buffer); }},
        {"SetIMSIValue", "RegIMSI", [] { return DM_DmtUtility::SetIMSIValue("1"); }},
        {"GetRegStatusCode", "RegStatus", [] { return DM_DmtUtility::GetRegStatusCode(code); }},
        {"SetRegStatusCode", "RegStatus", [] { return DM_DmtUtility::SetRegStatusCode(0); }},
        {"GetMNCList", "MNC/Op2/Code", [] {
             DMVector<DMString> list;
             return DM_DmtUtility::GetMNCList(list);
         }},
    };
}

TEST_F(Accessors, EachAccessorClosesTheLibraryOnceOnEveryPath)
{
    for (const Accessor& a : allAccessors()) {
        SCOPED_TRACE(a.name);
        for (dmnative::Op op : {dmnative::Op::Initialize, dmnative::Op::GetSubtree, dmnative::Op::GetNode,
                                dmnative::Op::GetValue, dmnative::Op::GetString, dmnative::Op::GetInt,
                                dmnative::Op::GetBoolean, dmnative::Op::SetValue}) {
            dmnative::clearFailures();
            dmnative::resetCounters();
            const std::string path = op == dmnative::Op::Initialize ? "" : op == dmnative::Op::GetSubtree ? kRegRoot : reg(a.node);
            dmnative::failOn(op, path.c_str(), "injected");
            StderrCapture quiet;
            const bool result = a.call();
            const Lines lines = quiet.finish();
            EXPECT_EQ(dmnative::initializeCalls(), 1);
            expectTreeReleased();
            if (op == dmnative::Op::Initialize) {
                EXPECT_FALSE(result);
                EXPECT_EQ(dmnative::uninitializeCalls(), 0);
                EXPECT_EQ(lines, (Lines{L5(a.name, "Dmt tree initialize failed!!")}));
            } else if (op == dmnative::Op::GetSubtree) {
                EXPECT_FALSE(result);
                EXPECT_EQ(lines.back(), L5(a.name, "Can't get tree:" + std::string(kRegRoot)));
            }
        }
    }
    dmnative::clearFailures();
}

}  // namespace
