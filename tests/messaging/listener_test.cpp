// The acknowledgement listener against real clients on the real socket, in threads of their own.
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DM_RegServer.h"
#include "dmreg_config.h"
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
const std::string kGetPort = "\n\n<GetPort>";
const std::string kEnd = "\nN\n";
const std::string kAck = "IMEI:490154203237518/1";

std::string L5(const std::string& func, const std::string& message)
{
    return testsupport::traceLine(5, "DM_RegServer.cpp", func, message);
}

class Listener : public testsupport::Handset {
protected:
    void SetUp() override
    {
        Handset::SetUp();
        std::string tree = testsupport::kHandsetTree;
        tree.replace(tree.find("RegStatus int 0"), 15, "RegStatus int 7");  // to see every change
        useTree(tree);
    }

    void TearDown() override
    {
        m_listener.reset();
        Handset::TearDown();
    }

    void start(const std::string& path = kSocket)
    {
        unlink(path.c_str());  // what an earlier listener left
        m_listener.reset(new testsupport::ListenerThread([path] {
            DM_RegServer server(path.c_str());
            server.listenAndProcess();
        }));
        m_listener->waitUntilListening();
    }

    void stop() { m_listener->stop(); }

    std::string regStatus() const { return treeLine(std::string(kRegRoot) + "/RegStatus"); }
    static std::string status(int code) { return std::string(kRegRoot) + "/RegStatus int " + std::to_string(code); }
    // The text the listener handed to the acknowledgement check, from its trace.
    static std::string processed(const Lines& lines)
    {
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string mark = "processDMMsg()\tProcess received msg :";
            const size_t at = lines[i].find(mark);
            if (at != std::string::npos) {
                std::string text = lines[i].substr(at + mark.size());
                for (size_t j = i + 1; j < lines.size() && lines[j].find("DM_RegUtility.cpp") == std::string::npos; ++j) {
                    text += "\n" + lines[j];
                }
                return text;
            }
        }
        return "<not processed>";
    }

    std::unique_ptr<testsupport::ListenerThread> m_listener;
};

TEST_F(Listener, AnswersGetPortWithAndWithoutEndMarker)
{
    StderrCapture capture;
    start();
    EXPECT_EQ(request(kSocket, kGetPort + kEnd, false), "\nN\n16999");
    EXPECT_EQ(request(kSocket, kGetPort), "\nN\n16999");
    stop();
    const Lines lines = capture.finish();
    const Lines expectedStart{L5("DM_RegServer", "ENTER\t"), L5("DM_RegServer", "create socket succeed"),
                              L5("DM_RegServer", "Remove file:" + kSocket + ",ret=-1"), L5("DM_RegServer", "LEAVE\t"),
                              L5("listenAndProcess", "ENTER\t"), L5("parseString", "Fetched the ipc message:"), "",
                              "<GetPort>"};
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 8), expectedStart);
    const auto answer = std::find(lines.begin(), lines.end(), L5("listenAndProcess", "get the port number:"));
    ASSERT_LT(answer + 2, lines.end());
    EXPECT_EQ(Lines(answer + 1, answer + 3), (Lines{"N", "16999"}));
    EXPECT_EQ(lines.back(), L5("listenAndProcess", "Can't accept the client!"));
    EXPECT_EQ(regStatus(), status(7)) << "a GetPort request changes nothing";
    EXPECT_EQ(testsupport::fileMode(kSocket) & 0777, 0777);
}

TEST_F(Listener, GetPortFollowedByMoreIsAnAcknowledgement)
{
    StderrCapture capture;
    start();
    EXPECT_EQ(request(kSocket, kGetPort + "x" + kEnd), "");
    stop();
    EXPECT_EQ(processed(capture.finish()), kGetPort + "x");
    EXPECT_EQ(regStatus(), status(0));
}

TEST_F(Listener, PortAnswerKeepsSixteenBitsAndIsZeroWhenUnreadable)
{
    std::string tree = testsupport::kHandsetTree;
    tree.replace(tree.find("ClientPort int 16999"), 20, "ClientPort int 70000");
    useTree(tree);
    start();
    EXPECT_EQ(request(kSocket, kGetPort), "\nN\n4464");
    useTree(tree.replace(tree.find("ClientPort int 70000"), 20, "ClientPort string x"));
    EXPECT_EQ(request(kSocket, kGetPort), "\nN\n0");
    stop();
}

struct Reading {
    const char* comment;
    std::string sent;
    std::string stored;
    bool fetchedLine;  // whether the end marker ended the text
};

// Test names and failure messages show the case by its comment.
void PrintTo(const Reading& c, std::ostream* out)
{
    *out << c.comment;
}

