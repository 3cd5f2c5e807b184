// Tree and node access inside an open tree library: results, trace lines and handle release.
#include <gtest/gtest.h>

#include "DM_RegUtility.h"
#include "dmnative_control.h"
#include "flow_lines.h"
#include "handset.h"
#include "stderr_capture.h"

using testsupport::StderrCapture;
using Lines = std::vector<std::string>;

namespace {

using testsupport::text;

const auto L5 = flow::util;
const auto L3 = flow::treeError;

class TreeAccess : public testsupport::Handset {
protected:
    void SetUp() override
    {
        Handset::SetUp();
        ASSERT_TRUE(DmtTreeFactory::Initialize());
        StderrCapture quiet;
        m_tree = DM_DmtUtility::GetTree(testsupport::kRegRoot);
        quiet.finish();
        ASSERT_TRUE(m_tree);
    }

    void TearDown() override
    {
        m_tree = nullptr;
        DmtTreeFactory::Uninitialize();
        expectTreeReleased();
        Handset::TearDown();
    }

    JemSmartPtr<DmtTree> m_tree;
};

TEST_F(TreeAccess, GetTreeOpensASubtree)
{
    StderrCapture capture;
    JemSmartPtr<DmtTree> tree = DM_DmtUtility::GetTree("./DevInfo");
    EXPECT_TRUE(tree);
    EXPECT_EQ(capture.finish(), (Lines{L5("GetTree", "ENTER\trootPath=./DevInfo"), L5("GetTree", "LEAVE\tGet tree: ./DevInfo")}));
}

TEST_F(TreeAccess, GetTreeRefusedWithAnEmptyErrorText)
{
    dmnative::failOn(dmnative::Op::GetSubtree, "./DevInfo", nullptr);
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetTree("./DevInfo"));
    EXPECT_EQ(capture.finish(), (Lines{L5("GetTree", "ENTER\trootPath=./DevInfo"), L3("Can't get tree: ")}));
}

TEST_F(TreeAccess, GetNodeRefusedPath)
{
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetNode(m_tree, "Nothing"));
    EXPECT_EQ(capture.finish(), (Lines{L5("GetNode", "ENTER\tnodeName=Nothing"), L3("Can't get node: unknown node " +
                                                                                     std::string(testsupport::kRegRoot) + "/Nothing")}));
}

TEST_F(TreeAccess, GetNodeValueTellsTheRefusedPathTwice)
{
    DmtData value;
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetNodeValue(m_tree, "Nothing", value));
    EXPECT_EQ(capture.finish(),
              (Lines{L5("GetNodeValue", "ENTER\tnodeName=Nothing"), L5("GetNode", "ENTER\tnodeName=Nothing"),
                     L3("Can't get node: unknown node " + std::string(testsupport::kRegRoot) + "/Nothing"),
                     L3("Can't get node: Nothing")}));
}

TEST_F(TreeAccess, GetNodeValueWhenTheNodeGivesNoValue)
{
    dmnative::failOn(dmnative::Op::GetValue, std::string(testsupport::kRegRoot).append("/ServerPort").c_str(), "busy");
    DmtData value;
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetNodeValue(m_tree, "ServerPort", value));
    EXPECT_EQ(capture.finish(),
              (Lines{L5("GetNodeValue", "ENTER\tnodeName=ServerPort"), L5("GetNode", "ENTER\tnodeName=ServerPort"),
                     L5("GetNode", "LEAVE\tGet node: ServerPort"), L3("Can't get value from node ServerPort, error=busy")}));
}

TEST_F(TreeAccess, GetNodeStringValueReadsAndTracesTheValue)
{
    DMString value;
    StderrCapture capture;
    EXPECT_TRUE(DM_DmtUtility::GetNodeStringValue(m_tree, "ServerNumber", value));
    EXPECT_EQ(text(value), "+15550100200");
    EXPECT_EQ(capture.finish(),
              (Lines{L5("GetNodeStringValue", "ENTER\tnodeName=ServerNumber"), L5("GetNodeValue", "ENTER\tnodeName=ServerNumber"),
                     L5("GetNode", "ENTER\tnodeName=ServerNumber"), L5("GetNode", "LEAVE\tGet node: ServerNumber"),
                     L5("GetNodeValue", "LEAVE\tGet node: ServerNumber"),
                     L5("GetNodeStringValue", "LEAVE\tGet node: ServerNumber, value=+15550100200")}));
}

TEST_F(TreeAccess, GetNodeStringValueOfEmptyString)
{
    DMString value("old");
    StderrCapture capture;
    EXPECT_TRUE(DM_DmtUtility::GetNodeStringValue(m_tree, "RegIMSI", value));
    EXPECT_EQ(value.c_str(), nullptr);
    EXPECT_EQ(capture.finish().back(), L5("GetNodeStringValue", "LEAVE\tGet node: RegIMSI, value="));
}

TEST_F(TreeAccess, ConversionFailuresAreTreeLibraryLines)
{
    const std::string port = std::string(testsupport::kRegRoot) + "/ServerPort";
    DMString s;
    bool flag = true;
    int number = 5;
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetNodeStringValue(m_tree, "ServerPort", s));
    EXPECT_FALSE(DM_DmtUtility::GetNodeBoolValue(m_tree, "ServerPort", flag));
    EXPECT_FALSE(DM_DmtUtility::GetNodeIntValue(m_tree, "MNC", number));
    const Lines lines = capture.finish();
    Lines errors;
    for (const std::string& line : lines) {
        if (line.compare(0, 3, "{3}") == 0) {
            errors.push_back(line);
        }
    }
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0], L3("Can't get string value from node ServerPort, error=value of " + port + " is an integer, not a string"));
    EXPECT_EQ(errors[1], L3("Can't get boolean value from node ServerPort, error=value of " + port +
                           " is an integer, not a boolean"));
    EXPECT_EQ(errors[2], L3("Can't get integer value from node MNC, error=value of " + std::string(testsupport::kRegRoot) +
                            "/MNC is an interior node, not an integer"));
    EXPECT_EQ(number, 5) << "a failed read stores nothing";
}

