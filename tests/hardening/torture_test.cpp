// Every call that a complete registration makes into the tree library, the telephony service and
// POSIX, failed one at a time: the host survives, every handle and block is given back, every
// opening of the tree is closed once, the trace names the failure, and the status file holds the
// new IMSI only after an accepted acknowledgement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "DM_RegLaunch.h"
#include "dmnative_control.h"
#include "dmreg_config.h"
#include "handset.h"
#include "seam.h"
#include "trace.h"
#include "zavtapi_control.h"

using seam::Posix;
using trace::Lines;
using zavtapi::Call;

namespace {

const std::string kOldImsi = "001019999999999";  // the SIM registered before this one

bool contains(const Lines& lines, const std::string& part)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

class Torture : public handset::Handset {
protected:
    void SetUp() override
    {
        Handset::SetUp();
        std::ofstream(handset::kStatusFile) << kOldImsi;
    }

    // One registration as a handset sees it, after fail() has set up the failure: the host's
    // call, a local client that asks for the port and acknowledges, and the listener ended as a
    // failing socket ends it. Checks what must hold whatever failed, and answers the trace.
    Lines registerOnce(const std::function<void()>& fail = [] {})
    {
        TearDown();
        SetUp();
        fail();
        trace::Capture capture;
        {
            handset::ListenerThread host([] { DM_RegLaunch().activateDmRegister(); });
            if (host.waitUntilListening()) {
                handset::request("\n\n<GetPort>");
                handset::request("IMEI:" + std::string(zavtapi::kDefaultImei) + "/1");
            }
        }
        const Lines trace = capture.finish();
        expectTreeReleased();
        const bool recorded = contains(trace, "registration flag is OK") && !contains(trace, "record the IMSI");
        EXPECT_EQ(handset::readFile(handset::kStatusFile), recorded ? zavtapi::kDefaultImsi : kOldImsi);
        EXPECT_EQ(handset::fileMode(handset::kStatusFile + ".new"), -1);
        return trace;
    }
};

TEST_F(Torture, EveryTreeLibraryCallFailedOnce)
{
    ASSERT_TRUE(contains(registerOnce(), "registration flag is OK"));
    const long calls = dmnative::failableCalls();
    ASSERT_GT(calls, 50);
    for (long n = 1; n <= calls; ++n) {
        SCOPED_TRACE("tree library call " + std::to_string(n));
        const std::string text = "injected failure " + std::to_string(n);
        const Lines trace = registerOnce([&] { dmnative::failCall(n, text.c_str()); });
        EXPECT_TRUE(contains(trace, text) || contains(trace, "Dmt tree initialize failed!!")) << "no line tells of it";
    }
    RecordProperty("tree_calls_failed", static_cast<int>(calls));
}

TEST_F(Torture, EveryTelephonyCallFailedOnce)
{
    registerOnce();
    const std::vector<Call> log = zavtapi::callLog();
    ASSERT_GE(log.size(), 6u);
    for (int result : {12, 5}) {
        for (size_t n = 1; n <= log.size(); ++n) {
            SCOPED_TRACE("telephony call " + std::to_string(n) + " answering " + std::to_string(result));
            const Lines trace = registerOnce([&] { zavtapi::failCall(static_cast<int>(n), result); });
            const std::string code = std::to_string(result);
            const std::string tells[] = {
                result == 12 ? "TAPI has not been initiated yet!" : "",  // another failure passes silently
                result == 12 ? "TAPI has not been initiated yet!" : "TAPI_SECURITY_GetPin1Status failed,result " + code,
                "Get Imsi result code:" + code, "Need to query the tapi for imei",
                "Cannot connect to TAPI successfully, result is " + code + " .", "Failed in sending port numbered SMS!"};
            EXPECT_TRUE(contains(trace, tells[static_cast<int>(log[n - 1])])) << tells[static_cast<int>(log[n - 1])];
        }
    }
}

TEST_F(Torture, EveryPosixCallFailedOnceAndInterrupted)
{
    registerOnce([] { seam::failPosix(); });
    int counts[static_cast<int>(Posix::Count)];
    for (int f = 0; f < static_cast<int>(Posix::Count); ++f) {
        // whether the listener waits for a client's bytes depends on when they come: poll's
        // failures are the listener test's
        counts[f] = static_cast<Posix>(f) == Posix::Poll ? 0 : seam::calls(static_cast<Posix>(f));
        EXPECT_TRUE(counts[f] > 0 || static_cast<Posix>(f) == Posix::Poll) << seam::name(static_cast<Posix>(f)) << " is never called";
    }
    const std::string socket = DMREG_SOCKET_PATH;
    // The line that tells of each failure; a lost answer to GetPort is not noticed. The status
    // file's open and fsync calls: read, new file, its folder.
    const std::string unsynced = "but its folder could not be synced";
    const std::string opens[] = {"Read file error", "to record the IMSI", unsynced};
    const std::string fsyncs[] = {"Cannot record the IMSI", unsynced};
    const std::string tells[] = {"", "Read file error", "Cannot record the IMSI", "",
                                 "sock_fd < 0 !", "Can't bind to file: " + socket,
                                 "No permission to set file: " + socket + " to 0777", "Can't listen on this sock:",
                                 "Can't accept the client!", "Can't read from the client:", "", ""};
    for (int f = 0; f < static_cast<int>(Posix::Count); ++f) {
        const Posix function = static_cast<Posix>(f);
        for (int n = 1; n <= counts[f]; ++n) {
            for (int error : {EIO, EINTR}) {
                SCOPED_TRACE(std::string(seam::name(function)) + " call " + std::to_string(n) + " failing with " +
                             strerror(error));
                const Lines trace = registerOnce([&] { seam::failPosix(function, n, error); });
                const bool retried = error == EINTR && function != Posix::Fsync && function != Posix::Socket &&
                                     function != Posix::Bind && function != Posix::Chmod && function != Posix::Listen &&
                                     function != Posix::Fdopen;
                if (retried) {
                    EXPECT_EQ(handset::readFile(handset::kStatusFile), zavtapi::kDefaultImsi) << "made again";
                } else {
                    const std::string line = function == Posix::Open    ? opens[std::min(n, 3) - 1]
                                             : function == Posix::Fsync ? fsyncs[std::min(n, 2) - 1]
                                                                        : tells[f];
                    EXPECT_TRUE(contains(trace, line)) << line;
                }
            }
        }
    }
}

}  // namespace
