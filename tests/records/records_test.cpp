// What the library hands to others byte for byte: the send record the telephony service reads,
// and the status file that outlives the process.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "DM_RegSendSMS.h"
#include "dmreg_config.h"
#include "handset.h"
#include "seam.h"
#include "trace.h"
#include "zavtapi_control.h"

using handset::fileMode;
using handset::kStatusFile;
using handset::readFile;
using trace::Lines;

namespace {

// A little-endian field of a captured record, at its offset on the handset.
unsigned field(const std::vector<unsigned char>& record, size_t offset, size_t width)
{
    unsigned value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<unsigned>(record[offset + i]) << (8 * i);
    }
    return value;
}

using SendRecord = handset::Handset;

TEST_F(SendRecord, IsFilledAsTheTelephonyServiceReadsIt)
{
    const char message[] = "IMEI:490154203237518/Zav/ZV-100/1.0.3";
    trace::Capture quiet;
    DM_RegSendSMS sender(message, "+15550100200");
    sender.run();
    DM_RegSendSMS refused(std::string(160, 'b').c_str(), "+15550100200");
    refused.run();
    const std::vector<zavtapi::SentSms> sent = zavtapi::sent();
    ASSERT_EQ(sent.size(), 2u);
    const std::vector<unsigned char>& r = sent[0].record;
    ASSERT_EQ(r.size(), sizeof(void*) == 4 ? 104u : 112u);  // 64-bit hosts align the pointer to 8
    EXPECT_EQ(field(r, 0, 4), 2u);
    EXPECT_EQ(field(r, 4, 1), 11u);
    EXPECT_EQ(field(r, 5, 1), 0u) << "no stack byte reaches the service";
    EXPECT_EQ(field(r, 6, 2), 16999u) << "source port: the client port";
    EXPECT_EQ(field(r, 8, 2), 16998u) << "destination port: the server port";
    EXPECT_EQ(std::string(r.begin() + 10, r.begin() + 52), std::string("+15550100100") + std::string(30, '\0'));
    EXPECT_EQ(std::string(r.begin() + 52, r.begin() + 94), std::string("+15550100200") + std::string(30, '\0'));
    EXPECT_EQ(field(r, 94, 2), 0u);
    EXPECT_EQ(field(r, 96, 2), strlen(message));
    const void* data = nullptr;
    memcpy(&data, &r[sizeof(void*) == 4 ? 100 : 104], sizeof(data));
    EXPECT_EQ(data, sent[0].dataPointer);
    EXPECT_TRUE(static_cast<const void*>(&sender) < data && data < static_cast<const void*>(&sender + 1))
        << "the data is the sender's own message body, not a copy";
    EXPECT_EQ(sent[0].data, message);
    EXPECT_EQ(field(sent[1].record, 96, 2), 0u) << "a refused message is sent empty";
    EXPECT_EQ(sent[1].record[52], 0) << "and without a destination";
}

class StatusFile : public handset::Handset {
protected:
    void TearDown() override
    {
        umask(m_mask);
        chmod(kStatusFile.c_str(), 0644);
        rmdir(kStatusFile.c_str());
        Handset::TearDown();
    }
    mode_t m_mask = umask(077);
};

TEST_F(StatusFile, HoldsTheDigitsOnlyWithModeSetWithoutTheMask)
{
    char first[] = "460001234567890";
    char second[] = "46000123";
    seam::failPosix();
    writeImsiToFile(first);
    EXPECT_EQ(seam::calls(seam::Posix::Fsync), 2) << "the new file, then the folder that holds its new name";
    EXPECT_EQ(readFile(kStatusFile), "460001234567890");
    EXPECT_EQ(fileMode(kStatusFile), 0777);
    EXPECT_EQ(umask(077), 077) << "the process's mask is left alone";
    chmod(kStatusFile.c_str(), 0640);
    writeImsiToFile(second);
    EXPECT_EQ(readFile(kStatusFile), "46000123") << "replaced whole";
    EXPECT_EQ(fileMode(kStatusFile), 0640) << "an existing file keeps its mode";
}

TEST_F(StatusFile, WriteThatFailsIsTracedAndLeavesNothingBeside)
{
    mkdir(kStatusFile.c_str(), 0755);  // a folder where the file should be
    char imsi[] = "460001234567890";
    trace::Capture capture;
    writeImsiToFile(imsi);
    EXPECT_EQ(capture.finish(),
              (Lines{"{5} DM_RegUtility.cpp:#, writeImsiToFile()\twrite IMSI to file:460001234567890",
                     "{5} DM_RegUtility.cpp:#, writeImsiToFile()\tCannot record the IMSI in " +
                         std::string(DMREG_STATUS_FILE) + ": Is a directory"}));
    EXPECT_EQ(fileMode(kStatusFile + ".new"), -1);
}

TEST_F(StatusFile, OnlyARegularFileIsReadAndNothingBlocksTheRead)
{
    const std::string target = kStatusFile + ".elsewhere";
    std::ofstream(target) << "001010123456789";
    const struct {
        const char* planted;
        std::function<int()> make;
    } cases[] = {
        {"a link to a file of another", [&] { return symlink(target.c_str(), kStatusFile.c_str()); }},
        {"a FIFO, which would block an open or a read", [] { return mkfifo(kStatusFile.c_str(), 0600); }},
        {"a folder", [] { return mkdir(kStatusFile.c_str(), 0700); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.planted);
        ASSERT_EQ(c.make(), 0);
        char buffer[30] = {};
        trace::Capture capture;
        EXPECT_FALSE(readImsiFromFile(buffer, 30));
        EXPECT_EQ(capture.finish(), Lines{"{5} DM_RegUtility.cpp:#, readImsiFromFile()\tRead file error"});
        EXPECT_STREQ(buffer, "");
        unlink(kStatusFile.c_str());
        rmdir(kStatusFile.c_str());
    }
    unlink(target.c_str());
}

TEST_F(StatusFile, ReadingAFileTooLongForTheBufferLeavesItTerminated)
{
    writeImsiToFile(&std::string(100, '9')[0]);
    char buffer[31];
    memset(buffer, 0, sizeof(buffer));
    buffer[30] = 'x';  // a guard past the length given
    trace::Capture quiet;
    EXPECT_TRUE(readImsiFromFile(buffer, 30));
    EXPECT_EQ(std::string(buffer), std::string(29, '9'));
    EXPECT_EQ(buffer[30], 'x');
    writeImsiToFile(&std::string()[0]);
    EXPECT_TRUE(readImsiFromFile(buffer, 30));
    EXPECT_EQ(quiet.finish().back(), "{5} DM_RegUtility.cpp:#, readImsiFromFile()\tNo IMSI saved in the file");
}

}  // namespace
