// A host process killed at random moments of a registration: afterwards the tree always loads
// and holds the old values or the new ones, and the status file the old IMSI or the new one.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "DM_RegLaunch.h"
#include "dmnative_control.h"
#include "handset.h"
#include "seam.h"
#include "zavtapi_control.h"

namespace {

const std::string kOldImsi = "001019999999999";
const std::string kNewImsi = zavtapi::kDefaultImsi;
const std::string kDone = "client has been answered";

class CrashSafety : public handset::Handset {
protected:
    void startOver() const
    {
        std::string tree = handset::kTree;
        useTree(tree.replace(tree.find("RegIMSI string "), 15, "RegIMSI string " + kOldImsi));
        std::ofstream(handset::kStatusFile) << kOldImsi;
    }

    // Runs a registration in a child whose trace comes through a pipe, and kills the child once
    // killAfter bytes of trace have come (or its client has been answered). Answers the bytes.
    static size_t registerAndKill(size_t killAfter)
    {
        int trace[2];
        if (pipe(trace) != 0) {
            ADD_FAILURE() << "no pipe: " << strerror(errno);
            return 0;
        }
        const pid_t child = fork();
        if (child < 0) {  // never kill(-1): that is every process there is
            ADD_FAILURE() << "no child: " << strerror(errno);
            close(trace[0]);
            close(trace[1]);
            return 0;
        }
        if (child == 0) {
            dup2(trace[1], STDERR_FILENO);
            std::thread client([] {
                while (seam::listeningSocket < 0) {
                    std::this_thread::yield();
                }
                handset::request("IMEI:" + std::string(zavtapi::kDefaultImei) + "/1");
                fprintf(stderr, "%s\n", kDone.c_str());
            });
            seam::failPosix();
            DM_RegLaunch().activateDmRegister();
            _exit(0);
        }
        close(trace[1]);
        std::string seen;
        char buffer[4096];
        for (ssize_t got = 1; seen.size() < killAfter && seen.find(kDone) == std::string::npos && got > 0;) {
            got = read(trace[0], buffer, std::min(sizeof(buffer), killAfter - seen.size()));
            seen.append(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(trace[0]);
        return seen.size();
    }
};

TEST_F(CrashSafety, KilledAtRandomMomentsOfTwoHundredRegistrations)
{
    startOver();
    const size_t whole = registerAndKill(SIZE_MAX);
    ASSERT_EQ(handset::readFile(handset::kStatusFile), kNewImsi) << "the undisturbed registration";
    std::mt19937 random(1206);
    int recorded = 0;
    for (int run = 0; run < 200; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        startOver();
        registerAndKill(std::uniform_int_distribution<size_t>(0, whole)(random));
        ASSERT_TRUE(dmnative::checkTreeFile(m_treeFile.c_str())) << "the tree no longer loads";
        const std::string reg = handset::kRegRoot;
        EXPECT_TRUE(treeLine(reg + "/RegIMSI") == reg + "/RegIMSI string " + kOldImsi ||
                    treeLine(reg + "/RegIMSI") == reg + "/RegIMSI string " + kNewImsi);
        EXPECT_TRUE(treeLine(reg + "/RegStatus") == reg + "/RegStatus int 0" ||
                    treeLine(reg + "/RegStatus") == reg + "/RegStatus int 1");
        const std::string status = handset::readFile(handset::kStatusFile);
        EXPECT_TRUE(status == kOldImsi || status == kNewImsi) << "status file: \"" << status << "\"";
        recorded += status == kNewImsi;
    }
    RecordProperty("registrations_recorded_before_the_kill", recorded);
}

}  // namespace
