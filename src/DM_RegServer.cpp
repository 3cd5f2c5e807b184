// The acknowledgement listener.
#include "DM_RegServer.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "DM_RegTrace.h"

namespace {

const char kGetPort[] = "\n\n<GetPort>";  // compared with its NUL: nothing may follow

long long monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

DM_RegServer::DM_RegServer(const char* path)
    : m_sockFd(-1), m_clientAddrLen(0), m_connFd(-1), m_readStream(nullptr)
{
    DM_TRACE("ENTER\t\n");
    memset(m_sockPath, 0, sizeof(m_sockPath));
    memset(m_recvText, 0, sizeof(m_recvText));
    memset(&m_serverAddr, 0, sizeof(m_serverAddr));
    memset(&m_clientAddr, 0, sizeof(m_clientAddr));
    // Created after the ENTER line, and not inherited by programs that the host starts.
    // NOLINTNEXTLINE(cppcoreguidelines-prefer-member-initializer)
    m_sockFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_sockFd < 0) {
        DM_TRACE("sock_fd < 0 !\n");
        return;
    }
    DM_TRACE("create socket succeed\n");
    const size_t length = path ? strnlen(path, sizeof(m_sockPath)) : sizeof(m_sockPath);
    if (length >= sizeof(m_sockPath)) {
        DM_TRACE("File name too long!\n");
        return;
    }
    memcpy(m_sockPath, path, length);
    m_serverAddr.sun_family = AF_UNIX;
    memcpy(m_serverAddr.sun_path, m_sockPath, length);
    const int removed = unlink(m_sockPath);
    DM_TRACE("Remove file:%s,ret=%d\n", m_sockPath, removed);
    const socklen_t addressLength = static_cast<socklen_t>(sizeof(m_serverAddr.sun_family) + length);
    if (bind(m_sockFd, reinterpret_cast<const sockaddr*>(&m_serverAddr), addressLength) < 0) {
        DM_TRACE("Can't bind to file: %s\n", m_sockPath);
        closeListeningSocket();
        return;
    }
    if (chmod(m_sockPath, 0777) < 0) {
        DM_TRACE("No permission to set file: %s to 0777\n", m_sockPath);
        closeListeningSocket();
        return;
    }
    DM_TRACE("LEAVE\t\n");
}

DM_RegServer::~DM_RegServer()
{
    closeListeningSocket();
}

void DM_RegServer::closeListeningSocket()
{
    if (m_sockFd >= 0) {
        close(m_sockFd);
    }
    m_sockFd = -1;
}

int DM_RegServer::listenAndProcess()
{
    DM_TRACE("ENTER\t\n");
    if (listen(m_sockFd, LISTEN_BACKLOG) < 0) {
        DM_TRACE("Can't listen on this sock:%d\n", m_sockFd);
        closeListeningSocket();
        return 0;
    }
    for (;;) {
        memset(m_recvText, 0, sizeof(m_recvText));
        if (!acceptClient()) {
            DM_TRACE("Can't accept the client!\n");
            closeListeningSocket();
            return 0;
        }
        m_readStream = fdopen(m_connFd, "r");
        if (m_readStream == nullptr) {
            DM_TRACE("Can't read from the client: %s\n", strerror(errno));
            close(m_connFd);
            m_connFd = -1;
            continue;
        }
        // The stream reads whatever has arrived in one read(2), into a buffer of this loop's own
        // that outlives it (it is closed below).
        char arrived[RECEIVED_TEXT_SIZE];
        setvbuf(m_readStream, arrived, _IOFBF, sizeof(arrived));
        parseString();
        if (memcmp(m_recvText, kGetPort, sizeof(kGetPort)) == 0) {
            char answer[RECEIVED_TEXT_SIZE] = {};
            snprintf(answer, sizeof(answer), "\nN\n%d", static_cast<int>(DM_DmtUtility::GetClientPort()));
            DM_TRACE("get the port number:%s\n", answer);
            // A client that has gone must not take the host process down with SIGPIPE.
            while (send(m_connFd, answer, strlen(answer), MSG_NOSIGNAL) < 0 && errno == EINTR) {
            }
        } else {
            processDMMsg();
        }
        fclose(m_readStream);
        m_readStream = nullptr;
        m_connFd = -1;
    }
}

