// A host process killed at random moments of a registration: afterwards the tree always loads
// and holds the old values or the new ones, and the status file the old IMSI or the new one,
// never a mix.
#include <gtest/gtest.h>

#include <csignal>
#include <algorithm>
#include <random>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "DM_RegLaunch.h"
#include "dmnative_control.h"
#include "dmreg_config.h"
#include "handset.h"
#include "local_client.h"
#include "posix_seam.h"
#include "zavtapi_control.h"

using testsupport::kRegRoot;

namespace {

const std::string kDone = "client has been answered";
const std::string kOldImsi = "001019999999999";
const std::string kNewImsi = zavtapi::kDefaultImsi;

class CrashSafety : public testsupport::Handset {
protected:
    void startOver()
    {
        std::string tree = testsupport::kHandsetTree;
        tree.replace(tree.find("RegIMSI string "), 15, "RegIMSI string " + kOldImsi);
        useTree(tree);
        FILE* f = fopen(testsupport::statusFilePath().c_str(), "w");
        fputs(kOldImsi.c_str(), f);
        fclose(f);
    }

    // Runs a registration in a child process whose trace comes through a pipe, and kills the
    // child once killAfter bytes of trace have come (or once its client has been answered).
    // Answers how many bytes came.
    size_t registerAndKill(size_t killAfter)
    {
        int trace[2];
        EXPECT_EQ(pipe(trace), 0);
        const pid_t child = fork();
        if (child == 0) {
            dup2(trace[1], STDERR_FILENO);
            close(trace[0]);
            testsupport::failAccept(0);
            testsupport::forgetListeningSocket();
            std::thread client([] {
                while (testsupport::listeningSocket() < 0) {
                    std::this_thread::yield();
                }
                testsupport::request(DMREG_SOCKET_PATH, "IMEI:" + std::string(zavtapi::kDefaultImei) + "/1");
                fprintf(stderr, "%s\n", kDone.c_str());
            });
            DM_RegLaunch launcher;
            launcher.activateDmRegister();
            _exit(0);
        }
        close(trace[1]);
        std::string seen;
        char buffer[4096];
        ssize_t got;
        while (seen.size() < killAfter && seen.find(kDone) == std::string::npos &&
               (got = read(trace[0], buffer, std::min(sizeof(buffer), killAfter - seen.size()))) > 0) {
            seen.append(buffer, static_cast<size_t>(got));
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
    ASSERT_EQ(testsupport::readFile(testsupport::statusFilePath()), kNewImsi) << "the undisturbed registration";
    std::mt19937 random(1206);
    std::uniform_int_distribution<size_t> moment(0, whole);
    int completed = 0;
    for (int run = 0; run < 200; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        startOver();
        registerAndKill(moment(random));
        ASSERT_TRUE(dmnative::checkTreeFile(m_treeFile.c_str())) << "the tree no longer loads";
        const std::string imsiLine = treeLine(std::string(kRegRoot) + "/RegIMSI");
        const std::string statusLine = treeLine(std::string(kRegRoot) + "/RegStatus");
        EXPECT_TRUE(imsiLine == std::string(kRegRoot) + "/RegIMSI string " + kOldImsi ||
                    imsiLine == std::string(kRegRoot) + "/RegIMSI string " + kNewImsi)
            << imsiLine;
        EXPECT_TRUE(statusLine == std::string(kRegRoot) + "/RegStatus int 0" ||
                    statusLine == std::string(kRegRoot) + "/RegStatus int 1")
            << statusLine;
        const std::string status = testsupport::readFile(testsupport::statusFilePath());
        EXPECT_TRUE(status == kOldImsi || status == kNewImsi) << "status file: \"" << status << "\"";
        completed += status == kNewImsi;
    }
    RecordProperty("registrations_recorded_before_the_kill", completed);
}

}  // namespace
