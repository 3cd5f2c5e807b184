// DMVector: growth in steps of 16, the shrink rules, bitwise moves, copies and assignment, and
// storage that comes from (and goes back to) the tree library's allocator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DM_RegUtility.h"
#include "dmnative_control.h"
#include "handset.h"

namespace {

using testsupport::text;

// An element that reports its destruction, to see the order in which elements go.
std::vector<int>* g_destroyed = nullptr;
struct Probe {
    int id = -1;
    ~Probe()
    {
        if (g_destroyed != nullptr && id >= 0) {
            g_destroyed->push_back(id);
        }
    }
};

class DMVectorTest : public ::testing::Test {
protected:
    void SetUp() override { m_blocks = dmnative::liveBlocks(); }
    void TearDown() override { EXPECT_EQ(dmnative::liveBlocks(), m_blocks) << "storage not given back"; }
    long m_blocks = 0;
};

TEST_F(DMVectorTest, GrowsInStepsOfSixteen)
{
    DMVector<DMString> v;
    EXPECT_EQ(v.data(), nullptr) << "no storage before the first element";
    v.set_size(1);
    EXPECT_EQ(v.capacity(), 16);
    EXPECT_EQ(v.size(), 1);
    EXPECT_EQ(v[0].c_str(), nullptr) << "new elements are empty strings";
    v.set_size(16);
    EXPECT_EQ(v.capacity(), 16);
    v.set_size(17);
    EXPECT_EQ(v.capacity(), 32);
    v.set_size(33);
    EXPECT_EQ(v.capacity(), 48);
    EXPECT_EQ(dmnative::liveBlocks(), m_blocks + 1) << "replaced blocks are freed";
}

TEST_F(DMVectorTest, MovesElementsBitwiseWhenTheBlockIsReplaced)
{
    DMVector<DMString> v;
    v.set_size(16);
    std::vector<const char*> chars;
    for (int i = 0; i < 16; ++i) {
        v[i] = std::to_string(i).c_str();
        chars.push_back(v[i].c_str());
    }
    const DMString* oldBlock = v.data();
    v.set_size(17);
    EXPECT_NE(v.data(), oldBlock);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(v[i].c_str(), chars[i]) << "element " << i << " was copied, not moved";
        EXPECT_EQ(text(v[i]), std::to_string(i));
    }
    EXPECT_EQ(v[16].c_str(), nullptr);
}

TEST_F(DMVectorTest, RequestEqualToCapacityReplacesTheBlock)
{
    DMVector<DMString> v;
    v.set_size(3);
    v[2] = "kept";
    const DMString* before = v.data();
    v.set_size(16);
    EXPECT_NE(v.data(), before);
    EXPECT_EQ(v.capacity(), 16);
    EXPECT_EQ(text(v[2]), "kept");
}

TEST_F(DMVectorTest, ShrinkingKeepsTheBlockAndDestroysFromTheEnd)
{
    std::vector<int> destroyed;
    g_destroyed = &destroyed;
    {
        DMVector<Probe> v;
        v.set_size(5);
        for (int i = 0; i < 5; ++i) {
            v[i].id = i;
        }
        const Probe* block = v.data();
        v.set_size(2);
        EXPECT_EQ(destroyed, (std::vector<int>{4, 3, 2}));
        EXPECT_EQ(v.capacity(), 16);
        EXPECT_EQ(v.data(), block) << "shrinking and regrowing within the capacity allocates nothing";
        v.set_size(4);
        EXPECT_EQ(v.data(), block);
        destroyed.clear();
    }
    EXPECT_EQ(destroyed, (std::vector<int>{1, 0})) << "destruction empties the vector, last element first";
    g_destroyed = nullptr;
}

TEST_F(DMVectorTest, SizeZeroFreesAndNegativeSizeChangesNothing)
{
    DMVector<DMString> v;
    v.set_size(5);
    v.set_size(-1);
    EXPECT_EQ(v.size(), 5);
    EXPECT_EQ(v.capacity(), 16);
    v.set_size(0);
    EXPECT_EQ(v.size(), 0);
    EXPECT_EQ(v.capacity(), 0);
    EXPECT_EQ(v.data(), nullptr);
    EXPECT_EQ(dmnative::liveBlocks(), m_blocks);
}

TEST_F(DMVectorTest, StorageThatCannotBeHadLeavesTheVectorAsItWas)
{
    DMVector<DMString> v;
    dmnative::failAllocations(1);
    v.set_size(1);
    EXPECT_EQ(v.size(), 0);
    EXPECT_EQ(v.capacity(), 0);
    v.set_size(16);
    v[15] = "last";
    dmnative::failAllocations(1);
    v.set_size(17);
    EXPECT_EQ(v.size(), 16);
    EXPECT_EQ(v.capacity(), 16);
    EXPECT_EQ(text(v[15]), "last");
    dmnative::failAllocations(0);
}

TEST_F(DMVectorTest, AssignmentMakesIndependentCopies)
{
    DMVector<DMString> source;
    source.set_size(20);
    for (int i = 0; i < 20; ++i) {
        source[i] = ("code" + std::to_string(i)).c_str();
    }
    source[7] = nullptr;  // an empty element copies as empty
    DMVector<DMString> copy;
    copy.set_size(40);
    copy = source;
    EXPECT_EQ(copy.size(), 20);
    EXPECT_EQ(copy.capacity(), 32);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(text(copy[i]), text(source[i]));
        if (source[i].c_str() != nullptr) {
            EXPECT_NE(copy[i].c_str(), source[i].c_str()) << "element " << i << " shares its characters";
        }
    }
    source[0] = "changed";
    EXPECT_EQ(text(copy[0]), "code0");
}

TEST_F(DMVectorTest, AssigningAnEmptyVectorLeavesNoBlock)
{
    DMVector<DMString> v;
    v.set_size(3);
    const DMVector<DMString> empty;
    v = empty;
    EXPECT_EQ(v.size(), 0);
    EXPECT_EQ(v.capacity(), 0);
    EXPECT_EQ(v.data(), nullptr);
}

TEST_F(DMVectorTest, CopyConstructionAndSelfAssignment)
{
    DMStringVector names;
    names.set_size(2);
    names[0] = "Op1";
    names[1] = "Op2";
    const DMStringVector copy(names);  // as fetchMnc receives its child names
    ASSERT_EQ(copy.size(), 2);
    EXPECT_EQ(text(copy[1]), "Op2");
    DMVector<DMString>& same = names;
    names = static_cast<const DMStringVector&>(same);
    EXPECT_EQ(names.size(), 2);
    EXPECT_EQ(text(names[0]), "Op1");
}

}  // namespace
