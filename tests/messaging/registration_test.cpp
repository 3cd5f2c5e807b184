// The whole registration: the host's call in one thread, the local client in another, and the
// same SIM seen again at the next start.
#include <gtest/gtest.h>

#include <algorithm>

#include "DM_RegLaunch.h"
#include "dmreg_config.h"
#include "flow_lines.h"
#include "handset.h"
#include "local_client.h"
#include "posix_seam.h"
#include "stderr_capture.h"
#include "zavtapi_control.h"

using testsupport::request;
using testsupport::kRegRoot;
using testsupport::StderrCapture;
using Lines = std::vector<std::string>;

namespace {

const std::string kSocket = DMREG_SOCKET_PATH;

using flow::launch;

using Registration = testsupport::Handset;

TEST_F(Registration, NewSimIsRegisteredOnceAndNotAgain)
{
    StderrCapture capture;
    {
        testsupport::ListenerThread host([] {
            DM_RegLaunch launcher;
            launcher.activateDmRegister();
        });
        ASSERT_TRUE(host.waitUntilListening());
        EXPECT_EQ(request(kSocket, "\n\n<GetPort>\nN\n", false), "\nN\n16999");
        request(kSocket, "IMEI:" + std::string(zavtapi::kDefaultImei) + "/1\nN\n");
        host.stop();
    }
    const Lines first = capture.finish();
    EXPECT_EQ(testsupport::readFile(testsupport::statusFilePath()), zavtapi::kDefaultImsi);
    EXPECT_EQ(treeLine(std::string(kRegRoot) + "/RegStatus"), std::string(kRegRoot) + "/RegStatus int 1");
    EXPECT_EQ(treeLine(std::string(kRegRoot) + "/RegIMSI"),
              std::string(kRegRoot) + "/RegIMSI string " + zavtapi::kDefaultImsi);
    const std::vector<zavtapi::SentSms> sent = zavtapi::sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, "IMEI:490154203237518/Zav/ZV-100/1.0.3");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&sent[0].record[52])), "+15550100200");
    EXPECT_EQ(testsupport::linesOf(first, "launchDmRegister"),
              (Lines{launch("launchDmRegister", "ENTER\tLaunch and send sms..."),
                     launch("launchDmRegister", "msg: IMEI:490154203237518/Zav/ZV-100/1.0.3 has been sent.."),
                     launch("launchDmRegister", "LEAVE\t")}));
    EXPECT_EQ(Lines(first.end() - 3, first.end()),
              (Lines{testsupport::traceLine(5, "DM_RegServer.cpp", "listenAndProcess", "Can't accept the client!"),
                     launch("launchDmListener", "LEAVE\t"), launch("activateDmRegister", "LEAVE\t")}));
    expectTreeReleased();

    // The next start of the handset, with the same SIM.
    zavtapi::reset();
    DM_SimUtility::fetchSimImsiflag = false;
    DM_SimUtility::fetchPhoneImeiflag = false;
    StderrCapture again;
    DM_RegLaunch launcher;
    launcher.activateDmRegister();
    const Lines second = again.finish();
    EXPECT_EQ(Lines(second.end() - 3, second.end()),
              (Lines{launch("launchDmListener", "need not register"), launch("launchDmListener", "LEAVE\t"),
                     launch("activateDmRegister", "LEAVE\t")}));
    EXPECT_TRUE(zavtapi::sent().empty());
}

TEST_F(Registration, FailedSendingStillStartsTheListener)
{
    zavtapi::setResults(zavtapi::Call::SendPortSm, {4});
    StderrCapture capture;
    DM_RegLaunch launcher;
    launcher.activateDmRegister();
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::linesOf(lines, "launchDmRegister")[1],
              launch("launchDmRegister", "msg: IMEI:490154203237518/Zav/ZV-100/1.0.3 has been sent.."));
    const Lines listener = testsupport::linesOf(lines, "launchDmListener");
    EXPECT_NE(std::find(listener.begin(), listener.end(), launch("launchDmListener", "launch the server")), listener.end());
    EXPECT_NE(testsupport::listeningSocket(), -1) << "the listener waited for clients";
}

}  // namespace
