// The stand-ins' messages for malformed tree and scenario files, from malformed.txt.
#include <gtest/gtest.h>

#include <fstream>

#include "dmnative_control.h"
#include "dmt.hpp"
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

// What the file tree refuses to do through its interface, each with the error it answers; and
// what a tree closed, or never named, answers.
TEST(TreeFile, RefusesWhatItCannotDoAndSaysWhy)
{
    const std::string path = handset::writeFile("api-tree.txt", "./A/Leaf string x\n./A/Count int 1\n./A/On bool true\n./B node\n");
    setenv("DMNATIVE_TREE", path.c_str(), 1);
    const std::string before = handset::readFile(path);
    const auto error = [](const PDmtErrorDescription& e) { return e ? std::string(e->GetErrorText().c_str()) : "none"; };
    ASSERT_TRUE(DmtTreeFactory::Initialize());
    PDmtTree kept;  // handles a caller keeps past the tree's closing
    PDmtNode keptNode;
    {
        PDmtTree tree;
        ASSERT_EQ(error(DmtTreeFactory::GetSubtree(DmtPrincipal("localhost"), "./A", tree)), "none");
        kept = tree;
        EXPECT_EQ(error(tree->GetNode("Leaf", keptNode)), "none");
        PDmtNode nope;
        EXPECT_EQ(error(tree->GetNode("Nope", nope)), "unknown node ./A/Nope");
        DMString root;
        EXPECT_EQ(error(tree->GetRootPath(root)), "none");
        EXPECT_STREQ(root.c_str(), "./A");
        PDmtTree leaf;
        EXPECT_EQ(error(DmtTreeFactory::GetSubtree(DmtPrincipal("localhost"), "./A/Leaf", leaf)), "./A/Leaf is a leaf, not a subtree");
        const struct {
            const char* node;
            DmtData value;
            const char* refused;
        } stores[] = {
            {"", DmtData("x"), "interior node ./A holds no value"},
            {"Leaf", DmtData(5), "value of another type for ./A/Leaf"},
            {"Leaf", DmtData("two\nlines"), "a line end cannot be stored in ./A/Leaf"},
            {"On", DmtData(false), "none"},
            {"On", DmtData(true), "none"},
        };
        for (const auto& st : stores) {
            PDmtNode node;
            ASSERT_EQ(error(tree->GetNode(st.node, node)), "none") << st.node;
            DMString where;
            EXPECT_EQ(error(node->GetPath(where)), "none");
            EXPECT_EQ(error(node->SetValue(st.value)), st.refused) << st.node;
        }
        PDmtNode interior;
        DmtData children;
        ASSERT_EQ(error(tree->GetNode("", interior)), "none");
        dmnative::failAllocations(1);
        EXPECT_EQ(error(interior->GetValue(children)), "no storage for the children of ./A");
        ASSERT_EQ(error(interior->GetValue(children)), "none");
        int number = 0;
        EXPECT_EQ(error(children.GetInt(number)), "value of ./A is an interior node, not an integer");
        EXPECT_EQ(error(DmtData().GetInt(number)), "value of the data is empty, not an integer");
        const DmtData copied(DmtData(7));
        int seven = 0;
        EXPECT_EQ(error(copied.GetInt(seven)), "none");
        EXPECT_EQ(seven, 7);
        const DMString name("localhost");
        EXPECT_STREQ(DMString(name).c_str(), "localhost");
    }
    DmtTreeFactory::Uninitialize();
    EXPECT_FALSE(DmtTreeFactory::Uninitialize()) << "a closing without its opening";
    EXPECT_EQ(handset::readFile(path), before) << "the same values again leave the file as it was";
    PDmtTree closed;
    EXPECT_EQ(error(DmtTreeFactory::GetSubtree(DmtPrincipal("localhost"), "./A", closed)), "tree is not open");
    DmtData value;
    EXPECT_EQ(error(keptNode->GetValue(value)), "node ./A/Leaf is no longer available");
    EXPECT_EQ(error(keptNode->SetValue(DmtData("y"))), "tree is not open");
    EXPECT_EQ(error(kept->GetNode("Leaf", keptNode)), "tree is not open");
    unsetenv("DMNATIVE_TREE");
    trace::Capture capture;
    EXPECT_FALSE(DmtTreeFactory::Initialize());
    EXPECT_EQ(capture.finish(), trace::Lines{"dmnative: DMNATIVE_TREE names no tree file"});
    setenv("DMNATIVE_TREE", (path + ".none").c_str(), 1);
    trace::Capture missing;
    EXPECT_FALSE(DmtTreeFactory::Initialize());
    EXPECT_EQ(missing.finish(), trace::Lines{"dmnative: " + path + ".none: cannot open tree: No such file or directory"});
}

}  // namespace
