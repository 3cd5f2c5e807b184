// The acknowledgement listener against real clients on this run's socket, in threads of their
// own: how it reads a text, answers GetPort, survives clients that misbehave, and still records
// the next valid acknowledgement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "DM_RegServer.h"
#include "handset.h"
#include "seam.h"
#include "trace.h"
#include "zavtapi_control.h"

using handset::kSocket;
using handset::request;
using trace::Lines;

namespace {

const std::string kGetPort = "\n\n<GetPort>";
const std::string kEnd = "\nN\n";
const std::string kAck = "IMEI:490154203237518/1";

std::string line(const std::string& func, const std::string& message)
{
    return "{5} DM_RegServer.cpp:#, " + func + "()\t" + message;
}

class Listener : public handset::Handset {
protected:
    void SetUp() override
    {
        Handset::SetUp();
        useTree(tree("RegStatus int 0", "RegStatus int 0"));
    }

    // The handset's tree with one text replaced, and RegStatus 7 to see every change.
    static std::string tree(const std::string& from, const std::string& to)
    {
        std::string text = handset::kTree;
        text.replace(text.find(from), from.size(), to);
        return text.replace(text.find("RegStatus int 0"), 15, "RegStatus int 7");
    }

    void start(bool keepTrace = true, std::function<void()> before = [] {})
    {
        m_capture.reset(keepTrace ? new trace::Capture : new trace::Capture([](const std::string&) {}));
        m_listener.reset(new handset::ListenerThread([before] {
            before();
            DM_RegServer(kSocket.c_str()).listenAndProcess();
        }));
        ASSERT_TRUE(m_listener->waitUntilListening());
    }

    // Ends the listener, and answers its trace and the texts it handed to the acknowledgement check.
    Lines stop(Lines* processed = nullptr)
    {
        m_listener.reset();
        const Lines lines = m_capture->finish();
        const std::string mark = line("processDMMsg", "Process received msg :");
        for (size_t i = 0; processed != nullptr && i < lines.size(); ++i) {
            if (lines[i].compare(0, mark.size(), mark) == 0) {
                processed->push_back(lines[i].substr(mark.size()));
                for (size_t j = i + 1; j < lines.size() && lines[j][0] != '{'; ++j) {
                    processed->back() += "\n" + lines[j];
                }
            }
        }
        return lines;
    }

    std::string status() const { return treeLine(std::string(handset::kRegRoot) + "/RegStatus").substr(strlen(handset::kRegRoot) + 15); }

    // The listener still serves, and records a valid acknowledgement.
    void expectStillServing()
    {
        EXPECT_EQ(request(kGetPort), "\nN\n16999");
        request(kAck);
        EXPECT_EQ(handset::readFile(handset::kStatusFile), zavtapi::kDefaultImsi);
        EXPECT_EQ(status(), "1");
    }