TEST_F(TreeAccess, IntAndBoolReadersAreSilentOnSuccessOnly)
{
    int port = 0;
    bool enabled = false;
    StderrCapture capture;
    EXPECT_TRUE(DM_DmtUtility::GetNodeIntValue(m_tree, "ClientPort", port));
    EXPECT_TRUE(DM_DmtUtility::GetNodeBoolValue(m_tree, "Enable", enabled));
    EXPECT_FALSE(DM_DmtUtility::GetNodeIntValue(m_tree, "Gone", port));
    EXPECT_EQ(port, 16999);
    EXPECT_TRUE(enabled);
    const Lines lines = capture.finish();
    EXPECT_EQ(lines.size(), 4u + 4u + 5u) << "only the lines of GetNodeValue and GetNode, and one failure line";
    EXPECT_EQ(lines.back(), L5("GetNodeIntValue", "Can't get the node value:Gone"));
}

TEST_F(TreeAccess, GetNodeChildrenListsTheNames)
{
    DMStringVector children;
    StderrCapture capture;
    EXPECT_TRUE(DM_DmtUtility::GetNodeChildren(m_tree, "MNC", children));
    ASSERT_EQ(children.size(), 2);
    EXPECT_EQ(capture.finish(),
              (Lines{L5("GetNodeChildren", "ENTER\tnodeName=MNC"), L5("GetNodeValue", "ENTER\tnodeName=MNC"),
                     L5("GetNode", "ENTER\tnodeName=MNC"), L5("GetNode", "LEAVE\tGet node: MNC"),
                     L5("GetNodeValue", "LEAVE\tGet node: MNC"), L5("GetNodeChildren", "children[0]=Op1"),
                     L5("GetNodeChildren", "children[1]=Op2"), L5("GetNodeChildren", "LEAVE\tGet node: MNC")}));
}

TEST_F(TreeAccess, GetNodeChildrenOfAnEmptyNodeAndOfALeaf)
{
    useTree(std::string(testsupport::kHandsetTree) + "./Empty node\n");
    DmtTreeFactory::Uninitialize();
    m_tree = nullptr;
    ASSERT_TRUE(DmtTreeFactory::Initialize());
    StderrCapture capture;
    JemSmartPtr<DmtTree> root = DM_DmtUtility::GetTree("./Empty");
    DMStringVector children;
    EXPECT_TRUE(DM_DmtUtility::GetNodeChildren(root, "", children));
    EXPECT_EQ(children.size(), 0);
    root = nullptr;
    m_tree = DM_DmtUtility::GetTree(testsupport::kRegRoot);
    EXPECT_FALSE(DM_DmtUtility::GetNodeChildren(m_tree, "Enable", children));
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::linesOf(lines, "GetNodeChildren")[1], L5("GetNodeChildren", "LEAVE\tGet node: "))
        << "no children lines";
    EXPECT_EQ(lines.back(), L3("Can't get children from node Enable, error=value of " + std::string(testsupport::kRegRoot) +
                               "/Enable is a boolean, not an interior node"));
}

TEST_F(TreeAccess, GetNodeChildrenWhenTheValueCannotBeRead)
{
    DMStringVector children;
    StderrCapture capture;
    EXPECT_FALSE(DM_DmtUtility::GetNodeChildren(m_tree, "Nothing", children));
    EXPECT_EQ(capture.finish().back(), L5("GetNodeChildren", "Error get node:Nothing"));
}

TEST_F(TreeAccess, SetNodeValueStoresInExistingNodesOnly)
{
    StderrCapture capture;
    EXPECT_TRUE(DM_DmtUtility::SetNodeValue(m_tree, "RegStatus", DmtData(1)));
    EXPECT_FALSE(DM_DmtUtility::SetNodeValue(m_tree, "RegCount", DmtData(1)));
    EXPECT_FALSE(DM_DmtUtility::SetNodeValue(m_tree, "RegStatus", DmtData("1")));
    EXPECT_EQ(capture.finish(),
              (Lines{L5("SetNodeValue", "ENTER\tnodeName=RegStatus"), L5("GetNode", "ENTER\tnodeName=RegStatus"),
                     L5("GetNode", "LEAVE\tGet node: RegStatus"), L5("SetNodeValue", "LEAVE\tset node: RegStatus"),
                     L5("SetNodeValue", "ENTER\tnodeName=RegCount"), L5("GetNode", "ENTER\tnodeName=RegCount"),
                     L3("Can't get node: unknown node " + std::string(testsupport::kRegRoot) + "/RegCount"),
                     L3("Can't get node: RegCount"), L5("SetNodeValue", "ENTER\tnodeName=RegStatus"),
                     L5("GetNode", "ENTER\tnodeName=RegStatus"), L5("GetNode", "LEAVE\tGet node: RegStatus"),
                     L3("Can't set value of node RegStatus, error=value of another type for " +
                        std::string(testsupport::kRegRoot) + "/RegStatus")}));
    EXPECT_EQ(treeLine(std::string(testsupport::kRegRoot) + "/RegStatus"), std::string(testsupport::kRegRoot) + "/RegStatus int 1");
    EXPECT_EQ(treeLine(std::string(testsupport::kRegRoot) + "/RegCount"), "");
}

}  // namespace