bool DM_RegServer::acceptClient()
{
    for (;;) {
        m_clientAddrLen = sizeof(m_clientAddr);
        // Not inherited by programs that the host starts, and not blocking: a read finds what has
        // arrived, and waiting is poll's, within the time left.
        m_connFd = accept4(m_sockFd, reinterpret_cast<sockaddr*>(&m_clientAddr), &m_clientAddrLen, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (m_connFd >= 0) {
            return true;
        }
        if (errno != EINTR && errno != ECONNABORTED) {
            return false;
        }
    }
}

// The next byte of the connection, or EOF at its end, on a read error, or once the deadline
// has passed. Only a stream with nothing left to give waits, for the time left.
int DM_RegServer::nextByte(long long deadlineMs)
{
    for (;;) {
        errno = 0;
        const int c = fgetc(m_readStream);
        if (c != EOF || feof(m_readStream) || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return c;
        }
        clearerr(m_readStream);
        const long long remaining = deadlineMs - monotonicMs();
        if (remaining <= 0) {
            DM_TRACE("Client sent no complete text within %d seconds, reading stopped\n", CLIENT_TIME_LIMIT);
            return EOF;
        }
        pollfd waitFor{m_connFd, POLLIN, 0};
        if (poll(&waitFor, 1, static_cast<int>(remaining)) < 0 && errno != EINTR) {
            return EOF;
        }
    }
}

void DM_RegServer::parseString()
{
    enum Pending { kNothing, kLineFeed, kLineFeedN };
    if (m_readStream == nullptr) {
        return;  // called with no connection being served: there is nothing to read
    }
    const long long deadline = monotonicMs() + CLIENT_TIME_LIMIT * 1000LL;
    Pending pending = kNothing;
    size_t stored = 0;
    for (;;) {
        const int c = nextByte(deadline);
        if (c == EOF) {
            return;
        }
        if (c == '\n' && pending == kNothing) {
            pending = kLineFeed;
            continue;
        }
        if (c == 'N' && pending == kLineFeed) {
            pending = kLineFeedN;
            continue;
        }
        if (c == '\n' && pending == kLineFeedN) {
            DM_TRACE("Fetched the ipc message:%s\n", m_recvText);
            return;
        }
        char bytes[3];
        size_t count = 0;
        if (pending != kNothing) {
            bytes[count++] = '\n';
        }
        if (pending == kLineFeedN) {
            bytes[count++] = 'N';
        }
        bytes[count++] = static_cast<char>(c);
        pending = kNothing;
        for (size_t i = 0; i < count; ++i) {
            if (stored >= sizeof(m_recvText) - 1) {
                return;
            }
            m_recvText[stored++] = bytes[i];
        }
    }
}

void DM_RegServer::processDMMsg()
{
    DM_TRACE("ENTER\t\n");
    DM_TRACE("Process received msg :%s\n", m_recvText);
    if (dmRegSuccess(m_recvText)) {
        DM_TRACE("msg:%s registration flag is OK\n", m_recvText);
        changeStatus();
    } else {
        DM_TRACE("msg:%s save reg flag fail\n", m_recvText);
        setDMRegStatus(0);
    }
    DM_TRACE("LEAVE\t\n");
}

void DM_RegServer::changeStatus()
{
    char imsi[DMREG_VALUE_BUFFER_SIZE] = {};
    if (!DM_SimUtility::GetSimIMSI(imsi)) {
        DM_TRACE("Error get sim imsi!\n");
        return;
    }
    DM_TRACE("Write imsi to file...\n");
    writeImsiToFile(imsi);
    setDMRegStatus(1);
    recordSimIMSIToDMT();
}
