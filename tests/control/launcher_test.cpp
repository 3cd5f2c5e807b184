// The registration flow from the host's call: each branch with its trace, the delays it asks
// for, and what it leaves untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <malloc.h>

#include "DM_RegLaunch.h"
#include "dmnative_control.h"
#include "flow_lines.h"
#include "posix_seam.h"
#include "zavtapi_control.h"

using namespace flow;
using testsupport::StderrCapture;
using zavtapi::Call;

namespace {

const std::string kImsi = zavtapi::kDefaultImsi;

class Launcher : public testsupport::Handset {
protected:
    // Runs the host's call and answers the trace, the constructor's lines included.
    Lines run()
    {
        StderrCapture capture;
        DM_RegLaunch launcher;
        launcher.activateDmRegister();
        return capture.finish();
    }

    static Lines started() { return {launch("DM_RegLaunch", "ENTER\t"), launch("DM_RegLaunch", "LEAVE\t")}; }

    static Lines launcherLines(const Lines& lines)
    {
        Lines own;
        for (const std::string& line : lines) {
            if (line.find(" DM_RegLaunch.cpp:") != std::string::npos) {
                own.push_back(line);
            }
        }
        return own;
    }

    // The status file as a successful registration of imsi leaves it.
    static void recordImsi(const std::string& imsi)
    {
        FILE* f = fopen(testsupport::statusFilePath().c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(imsi.c_str(), f);
        fclose(f);
    }
};

TEST_F(Launcher, TelephonyNotInitiatedEndsTheFlowAfterTheDelay)
{
    zavtapi::setResults(Call::SimCardStatus, {12});
    Lines expected = started();
    expected += {launch("activateDmRegister", "ENTER\t"),
                 testsupport::platformLine(2, "DM_RegLaunch.cpp", "TAPI has not been initiated yet!")};
    EXPECT_EQ(run(), expected);
    EXPECT_EQ(testsupport::sleeps(), (std::vector<unsigned>{120}));
    EXPECT_EQ(dmnative::initializeCalls(), 0) << "the tree is not touched";
    EXPECT_EQ(testsupport::listeningSocket(), -1) << "nor the socket";
}

class NoUsableCard : public Launcher, public ::testing::WithParamInterface<int> {};

TEST_P(NoUsableCard, EndsTheFlow)
{
    zavtapi::setSimStatus({GetParam()});
    Lines expected = started();
    expected += {launch("activateDmRegister", "ENTER\t"),
                 launch("activateDmRegister", "------------No SIM card ----------------")};
    EXPECT_EQ(run(), expected);
    EXPECT_EQ(dmnative::initializeCalls(), 0);
}

INSTANTIATE_TEST_SUITE_P(Statuses, NoUsableCard, ::testing::Values(1, 2, 5, -1));

TEST_F(Launcher, PinEnteredAtTheThirdCheck)
{
    zavtapi::setSimStatus({0, 0, 4, 3});
    zavtapi::setPin1Active({1});
    recordImsi(kImsi);
    Lines expected{launch("activateDmRegister", "ENTER\t"), launch("activateDmRegister", "The SIM card is valid."),
                   launch("activateDmRegister", "DM feature available"), launch("launchDmListener", "ENTER\t")};
    expected += pinNotEntered();
    expected += {launch("launchDmListener", "ENTER\t")};
    expected += pinNotEntered();
    expected += {launch("launchDmListener", "ENTER\t"), launch("simPINisOpen", "TAPI_SECURITY_GetPin1Status result 0,active 1"),
                 launch("simPINisOpen", "------------PIN is input correctly----------------"),
                 launch("launchDmListener", "need not register"), launch("launchDmListener", "LEAVE\t"),
                 launch("launchDmListener", "LEAVE\t"), launch("launchDmListener", "LEAVE\t"),
                 launch("activateDmRegister", "LEAVE\t")};
    const Lines lines = launcherLines(run());
    EXPECT_EQ(Lines(lines.begin() + 2, lines.end()), expected);
    EXPECT_EQ(testsupport::sleeps(), (std::vector<unsigned>{120, 10, 10}));
}

TEST_F(Launcher, FailedCardQueryPassesSilentlyAndKeepsThePinWaitGoing)
{
    zavtapi::setResults(Call::SimCardStatus, {1, 7, 0});
    recordImsi(kImsi);
    const Lines lines = launcherLines(run());
    const Lines expected{launch("activateDmRegister", "ENTER\t"), launch("activateDmRegister", "DM feature available"),
                         launch("launchDmListener", "ENTER\t"),
                         launch("simPINisOpen", "TAPI_SECURITY_GetPin1Status result 0,active 0"),
                         launch("launchDmListener", "PIN is ON, check after 10 second"),
                         launch("launchDmListener", "ENTER\t"),
                         launch("simPINisOpen", "TAPI_SECURITY_GetPin1Status result 0,active 0"),
                         launch("simPINisOpen", "------------PIN is input correctly----------------"),
                         launch("launchDmListener", "need not register"), launch("launchDmListener", "LEAVE\t"),
                         launch("launchDmListener", "LEAVE\t"), launch("activateDmRegister", "LEAVE\t")};
    EXPECT_EQ(Lines(lines.begin() + 2, lines.end()), expected);
}

TEST_F(Launcher, TelephonyNotInitiatedOrFailingDuringThePinWaitCountsAsEntered)
{
    recordImsi(kImsi);
    zavtapi::setResults(Call::Pin1Status, {12});
    Lines lines = launcherLines(run());
    EXPECT_EQ(Lines(lines.begin() + 6, lines.begin() + 8),
              (Lines{testsupport::platformLine(2, "DM_RegLaunch.cpp", "TAPI has not been initiated yet!"),
                     launch("launchDmListener", "need not register")}));

    zavtapi::reset();
    zavtapi::setResults(Call::Pin1Status, {3});
    zavtapi::setPin1Active({1});
    lines = launcherLines(run());
    EXPECT_EQ(Lines(lines.begin() + 6, lines.begin() + 9),
              (Lines{launch("simPINisOpen", "TAPI_SECURITY_GetPin1Status result 3,active 1"),
                     launch("simPINisOpen", "TAPI_SECURITY_GetPin1Status failed,result 3,active 1"),
                     launch("launchDmListener", "need not register")}));

    zavtapi::reset();
    zavtapi::setResults(Call::SimCardStatus, {0, 12});
    lines = launcherLines(run());
    EXPECT_EQ(Lines(lines.begin() + 7, lines.begin() + 9),
              (Lines{testsupport::platformLine(2, "DM_RegLaunch.cpp", "TAPI has not been initiated yet!"),
                     launch("launchDmListener", "need not register")}));
}

TEST_F(Launcher, ForeignOperatorEndsTheFlowBeforeTheEnableFlag)
{
    zavtapi::setImsi({"262011234567890"});
    const Lines lines = run();
    EXPECT_EQ(testsupport::linesOf(lines, "imsiMatchMNCList").back(),
              util("imsiMatchMNCList", "IMSI do not match MNC table imsi: 262011234567890 "));
    EXPECT_EQ(lines.back(), launch("activateDmRegister", "No match between MNC and card IMSI"));
    EXPECT_TRUE(testsupport::linesOf(lines, "IsFeatureEnable").empty());
    expectTreeReleased();
}

TEST_F(Launcher, DisabledRegistrationAsksNoPin)
{
    std::string tree = testsupport::kHandsetTree;
    tree.replace(tree.find("Enable bool true"), 16, "Enable bool false");
    useTree(tree);
    const Lines lines = run();
    EXPECT_EQ(testsupport::linesOf(lines, "IsFeatureEnable"), (Lines{util("IsFeatureEnable", "Enable : value-->0")}));
    EXPECT_EQ(lines.back(), launch("activateDmRegister", "LEAVE\t"));
    EXPECT_EQ(zavtapi::calls(Call::Pin1Status), 0);
    EXPECT_TRUE(testsupport::linesOf(lines, "launchDmListener").empty());
}

TEST_F(Launcher, SameSimAsLastRegisteredSendsNothing)
{
    recordImsi(kImsi);
    const Lines lines = run();
    EXPECT_EQ(testsupport::linesOf(lines, "dmNeedRegister"),
              (Lines{util("dmNeedRegister", "SIM card IMSI is same as the file, need not register")}));
    EXPECT_EQ(Lines(lines.end() - 5, lines.end()),
              (Lines{util("dmNeedRegister", "SIM card IMSI is same as the file, need not register"), "",
                     launch("launchDmListener", "need not register"), launch("launchDmListener", "LEAVE\t"),
                     launch("activateDmRegister", "LEAVE\t")}));
    EXPECT_TRUE(zavtapi::sent().empty());
    EXPECT_EQ(testsupport::listeningSocket(), -1);
}

TEST_F(Launcher, NewSimRunsEveryCheckThenBuildsTheMessage)
{
    Lines expected = started();
    expected += {launch("activateDmRegister", "ENTER\t"), launch("activateDmRegister", "The SIM card is valid.")};
    expected += operatorMatch(kImsi);
    expected += featureEnabled();
    expected += {launch("launchDmListener", "ENTER\t")};
    expected += pinEntered();
    expected += {util("readImsiFromFile", "File not exist"), util("GetSimIMSI", "the sim IMSI is :" + kImsi),
                 util("dmNeedRegister", "SIM card IMSI is not same as the file, need register"), "",
                 launch("launchDmListener", "need to register DM, Send DM registration SM"),
                 launch("launchDmRegister", "ENTER\tLaunch and send sms...")};
    expected += registrationText(zavtapi::kDefaultImei);
    const Lines lines = run();
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + static_cast<long>(expected.size())), expected);
    EXPECT_EQ(testsupport::sleeps(), (std::vector<unsigned>{120}));
    EXPECT_EQ(zavtapi::sent().size(), 1u);
    EXPECT_EQ(lines.back(), launch("activateDmRegister", "LEAVE\t"));
    expectTreeReleased();
}

