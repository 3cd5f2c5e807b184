// Local clients that misbehave, against a live listener: it stays alive, and a valid
// acknowledgement sent afterwards is recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "DM_RegServer.h"
#include "dmreg_config.h"
#include "handset.h"
#include "local_client.h"
#include "posix_seam.h"
#include "stderr_capture.h"
#include "zavtapi_control.h"

using testsupport::request;

namespace {

const std::string kSocket = DMREG_SOCKET_PATH;
const std::string kAck = "IMEI:" + std::string(zavtapi::kDefaultImei) + "/1";

class HostileClients : public testsupport::Handset {
protected:
    void SetUp() override
    {
        Handset::SetUp();
        m_quiet.reset(new testsupport::StderrCapture([](const std::string&) {}));  // the trace is not kept
        m_listener.reset(new testsupport::ListenerThread([] {
            DM_RegServer server(kSocket.c_str());
            server.listenAndProcess();
        }));
        ASSERT_TRUE(m_listener->waitUntilListening());
    }

    void TearDown() override
    {
        m_listener.reset();
        m_quiet.reset();
        Handset::TearDown();
    }

    // The listener still serves, and records a valid acknowledgement.
    void expectStillServing()
    {
        EXPECT_EQ(request(kSocket, "\n\n<GetPort>"), "\nN\n16999");
        request(kSocket, kAck);
        EXPECT_EQ(testsupport::readFile(testsupport::statusFilePath()), zavtapi::kDefaultImsi);
        EXPECT_EQ(treeLine(std::string(testsupport::kRegRoot) + "/RegStatus"),
                  std::string(testsupport::kRegRoot) + "/RegStatus int 1");
    }

    std::unique_ptr<testsupport::StderrCapture> m_quiet;
    std::unique_ptr<testsupport::ListenerThread> m_listener;
};

TEST_F(HostileClients, SilentSlowAndVanishingClients)
{
    testsupport::setClientClock(testsupport::ClientClock::WaitsTimeOut);
    const int silent = testsupport::connectTo(kSocket);
    char byte;
    EXPECT_LE(recv(silent, &byte, 1, 0), 0);
    close(silent);
    testsupport::setClientClock(testsupport::ClientClock::EachByteTakesASecond);
    const int slow = testsupport::connectTo(kSocket);
    const std::string text(40, 's');
    send(slow, text.data(), text.size(), MSG_NOSIGNAL);
    EXPECT_LE(recv(slow, &byte, 1, 0), 0);
    close(slow);
    testsupport::setClientClock(testsupport::ClientClock::Real);
    for (int i = 0; i < 20; ++i) {
        close(testsupport::connectTo(kSocket));  // closes at once
        const int asks = testsupport::connectTo(kSocket);
        send(asks, "\n\n<GetPort>", 11, MSG_NOSIGNAL);
        close(asks);  // before the answer
    }
    expectStillServing();
}

TEST_F(HostileClients, TenThousandConnectionsOfRandomBytes)
{
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> length(0, 400);
    std::uniform_int_distribution<int> value(0, 255);
    for (int i = 0; i < 10000; ++i) {
        std::string bytes(static_cast<size_t>(length(random)), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(value(random));
        }
        request(kSocket, bytes);
    }
    expectStillServing();
}

TEST_F(HostileClients, OversizeTexts)
{
    request(kSocket, std::string(1 << 20, 'x'));
    request(kSocket, kAck + std::string(5000, '1') + "\nN\n");
    request(kSocket, "IMEI:" + std::string(100000, '4') + "/1");
    expectStillServing();
}

TEST_F(HostileClients, HundredClientsAtOnce)
{
    std::vector<std::thread> clients;
    std::vector<std::string> answers(100);
    for (size_t i = 0; i < answers.size(); ++i) {
        clients.emplace_back([&answers, i] { answers[i] = request(kSocket, "\n\n<GetPort>\nN\n", false); });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "\nN\n16999"), 100);
    expectStillServing();
}

}  // namespace
