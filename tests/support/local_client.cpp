#include "local_client.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "posix_seam.h"

namespace testsupport {

int connectTo(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string request(const std::string& path, const std::string& text, bool closeAfterSending)
{
    const int fd = connectTo(path);
    if (fd < 0) {
        return "<no connection: " + std::string(strerror(errno)) + ">";
    }
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    if (closeAfterSending) {
        shutdown(fd, SHUT_WR);
    }
    std::string answer;
    char buffer[256];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
        answer.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return answer;
}

ListenerThread::ListenerThread(std::function<void()> body)
{
    forgetListeningSocket();
    failAccept(0);
    m_thread = std::thread([this, body] {
        body();
        m_ended = true;
    });
}

ListenerThread::~ListenerThread()
{
    stop();
}

bool ListenerThread::waitUntilListening()
{
    while (listeningSocket() < 0) {
        if (m_ended) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

void ListenerThread::stop()
{
    if (m_stopped) {
        return;
    }
    m_stopped = true;
    if (!m_ended && waitUntilListening()) {
        shutdown(listeningSocket(), SHUT_RDWR);
    }
    m_thread.join();
}

}  // namespace testsupport