    std::unique_ptr<trace::Capture> m_capture;
    std::unique_ptr<handset::ListenerThread> m_listener;
};

TEST_F(Listener, AnswersGetPortWithSixteenBitsOfTheClientPortAndChangesNothing)
{
    start();
    EXPECT_EQ(request(kGetPort + kEnd, false), "\nN\n16999");
    EXPECT_EQ(request(kGetPort), "\nN\n16999");
    EXPECT_EQ(handset::fileMode(kSocket) & 0777, 0777);
    useTree(tree("ClientPort int 16999", "ClientPort int 70000"));
    EXPECT_EQ(request(kGetPort), "\nN\n4464");
    useTree(tree("ClientPort int 16999", "ClientPort string x"));
    EXPECT_EQ(request(kGetPort), "\nN\n0") << "a port that cannot be read";
    stop();
    EXPECT_EQ(status(), "7");
}

// How a text is read: what reaches the acknowledgement check, and whether the end marker ended it.
struct Reading {
    const char* comment;
    std::string sent, stored;
    bool marked;
};

void PrintTo(const Reading& c, std::ostream* out)
{
    *out << c.comment;
}

const Reading kReadings[] = {
    {"lone line feeds belong to the text", "a\nb\n1" + kEnd, "a\nb\n1", true},
    {"so does a pair of line feeds", "a\n\nb" + kEnd, "a\n\nb", true},
    {"and LF N not followed by LF", "a\nNb" + kEnd, "a\nNb", true},
    // the text's LF pairs with the marker's first; the marker's last LF stays pending
    {"a text ending in LF runs to the end of the stream", "abc\n" + kEnd, "abc\n\nN", false},
    {"159 characters and the marker", std::string(159, 'z') + kEnd, std::string(159, 'z'), true},
    {"200 characters without marker keep 159", std::string(200, 'y'), std::string(159, 'y'), false},
    {"GetPort followed by more is an acknowledgement", kGetPort + "x" + kEnd, kGetPort + "x", true},
    {"nothing at all", "", "", false},
};

class Reads : public Listener, public ::testing::WithParamInterface<Reading> {};

TEST_P(Reads, TheTextUpToTheMarkerOrTheEndOfTheStream)
{
    start();
    EXPECT_EQ(request(GetParam().sent), "");
    Lines processed;
    const Lines lines = stop(&processed);
    EXPECT_EQ(processed, Lines{GetParam().stored});
    const std::string fetched = line("parseString", "Fetched the ipc message:");
    EXPECT_EQ(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(fetched) == 0; }),
              GetParam().marked);
    EXPECT_EQ(status(), "0") << "none of these texts is a success";
}

INSTANTIATE_TEST_SUITE_P(Texts, Reads, ::testing::ValuesIn(kReadings));

TEST_F(Listener, ConstructionThatFailsEndsListeningAtOnce)
{
    trace::Capture capture;
    EXPECT_EQ(DM_RegServer("/tmp/ipc_dmreg_sock_12345").listenAndProcess(), 0);  // 25 characters
    EXPECT_EQ(DM_RegServer("/nonexistent/x.sock").listenAndProcess(), 0);
    {
        DM_RegServer unused(kSocket.c_str());  // its socket is closed, though it never listened
    }
    EXPECT_EQ(handset::connectTo(kSocket), -1);
    EXPECT_EQ(errno, ECONNREFUSED) << "the socket file stays, with nobody behind it";
    const Lines lines = capture.finish();
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[2], line("DM_RegServer", "File name too long!"));
    EXPECT_EQ(lines[4].substr(0, lines[4].rfind(':') + 1), line("listenAndProcess", "Can't listen on this sock:"));
    EXPECT_EQ(Lines(lines.begin() + 7, lines.begin() + 11),
              (Lines{line("DM_RegServer", "Remove file:/nonexistent/x.sock,ret=-1"),
                     line("DM_RegServer", "Can't bind to file: /nonexistent/x.sock"), line("listenAndProcess", "ENTER\t"),
                     line("listenAndProcess", "Can't listen on this sock:-1")}));
}

TEST_F(Listener, StaleSocketFileIsRemovedFirst)
{
    start(true, [] { close(open(kSocket.c_str(), O_WRONLY | O_CREAT, 0600)); });
    EXPECT_EQ(request(kGetPort), "\nN\n16999");
    EXPECT_EQ(stop()[2], line("DM_RegServer", "Remove file:" + kSocket + ",ret=0"));
}

TEST_F(Listener, StepsDrivenOneByOneByTheCaller)
{
    trace::Capture quiet;
    DM_RegServer steps(kSocket.c_str());
    steps.parseString();   // no connection: nothing to read
    steps.processDMMsg();  // an empty text is rejected
    EXPECT_EQ(status(), "0");
    zavtapi::setResults(zavtapi::Call::Imsi, {1, 0});
    steps.changeStatus();  // without the SIM's IMSI nothing is recorded
    EXPECT_EQ(handset::readFile(handset::kStatusFile), "<absent>");
    steps.changeStatus();
    EXPECT_EQ(status(), "1");
}

