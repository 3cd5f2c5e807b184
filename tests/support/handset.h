// A simulated handset for tests: a tree file in this test program's own folder of the build
// tree, the stand-ins reset to a ready SIM, empty identity caches and no status file.
#ifndef TESTS_HANDSET_H
#define TESTS_HANDSET_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dmt.hpp"

namespace testsupport {

// Registration subtree root, for building node paths in tests.
constexpr const char* kRegRoot = "./DevDetail/Ext/Conf/PMF/Agents/Registration";

// The handset of most tests: its SIM (the stand-in's default IMSI 001010123456789) belongs to
// the second of two operators.
extern const char* const kHandsetTree;

// The text of a DMString, "" when it holds none.
inline std::string text(const DMString& s)
{
    return s.c_str() ? s.c_str() : "";
}

// This test program's folder in the build tree (created on first use).
std::string workDir();
std::string writeFile(const std::string& name, const std::string& content);
// The whole content, or "<absent>" when the file cannot be read.
std::string readFile(const std::string& path);
std::string statusFilePath();
// Mode bits of a file, -1 when absent.
int fileMode(const std::string& path);

class Handset : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces the tree file (takes effect at the next opening of the tree).
    void useTree(const std::string& text);
    // The line of the tree file that names path, or "" when none does.
    std::string treeLine(const std::string& path) const;
    // Checks that no handle or block is left and that every opening was closed.
    void expectTreeReleased() const;

    std::string m_treeFile;
};

}  // namespace testsupport

#endif
