// Every call that a complete registration makes into the tree library, the telephony service
// and POSIX, failed one at a time: the host survives, every handle and block is given back,
// every opening of the tree is closed once, and the status file holds a new IMSI only after an
// accepted acknowledgement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "DM_RegLaunch.h"
#include "dmnative_control.h"
#include "dmreg_config.h"
#include "handset.h"
#include "local_client.h"
#include "posix_seam.h"
#include "stderr_capture.h"
#include "zavtapi_control.h"

using testsupport::Posix;
using testsupport::StderrCapture;
using Lines = std::vector<std::string>;
using zavtapi::Call;

namespace {

const std::string kSocket = DMREG_SOCKET_PATH;
const std::string kOldImsi = "001019999999999";  // the SIM registered before this one

bool contains(const Lines& lines, const std::string& part)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

class Torture : public testsupport::Handset {
protected:
    // One registration as a handset would see it: the host's call, a local client that asks
    // for the port and acknowledges, and the listener ended the way a failing socket ends it.
    Lines registerOnce()
    {
        StderrCapture capture;
        {
            testsupport::ListenerThread host([] {
                DM_RegLaunch launcher;
                launcher.activateDmRegister();
            });
            if (host.waitUntilListening()) {
                testsupport::request(kSocket, "\n\n<GetPort>");
                testsupport::request(kSocket, "IMEI:" + std::string(zavtapi::kDefaultImei) + "/1");
            }
            host.stop();
        }
        return capture.finish();
    }

    void SetUp() override
    {
        Handset::SetUp();
        FILE* f = fopen(testsupport::statusFilePath().c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(kOldImsi.c_str(), f);
        fclose(f);
    }

    // What must hold after every run, failure or not: the old record stays until a new
    // registration is accepted and recorded.
    void expectSound(const Lines& trace)
    {
        expectTreeReleased();
        const std::string status = testsupport::readFile(testsupport::statusFilePath());
        if (contains(trace, "registration flag is OK") && !contains(trace, "record the IMSI")) {
            EXPECT_EQ(status, zavtapi::kDefaultImsi);
        } else {
            EXPECT_EQ(status, kOldImsi) << "the old record was lost without a new one";
        }
        EXPECT_EQ(testsupport::fileMode(testsupport::statusFilePath() + ".new"), -1);
    }

    void fresh()
    {
        TearDown();
        SetUp();
    }
};

TEST_F(Torture, EveryTreeLibraryCallFailedOnce)
{
    const Lines clean = registerOnce();
    ASSERT_TRUE(contains(clean, "registration flag is OK"));
    const long calls = dmnative::failableCalls();
    ASSERT_GT(calls, 50);
    for (long n = 1; n <= calls; ++n) {
        SCOPED_TRACE("tree library call " + std::to_string(n));
        fresh();
        const std::string text = "injected failure " + std::to_string(n);
        dmnative::failCall(n, text.c_str());
        const Lines trace = registerOnce();
        expectSound(trace);
        EXPECT_TRUE(contains(trace, "\t" + text) || contains(trace, "=" + text) || contains(trace, ": " + text) ||
                    contains(trace, "Dmt tree initialize failed!!"))
            << "no line tells of the failure";
    }
    RecordProperty("tree_calls_failed", static_cast<int>(calls));
}

// The line that tells of a failed telephony call, by function and result.
std::string telephonyFailureLine(Call call, int result)
{
    const std::string code = std::to_string(result);
    switch (call) {
    case Call::SimCardStatus:
        return result == 12 ? "TAPI has not been initiated yet!" : "";  // another failure passes silently
    case Call::Pin1Status:
        return result == 12 ? "TAPI has not been initiated yet!" : "TAPI_SECURITY_GetPin1Status failed,result " + code;
    case Call::Imsi:
        return "Get Imsi result code:" + code;
    case Call::Imei:
        return "Need to query the tapi for imei";
    case Call::ServiceCenter:
        return "Cannot connect to TAPI successfully, result is " + code + " .";
    case Call::SendPortSm:
        return "Failed in sending port numbered SMS!";
    }
    return "";
}

TEST_F(Torture, EveryTelephonyCallFailedOnce)
{
    registerOnce();
    const std::vector<Call> log = zavtapi::callLog();
    ASSERT_GE(log.size(), 6u);
    for (int result : {12, 5}) {
        for (size_t n = 1; n <= log.size(); ++n) {
            SCOPED_TRACE("telephony call " + std::to_string(n) + " answering " + std::to_string(result));
            fresh();
            zavtapi::failCall(static_cast<int>(n), result);
            const Lines trace = registerOnce();
            expectSound(trace);
            const std::string line = telephonyFailureLine(log[n - 1], result);
            EXPECT_TRUE(line.empty() || contains(trace, line)) << "no line \"" << line << "\"";
        }
    }
    RecordProperty("telephony_calls_failed", static_cast<int>(2 * log.size()));
}

// The line that tells of a failed POSIX call of the library.
std::string posixFailureLine(Posix function)
{
    switch (function) {
    case Posix::Open:
        return "IMSI";  // "Read file error" or "Cannot open ... to record the IMSI"
    case Posix::Write:
    case Posix::Fsync:
        return "Cannot record the IMSI in " + std::string(DMREG_STATUS_FILE);
    case Posix::Read:
        return "Read file error";
    case Posix::Socket:
        return "sock_fd < 0 !";
    case Posix::Bind:
        return "Can't bind to file: " + kSocket;
    case Posix::Chmod:
        return "No permission to set file: " + kSocket + " to 0777";
    case Posix::Listen:
        return "Can't listen on this sock:";
    case Posix::Accept:
        return "Can't accept the client!";
    case Posix::Fdopen:
        return "Can't read from the client:";
    case Posix::Send:
        return "";  // a lost answer is not noticed
    }
    return "";
}

TEST_F(Torture, EveryPosixCallFailedOnceAndInterrupted)
{
    testsupport::trackPosix();
    registerOnce();
    testsupport::stopTrackingPosix();
    int counts[testsupport::kPosixFunctions];
    for (int f = 0; f < testsupport::kPosixFunctions; ++f) {
        counts[f] = testsupport::posixCalls(static_cast<Posix>(f));
        EXPECT_GT(counts[f], 0) << testsupport::posixName(static_cast<Posix>(f)) << " is never called";
    }
    int runs = 0;
    for (int f = 0; f < testsupport::kPosixFunctions; ++f) {
        const Posix function = static_cast<Posix>(f);
        for (int n = 1; n <= counts[f]; ++n) {
            for (int error : {EIO, EINTR}) {
                SCOPED_TRACE(std::string(testsupport::posixName(function)) + " call " + std::to_string(n) +
                             (error == EINTR ? " interrupted" : " failing"));
                fresh();
                testsupport::trackPosix(function, n, error);
                const Lines trace = registerOnce();
                testsupport::stopTrackingPosix();
                ++runs;
                expectSound(trace);
                const bool retried = error == EINTR && (function == Posix::Open || function == Posix::Read ||
                                                        function == Posix::Write || function == Posix::Accept ||
                                                        function == Posix::Send);
                if (retried) {
                    EXPECT_EQ(testsupport::readFile(testsupport::statusFilePath()), zavtapi::kDefaultImsi)
                        << "an interrupted call is made again";
                } else {
                    const std::string line = posixFailureLine(function);
                    EXPECT_TRUE(line.empty() || contains(trace, line)) << "no line \"" << line << "\"";
                }
            }
        }
    }
    RecordProperty("posix_calls_failed", runs);
}

}  // namespace