TEST_F(Listener, SilentTricklingAndFailingClientsAreDroppedAndTheNextServed)
{
    start();
    seam::clock = seam::Clock::WaitsTimeOut;
    const int silent = handset::connectTo(kSocket);
    static char byte;
    EXPECT_EQ(recv(silent, &byte, 1, 0), 0) << "the listener closes the silent connection";
    close(silent);
    seam::clock = seam::Clock::EachReadyTakesASecond;
    size_t waits = static_cast<size_t>(seam::calls(seam::Posix::Poll));
    const int trickle = handset::connectTo(kSocket);
    const auto closed = [](int fd) { return recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0; };
    for (size_t i = 0; i < kAck.size() && !closed(trickle); ++i) {  // a byte each time the listener waits
        while (static_cast<size_t>(seam::calls(seam::Posix::Poll)) == waits && !closed(trickle)) {
            std::this_thread::yield();
        }
        waits = static_cast<size_t>(seam::calls(seam::Posix::Poll));
        send(trickle, &kAck[i], 1, MSG_NOSIGNAL);
    }
    close(trickle);
    seam::clock = seam::Clock::Real;
    seam::failPosix(seam::Posix::Poll, 1, EINTR);
    waits = static_cast<size_t>(seam::calls(seam::Posix::Poll));
    const int interrupted = handset::connectTo(kSocket);
    while (static_cast<size_t>(seam::calls(seam::Posix::Poll)) < waits + 2) {  // interrupted, then waiting again
        std::this_thread::yield();
    }
    send(interrupted, kGetPort.data(), kGetPort.size(), MSG_NOSIGNAL);
    shutdown(interrupted, SHUT_WR);
    char answer[16] = {};
    EXPECT_EQ(std::string(answer, static_cast<size_t>(std::max<ssize_t>(0, recv(interrupted, answer, sizeof(answer), MSG_WAITALL)))),
              "\nN\n16999");
    close(interrupted);
    seam::failPosix(seam::Posix::Poll, 1, EBADF);
    const int waiting = handset::connectTo(kSocket);  // sends nothing: the listener waits, and the wait fails
    EXPECT_EQ(recv(waiting, &byte, 1, 0), 0) << "a wait that fails drops the client";
    close(waiting);
    seam::failPosix(seam::Posix::Fdopen, 1, EMFILE);
    EXPECT_EQ(request(kAck), "") << "a connection without read stream is closed";
    for (int i = 0; i < 3; ++i) {  // clients gone before the answer must not raise SIGPIPE
        const int gone = handset::connectTo(kSocket);
        send(gone, kGetPort.data(), kGetPort.size(), MSG_NOSIGNAL);
        close(gone);
    }
    seam::failPosix(seam::Posix::Accept, 1, ECONNABORTED);
    expectStillServing();
    Lines processed;
    const Lines lines = stop(&processed);
    EXPECT_EQ(processed, (Lines{"", kAck.substr(0, 10), "", kAck})) << "ten bytes in ten seconds";
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         line("nextByte", "Client sent no complete text within 10 seconds, reading stopped")), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line("listenAndProcess", "Can't read from the client: Too many open files")), 1);
}

TEST_F(Listener, TenThousandConnectionsOfRandomBytesOversizeTextsAndAHundredAtOnce)
{
    start(false);
    std::mt19937 random(20261206);
    for (int i = 0; i < 10000; ++i) {
        std::string bytes(std::uniform_int_distribution<size_t>(0, 400)(random), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
        }
        request(bytes);
    }
    request(std::string(1 << 20, 'x'));
    request(kAck + std::string(5000, '1') + kEnd);
    request("IMEI:" + std::string(100000, '4') + "/1");
    std::vector<std::thread> clients;
    std::vector<std::string> answers(100);
    for (size_t i = 0; i < answers.size(); ++i) {
        clients.emplace_back([&answers, i] { answers[i] = request(kGetPort + kEnd, false); });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "\nN\n16999"), 100);
    expectStillServing();
}

}  // namespace
