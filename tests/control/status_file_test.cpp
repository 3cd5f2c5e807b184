// The registration status file: exact content, modes, and every way reading can end.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "DM_RegUtility.h"
#include "dmreg_config.h"
#include "flow_lines.h"

using namespace flow;
using testsupport::fileMode;
using testsupport::readFile;
using testsupport::statusFilePath;
using testsupport::StderrCapture;

namespace {

class StatusFile : public testsupport::Handset {
protected:
    void TearDown() override
    {
        umask(m_mask);
        chmod(statusFilePath().c_str(), 0644);
        Handset::TearDown();
    }
    mode_t m_mask = umask(022);
};

TEST_F(StatusFile, CreatedWithTheDigitsOnlyAndModeRegardlessOfTheMask)
{
    umask(077);
    char imsi[] = "460001234567890";
    StderrCapture capture;
    writeImsiToFile(imsi);
    EXPECT_EQ(capture.finish(), (Lines{util("writeImsiToFile", "write IMSI to file:460001234567890")}));
    EXPECT_EQ(readFile(statusFilePath()), "460001234567890");
    EXPECT_EQ(fileMode(statusFilePath()), 0777);
    EXPECT_EQ(umask(077), 077) << "the process's mask is left alone";
}

TEST_F(StatusFile, RewriteReplacesTheWholeContentAndKeepsTheMode)
{
    char first[] = "460001234567890";
    char second[] = "46000123";
    writeImsiToFile(first);
    chmod(statusFilePath().c_str(), 0640);
    writeImsiToFile(second);
    EXPECT_EQ(readFile(statusFilePath()), "46000123");
    EXPECT_EQ(fileMode(statusFilePath()), 0640);
}

TEST_F(StatusFile, UnwritableFileIsTracedAndLeftAlone)
{
    const std::string blocked = statusFilePath();
    mkdir(blocked.c_str(), 0755);  // a folder where the file should be
    char imsi[] = "460001234567890";
    StderrCapture capture;
    writeImsiToFile(imsi);
    const Lines lines = capture.finish();
    rmdir(blocked.c_str());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], util("writeImsiToFile", "Cannot record the IMSI in " + std::string(DMREG_STATUS_FILE) +
                                                    ": Is a directory"));
    EXPECT_EQ(testsupport::fileMode(statusFilePath() + ".new"), -1) << "nothing is left beside it";
}

TEST_F(StatusFile, ReadingEndsInEveryWayWithItsLine)
{
    char buffer[30] = {};
    StderrCapture absent;
    EXPECT_TRUE(readImsiFromFile(buffer, sizeof(buffer)));
    EXPECT_EQ(absent.finish(), (Lines{util("readImsiFromFile", "File not exist")}));

    FILE* f = fopen(statusFilePath().c_str(), "w");
    fclose(f);
    StderrCapture empty;
    EXPECT_TRUE(readImsiFromFile(buffer, sizeof(buffer)));
    EXPECT_EQ(empty.finish(), (Lines{util("readImsiFromFile", "No IMSI saved in the file")}));
    EXPECT_STREQ(buffer, "");

    f = fopen(statusFilePath().c_str(), "w");
    fputs("460001234567890", f);
    fclose(f);
    StderrCapture digits;
    EXPECT_TRUE(readImsiFromFile(buffer, sizeof(buffer)));
    EXPECT_EQ(digits.finish(), (Lines{util("readImsiFromFile", "read IMSI from file:460001234567890")}));
    EXPECT_STREQ(buffer, "460001234567890");
}

TEST_F(StatusFile, OversizedFileLeavesTheBufferTerminated)
{
    FILE* f = fopen(statusFilePath().c_str(), "w");
    fputs(std::string(100, '9').c_str(), f);
    fclose(f);
    char buffer[31];
    memset(buffer, 0, sizeof(buffer));
    buffer[30] = 'x';  // a guard past the length given
    EXPECT_TRUE(readImsiFromFile(buffer, 30));
    EXPECT_EQ(std::string(buffer), std::string(29, '9'));
    EXPECT_EQ(buffer[30], 'x');
}

TEST_F(StatusFile, ReadErrorIsAFailure)
{
    mkdir(statusFilePath().c_str(), 0755);  // opens, but cannot be read
    char buffer[30] = {};
    StderrCapture capture;
    EXPECT_FALSE(readImsiFromFile(buffer, sizeof(buffer)));
    EXPECT_FALSE(dmNeedRegister());
    const Lines lines = capture.finish();
    rmdir(statusFilePath().c_str());
    EXPECT_EQ(lines, (Lines{util("readImsiFromFile", "Read file error"), util("readImsiFromFile", "Read file error"),
                            util("dmNeedRegister", "Error read file"), ""}));
}

}  // namespace
