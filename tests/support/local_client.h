// A local client of the acknowledgement socket, and a listener run in a thread of its own.
#ifndef TESTS_LOCAL_CLIENT_H
#define TESTS_LOCAL_CLIENT_H

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

// A connected stream socket, or -1 (errno tells why).
int connectTo(const std::string& path);
// Sends text on a new connection, ends the stream when closeAfterSending, and answers what the
// listener sent back until it closed the connection.
std::string request(const std::string& path, const std::string& text, bool closeAfterSending = true);

// Runs body (which ends in the library's accept loop) in a thread; stop() ends the listening
// the way a failing socket would, by shutting the socket down under the blocked accept.
class ListenerThread {
public:
    explicit ListenerThread(std::function<void()> body);
    ~ListenerThread();
    // Waits until the library waits for a client; false when the body ended without.
    bool waitUntilListening();
    void stop();

private:
    std::atomic<bool> m_ended{false};
    std::thread m_thread;
    bool m_stopped = false;
};

}  // namespace testsupport

#endif