std::vector<Reading> readings()
{
    return {
        // single line feeds belong to the text
        {"lone line feeds", "IMEI:49\n0154203237518/\n1" + kEnd, "IMEI:49\n0154203237518/\n1", true},
        {"pair of line feeds", "a\n\nb" + kEnd, "a\n\nb", true},
        {"LF N not followed by LF", "a\nNb" + kEnd, "a\nNb", true},
        // the text's LF pairs with the marker's first: the marker's last LF stays pending
        {"text ending in LF", "abc\n" + kEnd, "abc\n\nN", false},
        {"159 characters with marker", std::string(159, 'z') + kEnd, std::string(159, 'z'), true},
        {"200 characters without marker", std::string(200, 'y'), std::string(159, 'y'), false},
        {"nothing at all", "", "", false},
    };
}

class ListenerReading : public Listener, public ::testing::WithParamInterface<Reading> {};

TEST_P(ListenerReading, StoresTheText)
{
    StderrCapture capture;
    start();
    request(kSocket, GetParam().sent);
    stop();
    const Lines lines = capture.finish();
    EXPECT_EQ(processed(lines), GetParam().stored);
    bool fetched = false;
    for (const std::string& line : lines) {
        fetched = fetched || line.find("parseString()\tFetched the ipc message:") != std::string::npos;
    }
    EXPECT_EQ(fetched, GetParam().fetchedLine);
    EXPECT_EQ(regStatus(), status(0)) << "none of these texts is a success";
}

INSTANTIATE_TEST_SUITE_P(Texts, ListenerReading, ::testing::ValuesIn(readings()));

TEST_F(Listener, SuccessIsRecordedAndTheNextClientIsServed)
{
    StderrCapture capture;
    start();
    request(kSocket, kAck + kEnd);
    EXPECT_EQ(request(kSocket, kGetPort), "\nN\n16999") << "the listener goes on after a success";
    stop();
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::readFile(testsupport::statusFilePath()), "001010123456789");
    EXPECT_EQ(regStatus(), status(1));
    EXPECT_EQ(treeLine(std::string(kRegRoot) + "/RegIMSI"), std::string(kRegRoot) + "/RegIMSI string 001010123456789");
    EXPECT_EQ(testsupport::linesOf(lines, "processDMMsg"),
              (Lines{L5("processDMMsg", "ENTER\t"), L5("processDMMsg", "Process received msg :" + kAck),
                     L5("processDMMsg", "msg:" + kAck + " registration flag is OK"), L5("processDMMsg", "LEAVE\t")}));
    EXPECT_EQ(testsupport::linesOf(lines, "changeStatus"), (Lines{L5("changeStatus", "Write imsi to file...")}));
    expectTreeReleased();
}

TEST_F(Listener, SuccessWithoutSimImsiRecordsNothing)
{
    zavtapi::setResults(zavtapi::Call::Imsi, {1});
    StderrCapture capture;
    start();
    request(kSocket, kAck);
    stop();
    EXPECT_EQ(testsupport::linesOf(capture.finish(), "changeStatus"), (Lines{L5("changeStatus", "Error get sim imsi!")}));
    EXPECT_EQ(regStatus(), status(7));
    EXPECT_EQ(testsupport::readFile(testsupport::statusFilePath()), "<absent>");
}

TEST_F(Listener, StaleSocketFileIsRemovedFirst)
{
    StderrCapture capture;
    m_listener.reset(new testsupport::ListenerThread([] {
        close(open(kSocket.c_str(), O_WRONLY | O_CREAT, 0600));
        DM_RegServer server(kSocket.c_str());
        server.listenAndProcess();
    }));
    m_listener->waitUntilListening();
    EXPECT_EQ(request(kSocket, kGetPort), "\nN\n16999");
    stop();
    EXPECT_EQ(capture.finish()[2], L5("DM_RegServer", "Remove file:" + kSocket + ",ret=0"));
}

TEST_F(Listener, PathTooLongOrUnbindableEndsListeningAtOnce)
{
    StderrCapture capture;
    {
        DM_RegServer server("/tmp/ipc_dmreg_sock_12345");  // 25 characters
        EXPECT_EQ(server.listenAndProcess(), 0);
    }
    const Lines tooLong = capture.finish();
    EXPECT_EQ(tooLong[2], L5("DM_RegServer", "File name too long!"));
    EXPECT_EQ(Lines(tooLong.end() - 2, tooLong.end()),
              (Lines{L5("listenAndProcess", "ENTER\t"), L5("listenAndProcess", "Can't listen on this sock:" +
                                                                                   tooLong.back().substr(tooLong.back().rfind(':') + 1))}));
    StderrCapture unbindable;
    {
        DM_RegServer server("/nonexistent/x.sock");
        EXPECT_EQ(server.listenAndProcess(), 0);
    }
    EXPECT_EQ(unbindable.finish(), (Lines{L5("DM_RegServer", "ENTER\t"), L5("DM_RegServer", "create socket succeed"),
                                          L5("DM_RegServer", "Remove file:/nonexistent/x.sock,ret=-1"),
                                          L5("DM_RegServer", "Can't bind to file: /nonexistent/x.sock"),
                                          L5("listenAndProcess", "ENTER\t"),
                                          L5("listenAndProcess", "Can't listen on this sock:-1")}));
}

