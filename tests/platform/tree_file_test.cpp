// The tree stand-in: its file format, its error texts, persistence of stored values, and the
// counters and failure injection that the library's tests rely on.
#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "dmnative_control.h"
#include "dmt.hpp"
#include "handset.h"
#include "stderr_capture.h"

using testsupport::StderrCapture;
using testsupport::writeFile;

namespace {

using testsupport::text;

struct Malformed {
    const char* comment;
    const char* file;
    const char* message;  // what follows "dmnative: <path>:"
};

// Test names and failure messages show the case by its comment.
void PrintTo(const Malformed& c, std::ostream* out)
{
    *out << c.comment;
}

const Malformed kMalformed[] = {
    // a path must start at the root
    {"relative path", "./A string x\nDevInfo/Man string y\n", "2: bad node path 'DevInfo/Man'"},
    // each leaf needs a type
    {"missing type", "./A\n", "1: no type for ./A"},
    {"unknown type", "./A float 1.5\n", "1: unknown type 'float' for ./A"},
    {"integer with letters", "# c\n\n./A int 12a\n", "3: bad integer '12a' for ./A"},
    {"integer beyond 32 bits", "./A int 4294967296\n", "1: bad integer '4294967296' for ./A"},
    {"boolean spelled otherwise", "./A bool yes\n", "1: bad boolean 'yes' for ./A (true or false)"},
    {"node named twice", "./A int 1\n./A int 2\n", "2: node ./A named twice"},
    {"child under a leaf", "./A int 1\n./A/B int 2\n", "2: leaf ./A cannot have children"},
    {"grandchild under a leaf", "./A int 1\n./A/B/C int 2\n", "2: leaf ./A cannot have children"},
    {"leaf that has children", "./A/B int 1\n./A string x\n", "2: node ./A has children and cannot be a leaf"},
    {"interior node with a value", "./A node x\n", "1: interior node ./A takes no value"},
    {"empty segment", "./A//B int 1\n", "1: bad node path './A//B'"},
};

class TreeFileTest : public ::testing::TestWithParam<Malformed> {};

TEST_P(TreeFileTest, ReportsFileAndLine)
{
    const std::string path = writeFile("malformed.txt", GetParam().file);
    StderrCapture capture;
    EXPECT_FALSE(dmnative::checkTreeFile(path.c_str()));
    EXPECT_EQ(capture.finish(), (std::vector<std::string>{"dmnative: " + path + ":" + GetParam().message}));
}

INSTANTIATE_TEST_SUITE_P(Malformed, TreeFileTest, ::testing::ValuesIn(kMalformed));

class TreeStandin : public testsupport::Handset {
protected:
    // Opens the tree, reads one leaf's value, closes again.
    DmtData read(const char* root, const char* node)
    {
        EXPECT_TRUE(DmtTreeFactory::Initialize());
        DmtData value;
        {
            PDmtTree tree;
            EXPECT_FALSE(DmtTreeFactory::GetSubtree(DmtPrincipal("localhost"), root, tree));
            PDmtNode n;
            EXPECT_FALSE(tree->GetNode(node, n));
            EXPECT_FALSE(n->GetValue(value));
        }
        DmtTreeFactory::Uninitialize();
        return value;
    }
};

TEST_F(TreeStandin, MalformedTreeMakesInitializeFail)
{
    useTree("./A int one\n");
    StderrCapture capture;
    EXPECT_FALSE(DmtTreeFactory::Initialize());
    EXPECT_EQ(capture.finish(), (std::vector<std::string>{"dmnative: " + m_treeFile + ":1: bad integer 'one' for ./A"}));
}

TEST_F(TreeStandin, ListsChildrenInTheOrderOfTheFile)
{
    useTree("./R/Zeta/Code string 1\n./R/Alpha node\n./R/Mid/Code string \n./R/Zeta/X int 3\n");
    const DmtData value = read(".", "R");
    DMStringVector children;
    EXPECT_FALSE(value.GetNodeValue(children));
    ASSERT_EQ(children.size(), 3);
    EXPECT_EQ(text(children[0]), "Zeta");
    EXPECT_EQ(text(children[1]), "Alpha");
    EXPECT_EQ(text(children[2]), "Mid");
    DMString s;
    EXPECT_FALSE(read("./R", "Mid/Code").GetString(s));
    EXPECT_EQ(text(s), "") << "the rest of the line after one blank is the value";
}

TEST_F(TreeStandin, ErrorsNameWhatWasRefused)
{
    ASSERT_TRUE(DmtTreeFactory::Initialize());
    {
        PDmtTree tree;
        PDmtErrorDescription error = DmtTreeFactory::GetSubtree(DmtPrincipal("localhost"), "./Nowhere", tree);
        ASSERT_TRUE(error);
        EXPECT_EQ(text(error->GetErrorText()), "no subtree ./Nowhere");
        ASSERT_FALSE(DmtTreeFactory::GetSubtree(DmtPrincipal("localhost"), "./DevInfo", tree));
        PDmtNode node;
        error = tree->GetNode("Missing", node);
        ASSERT_TRUE(error);
        EXPECT_EQ(text(error->GetErrorText()), "unknown node ./DevInfo/Missing");
        ASSERT_FALSE(tree->GetNode("Man", node));
        DmtData value;
        ASSERT_FALSE(node->GetValue(value));
        int number = 0;
        error = value.GetInt(number);
        ASSERT_TRUE(error);
        EXPECT_EQ(text(error->GetErrorText()), "value of ./DevInfo/Man is a string, not an integer");
        error = node->SetValue(DmtData(5));
        ASSERT_TRUE(error);
        EXPECT_EQ(text(error->GetErrorText()), "value of another type for ./DevInfo/Man");
        error = node->SetValue(DmtData("two\nlines"));
        ASSERT_TRUE(error);
        EXPECT_EQ(text(error->GetErrorText()), "a line end cannot be stored in ./DevInfo/Man");
    }
    DmtTreeFactory::Uninitialize();
    expectTreeReleased();
}

TEST_F(TreeStandin, StoredValuesReachTheFileAndKeepEverythingElse)
{
    ASSERT_TRUE(DmtTreeFactory::Initialize());
    {
        PDmtTree tree;
        ASSERT_FALSE(DmtTreeFactory::GetSubtree(DmtPrincipal("localhost"), testsupport::kRegRoot, tree));
        PDmtNode node;
        ASSERT_FALSE(tree->GetNode("RegIMSI", node));
        ASSERT_FALSE(node->SetValue(DmtData("001010123456789")));
        ASSERT_FALSE(tree->GetNode("RegStatus", node));
        ASSERT_FALSE(node->SetValue(DmtData(1)));
    }
    DmtTreeFactory::Uninitialize();
    std::string expected = testsupport::kHandsetTree;
    expected.replace(expected.find("RegIMSI string \n"), 16, "RegIMSI string 001010123456789\n");
    expected.replace(expected.find("RegStatus int 0"), 15, "RegStatus int 1");
    EXPECT_EQ(testsupport::readFile(m_treeFile), expected) << "comments and order survive a store";
    DMString imsi;
    read(testsupport::kRegRoot, "RegIMSI").GetString(imsi);
    EXPECT_EQ(text(imsi), "001010123456789") << "a new opening reads the stored value back";
}

TEST_F(TreeStandin, InjectedFailuresAndCounters)
{
    dmnative::failOn(dmnative::Op::GetString, "./DevInfo/Man", "injected");
    dmnative::failOn(dmnative::Op::GetNode, "./DevInfo/Mod", nullptr);
    const DmtData man = read("./DevInfo", "Man");
    DMString s;
    PDmtErrorDescription error = man.GetString(s);
    ASSERT_TRUE(error);
    EXPECT_EQ(text(error->GetErrorText()), "injected");
    ASSERT_TRUE(DmtTreeFactory::Initialize());
    {
        PDmtTree tree;
        ASSERT_FALSE(DmtTreeFactory::GetSubtree(DmtPrincipal("localhost"), "./DevInfo", tree));
        PDmtNode node;
        error = tree->GetNode("Mod", node);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->GetErrorText().c_str(), nullptr) << "an error with an empty text";
        EXPECT_EQ(dmnative::liveHandles(), 2) << "the tree and the error";
    }
    DmtTreeFactory::Uninitialize();
    error = nullptr;
    dmnative::failOn(dmnative::Op::Initialize, "", "off");
    EXPECT_FALSE(DmtTreeFactory::Initialize());
    EXPECT_EQ(dmnative::initializeCalls(), 3);
    EXPECT_EQ(dmnative::successfulInitializeCalls(), 2);
    EXPECT_EQ(dmnative::uninitializeCalls(), 2);
    expectTreeReleased();
}

TEST_F(TreeStandin, FailsTheNthCall)
{
    dmnative::resetCounters();
    dmnative::failCall(3, "third call");
    ASSERT_TRUE(DmtTreeFactory::Initialize());  // 1
    {
        PDmtTree tree;
        ASSERT_FALSE(DmtTreeFactory::GetSubtree(DmtPrincipal("localhost"), "./DevInfo", tree));  // 2
        PDmtNode node;
        PDmtErrorDescription error = tree->GetNode("Man", node);  // 3
        ASSERT_TRUE(error);
        EXPECT_EQ(text(error->GetErrorText()), "third call");
        EXPECT_FALSE(tree->GetNode("Man", node));  // 4
    }
    DmtTreeFactory::Uninitialize();
    EXPECT_EQ(dmnative::failableCalls(), 4);
}

}  // namespace
