// DMVector where it can go wrong: growth in steps of 16 with bitwise moves, shrinking that keeps
// the block, copies that share nothing, and storage that cannot be had.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DM_RegUtility.h"
#include "dmnative_control.h"

namespace {

// An element that reports its destruction, to see the order in which elements go.
std::vector<int> g_destroyed;
struct Probe {
    int id = -1;
    ~Probe() { g_destroyed.push_back(id); }
};

class Vector : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(dmnative::liveBlocks(), m_blocks) << "storage not given back"; }
    long m_blocks = dmnative::liveBlocks();
};

TEST_F(Vector, GrowsInStepsOfSixteenMovingElementsBitwise)
{
    DMVector<DMString> v;
    EXPECT_EQ(v.data(), nullptr) << "no storage before the first element";
    v.set_size(16);
    EXPECT_EQ(v.capacity(), 16);
    std::vector<const char*> chars;
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(v[i].c_str(), nullptr) << "new elements are empty strings";
        chars.push_back((v[i] = std::to_string(i).c_str()).c_str());
    }
    const DMString* block = v.data();
    v.set_size(16);
    EXPECT_NE(v.data(), block) << "a request equal to the capacity replaces the block";
    v.set_size(17);
    EXPECT_EQ(v.capacity(), 32);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(v[i].c_str(), chars[i]) << "element " << i << " was copied, not moved";
    }
    EXPECT_EQ(dmnative::liveBlocks(), m_blocks + 1) << "replaced blocks are freed";
    v.set_size(-1);
    EXPECT_EQ(v.size(), 17) << "a negative size changes nothing";
    v.set_size(0);
    EXPECT_EQ(v.data(), nullptr);
}

TEST_F(Vector, ShrinkingKeepsTheBlockAndDestroysFromTheEnd)
{
    {
        DMVector<Probe> v;
        v.set_size(5);
        for (int i = 0; i < 5; ++i) {
            v[i].id = i;
        }
        const Probe* block = v.data();
        g_destroyed.clear();
        v.set_size(2);
        EXPECT_EQ(g_destroyed, (std::vector<int>{4, 3, 2}));
        v.set_size(4);
        EXPECT_EQ(v.data(), block) << "shrinking and regrowing within the capacity allocates nothing";
        g_destroyed.clear();
    }
    EXPECT_EQ(g_destroyed, (std::vector<int>{-1, -1, 1, 0})) << "destruction empties the vector, last element first";
}

TEST_F(Vector, CopiesShareNoCharacters)
{
    DMStringVector source;
    source.set_size(20);
    for (int i = 0; i < 20; ++i) {
        source[i] = i == 7 ? nullptr : std::to_string(i).c_str();
    }
    DMVector<DMString> copy;
    copy.set_size(40);
    copy = source;
    const DMStringVector constructed(source);  // as fetchMnc receives its child names
    EXPECT_EQ(copy.capacity(), 32);
    for (int i = 0; i < 20; ++i) {
        for (const DMString* element : {static_cast<const DMString*>(&copy[i]), &constructed[i]}) {
            EXPECT_EQ(element->length(), source[i].length());
            EXPECT_TRUE(element->c_str() == nullptr || element->c_str() != source[i].c_str()) << "element " << i;
        }
    }
    copy = static_cast<const DMVector<DMString>&>(copy);
    EXPECT_STREQ(copy[19].c_str(), "19") << "assignment to itself changes nothing";
    copy = DMVector<DMString>();
    EXPECT_EQ(copy.data(), nullptr) << "an empty source leaves no block";
}

TEST_F(Vector, StorageThatCannotBeHadLeavesTheVectorAsItWas)
{
    DMVector<DMString> v;
    dmnative::failAllocations(1);
    v.set_size(1);
    EXPECT_EQ(v.capacity(), 0);
    v.set_size(16);
    v[15] = "last";
    dmnative::failAllocations(1);
    v.set_size(17);
    EXPECT_EQ(v.size(), 16);
    EXPECT_STREQ(v[15].c_str(), "last");
    v.set_size(INT_MAX);
    EXPECT_EQ(v.size(), 16) << "a size that no block can hold";
}

}  // namespace
