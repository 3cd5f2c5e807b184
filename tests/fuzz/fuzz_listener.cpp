// The listener's reading and handling of one connection: the bytes arrive through a socket
// pair whose end this program hands to the library's accept; the next accept fails and ends
// the listening. The socket calls that would touch the file system are answered here.
#include <cerrno>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

#include "DM_RegServer.h"
#include "fuzz_support.h"

namespace {
int g_connection = -1;
}

extern "C" int bind(int, const struct sockaddr*, socklen_t)
{
    return 0;
}

extern "C" int chmod(const char*, mode_t)
{
    return 0;
}

extern "C" int listen(int, int)
{
    return 0;
}

extern "C" int accept4(int, struct sockaddr*, socklen_t*, int)
{
    const int connection = g_connection;
    g_connection = -1;
    if (connection < 0) {
        errno = EINVAL;
    }
    return connection;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietTrace();
    fuzzsupport::useHandsetTree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        return 0;
    }
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(pair[0], data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) {
            break;  // more than the socket holds: the listener reads 159 characters at most anyway
        }
        sent += static_cast<size_t>(n);
    }
    shutdown(pair[0], SHUT_WR);
    g_connection = pair[1];
    {
        DM_RegServer server("fuzz-listener.sock");  // nothing is created: bind is answered above
        server.listenAndProcess();
    }
    close(pair[0]);
    return 0;
}
