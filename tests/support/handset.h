// A simulated handset for tests: a tree file in this test program's own folder of the build tree,
// the stand-ins reset to a ready SIM, empty identity caches and no status file; and a local client
// of the acknowledgement socket.
#ifndef TESTS_HANDSET_H
#define TESTS_HANDSET_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace handset {

// Registration subtree root, for building node paths in tests.
constexpr const char* kRegRoot = "./DevDetail/Ext/Conf/PMF/Agents/Registration";
// The handset of most tests: its SIM (the stand-in's default IMSI 001010123456789) belongs to
// the second of two operators.
extern const std::string kTree;
// This run's acknowledgement socket and status file.
extern const std::string kSocket;
extern const std::string kStatusFile;

// This test program's folder in the build tree.
std::string workDir();
std::string writeFile(const std::string& name, const std::string& content);
// The whole content, or "<absent>" when the file cannot be read.
std::string readFile(const std::string& path);
// Mode bits of a file, -1 when absent.
int fileMode(const std::string& path);

// A connected stream socket, or -1 (errno tells why).
int connectTo(const std::string& path);
// Sends text on a new connection, ends the stream when closeAfterSending, and answers what the
// listener sent back until it closed the connection.
std::string request(const std::string& text, bool closeAfterSending = true, const std::string& path = kSocket);

// Runs body (which ends in the library's accept loop) in a thread; stop() ends the listening
// the way a failing socket would, by shutting the socket down under the blocked accept.
class ListenerThread {
public:
    explicit ListenerThread(std::function<void()> body);
    ~ListenerThread() { stop(); }
    // Waits until the library waits for a client; false when the body ended without.
    bool waitUntilListening();
    void stop();

private:
    std::atomic<bool> m_ended{false};
    std::thread m_thread;
};

class Handset : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces the tree file (takes effect at the next opening of the tree).
    void useTree(const std::string& text) const;
    // The line of the tree file that names path, or "" when none does.
    std::string treeLine(const std::string& path) const;
    // No handle or block is left, and every opening of the tree was closed.
    static void expectTreeReleased();

    std::string m_treeFile;
};

}  // namespace handset

#endif