TEST_F(Listener, SocketOfAListenerThatNeverListenedIsClosed)
{
    {
        StderrCapture quiet;
        DM_RegServer server(kSocket.c_str());
    }
    EXPECT_EQ(testsupport::connectTo(kSocket), -1);
    EXPECT_EQ(errno, ECONNREFUSED) << "the socket file stays, with nobody behind it";
}

TEST_F(Listener, FailingWaitForTheClientDropsIt)
{
    StderrCapture capture;
    start();
    testsupport::setClientClock(testsupport::ClientClock::WaitsFail);
    EXPECT_EQ(request(kSocket, kAck), "");
    testsupport::setClientClock(testsupport::ClientClock::Real);
    stop();
    EXPECT_EQ(processed(capture.finish()), "");
    EXPECT_EQ(regStatus(), status(0));
}

TEST_F(Listener, SilentClientIsDroppedAndTheNextServed)
{
    StderrCapture capture;
    start();
    testsupport::setClientClock(testsupport::ClientClock::WaitsTimeOut);
    const int silent = testsupport::connectTo(kSocket);
    ASSERT_GE(silent, 0);
    char byte;
    EXPECT_EQ(recv(silent, &byte, 1, 0), 0) << "the listener closes the silent connection";
    close(silent);
    testsupport::setClientClock(testsupport::ClientClock::Real);
    request(kSocket, kAck);
    stop();
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::linesOf(lines, "nextByte"),
              (Lines{L5("nextByte", "Client sent no complete text within 10 seconds, reading stopped")}));
    EXPECT_EQ(regStatus(), status(1));
}

TEST_F(Listener, TricklingClientIsCutAfterTenSeconds)
{
    StderrCapture capture;
    testsupport::setClientClock(testsupport::ClientClock::EachByteTakesASecond);
    start();
    const int trickle = testsupport::connectTo(kSocket);
    ASSERT_GE(trickle, 0);
    const std::string text = "IMEI:490154203237518/1";
    send(trickle, text.data(), text.size(), MSG_NOSIGNAL);  // and never ends its stream
    char byte;
    EXPECT_LE(recv(trickle, &byte, 1, 0), 0) << "closed (reset: the rest was never read)";
    close(trickle);
    testsupport::setClientClock(testsupport::ClientClock::Real);
    request(kSocket, kAck);
    stop();
    const Lines lines = capture.finish();
    EXPECT_EQ(processed(lines), text.substr(0, 10)) << "ten bytes in ten seconds";
    EXPECT_EQ(regStatus(), status(1));
}

TEST_F(Listener, ClientGoneBeforeTheAnswerDoesNotKillTheHost)
{
    start();
    for (int i = 0; i < 3; ++i) {
        const int fd = testsupport::connectTo(kSocket);
        ASSERT_GE(fd, 0);
        send(fd, kGetPort.data(), kGetPort.size(), MSG_NOSIGNAL);
        close(fd);
    }
    EXPECT_EQ(request(kSocket, kGetPort), "\nN\n16999");
    stop();
}

TEST_F(Listener, InterruptedOrAbortedAcceptIsRetried)
{
    testsupport::failAccept(EINTR, 2);
    start();
    testsupport::failAccept(ECONNABORTED, 1);
    EXPECT_EQ(request(kSocket, kGetPort), "\nN\n16999");
    stop();
}

TEST_F(Listener, ConnectionWithoutReadStreamIsClosedUnprocessed)
{
    StderrCapture capture;
    start();
    testsupport::failFdopen(1);
    EXPECT_EQ(request(kSocket, kAck), "");
    request(kSocket, kGetPort);
    stop();
    const Lines lines = capture.finish();
    EXPECT_EQ(testsupport::linesOf(lines, "processDMMsg").size(), 0u);
    EXPECT_EQ(regStatus(), status(7));
    EXPECT_EQ(testsupport::linesOf(lines, "listenAndProcess")[1],
              L5("listenAndProcess", "Can't read from the client: Too many open files"));
}

}  // namespace