TEST_F(Launcher, ListenerThatCannotBeCreatedEndsTheFlowNormally)
{
    testsupport::failNothrowNew(1);
    const Lines lines = launcherLines(run());
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{launch("launchDmListener", "launch the server"), launch("launchDmListener", "construct server failed"),
                     launch("launchDmListener", "LEAVE\t"), launch("activateDmRegister", "LEAVE\t")}));
    EXPECT_EQ(testsupport::listeningSocket(), -1);
}

TEST_F(Launcher, PinWaitOfAMillionPassesHoldsNoMemoryPerPass)
{
    const unsigned long long passes = 1000000;
    zavtapi::setSimStatus({0});
    recordImsi(kImsi);
    size_t heapAtStart = 0;
    size_t heapAtEnd = 0;
    long lowestFrame = LONG_MAX;
    long highestFrame = 0;
    testsupport::onSleep([&](unsigned long long number, unsigned) {
        if (number > 1) {  // the PIN waits, after the start-up delay
            const long frame = reinterpret_cast<long>(__builtin_frame_address(0));
            lowestFrame = std::min(lowestFrame, frame);
            highestFrame = std::max(highestFrame, frame);
        }
        if (number == 1001) {
            heapAtStart = mallinfo2().uordblks;
        }
        if (number == passes) {  // the start-up delay and passes - 1 waits: the PIN comes now
            heapAtEnd = mallinfo2().uordblks;
            zavtapi::setSimStatus({3});
        }
    });
    unsigned long long enters = 0;
    unsigned long long leaves = 0;
    std::string last;
    const std::string enter = launch("launchDmListener", "ENTER\t");
    const std::string leave = launch("launchDmListener", "LEAVE\t");
    {
        StderrCapture capture([&](const std::string& raw) {
            const std::string line = testsupport::normaliseTraceLine(raw);
            if (line == enter) {
                ++enters;
                EXPECT_EQ(leaves, 0u) << "a LEAVE line among the passes";
            } else if (line == leave) {
                ++leaves;
            }
            last = line;
        });
        DM_RegLaunch launcher;
        launcher.activateDmRegister();
    }
    EXPECT_EQ(enters, passes);
    EXPECT_EQ(leaves, passes) << "one LEAVE line for every pass begun";
    EXPECT_EQ(last, launch("activateDmRegister", "LEAVE\t"));
    EXPECT_EQ(testsupport::sleepCount(), passes);
    EXPECT_EQ(highestFrame - lowestFrame, 0) << "every pass waits at the same stack depth";
    // A byte kept per pass would be a megabyte here; the slack is for the trace reader's buffers.
    EXPECT_LT(heapAtEnd, heapAtStart + 65536) << "the heap grew during the wait";
}

}  // namespace
