// dmreg-client: the local client of a handset, speaking to the acknowledgement listener.
//
//   dmreg-client [--socket PATH] [--timeout SECONDS] getport
//   dmreg-client [--socket PATH] [--timeout SECONDS] ack TEXT
//   dmreg-client [--socket PATH] [--timeout SECONDS] ack --success --imei IMEI
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "dmreg_config.h"

namespace {

enum Exit {
    kOk = 0,
    kUsage = 2,
    kNothingListens = 3,
    kNotASocket = 4,
    kMalformedAnswer = 5,
    kNoAnswer = 6,
};

const char kEndMarker[] = "\nN\n";

void usage(FILE* out)
{
    fprintf(out,
            "usage: dmreg-client [--socket PATH] [--timeout SECONDS] getport\n"
            "       dmreg-client [--socket PATH] [--timeout SECONDS] ack TEXT\n"
            "       dmreg-client [--socket PATH] [--timeout SECONDS] ack --success --imei IMEI\n"
            "\n"
            "getport prints the client port that the listener answers; ack delivers an\n"
            "acknowledgement (--success builds \"IMEI:<IMEI>/1\") and waits until the listener has\n"
            "handled it.\n"
            "\n"
            "  --socket PATH      the listener's socket (default " DMREG_SOCKET_PATH ")\n"
            "  --timeout SECONDS  how long to wait for the listener (default 5)\n"
            "\n"
            "Exit status: 0 done, 2 usage error, 3 nothing listens at the path, 4 the path is not a\n"
            "socket, 5 malformed answer, 6 no answer in time.\n");
}

long long nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int connectTo(const std::string& path, int& fd)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "dmreg-client: nothing listens at %s: %s\n", path.c_str(), strerror(errno));
        return kNothingListens;
    }
    if (!S_ISSOCK(st.st_mode)) {
        fprintf(stderr, "dmreg-client: %s is not a socket\n", path.c_str());
        return kNotASocket;
    }
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        fprintf(stderr, "dmreg-client: socket path too long: %s\n", path.c_str());
        return kUsage;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size());
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        fprintf(stderr, "dmreg-client: nothing listens at %s: %s\n", path.c_str(), strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return kNothingListens;
    }
    return kOk;
}

// Sends the request and reads until the listener closes the connection.
int exchange(const std::string& path, const std::string& request, int timeoutSeconds, std::string& answer)
{
    int fd = -1;
    const int connected = connectTo(path, fd);
    if (connected != kOk) {
        return connected;
    }
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            fprintf(stderr, "dmreg-client: sending to %s failed: %s\n", path.c_str(), strerror(errno));
            close(fd);
            return kNothingListens;
        }
        sent += static_cast<size_t>(n);
    }
    const long long deadline = nowMs() + timeoutSeconds * 1000LL;
    for (;;) {
        const long long remaining = deadline - nowMs();
        pollfd wait{fd, POLLIN, 0};
        if (remaining <= 0 || poll(&wait, 1, static_cast<int>(remaining)) == 0) {
            fprintf(stderr, "dmreg-client: no answer from %s within %d s\n", path.c_str(), timeoutSeconds);
            close(fd);
            return kNoAnswer;
        }
        char buffer[256];
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;  // the listener has closed the connection: the request is handled
        }
        answer.append(buffer, static_cast<size_t>(got));
        if (answer.size() > 64) {
            break;
        }
    }
    close(fd);
    return kOk;
}

bool allDigits(const std::string& s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string socketPath = DMREG_SOCKET_PATH;  // the library's own
    int timeout = 5;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return kOk;
        } else if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (arg == "--timeout" && i + 1 < argc && allDigits(argv[i + 1]) && strlen(argv[i + 1]) < 6 &&
                   strtol(argv[i + 1], nullptr, 10) > 0) {
            timeout = static_cast<int>(strtol(argv[++i], nullptr, 10));
        } else {
            fprintf(stderr, "dmreg-client: unknown or incomplete option '%s'\n\n", arg.c_str());
            usage(stderr);
            return kUsage;
        }
    }
    const std::string command = i < argc ? argv[i++] : "";
    std::string answer;
    if (command == "getport" && i == argc) {
        const int result = exchange(socketPath, std::string("\n\n<GetPort>") + kEndMarker, timeout, answer);
        if (result != kOk) {
            return result;
        }
        const std::string prefix = kEndMarker;
        if (answer.compare(0, prefix.size(), prefix) != 0 || !allDigits(answer.substr(prefix.size())) ||
            answer.size() > prefix.size() + 5) {
            std::string shown;
            for (char c : answer) {
                shown += c == '\n' ? std::string("\\n") : std::string(1, c);
            }
            fprintf(stderr, "dmreg-client: malformed answer from %s: \"%s\"\n", socketPath.c_str(), shown.c_str());
            return kMalformedAnswer;
        }
        printf("%s\n", answer.c_str() + prefix.size());
        return kOk;
    }
    if (command == "ack") {
        std::string text;
        if (i + 1 == argc && std::string(argv[i]) != "--success") {
            text = argv[i];
        } else if (i + 3 == argc && std::string(argv[i]) == "--success" && std::string(argv[i + 1]) == "--imei" &&
                   allDigits(argv[i + 2])) {
            text = std::string("IMEI:") + argv[i + 2] + "/1";
        } else {
            usage(stderr);
            return kUsage;
        }
        if (text.size() > 159) {
            fprintf(stderr, "dmreg-client: the listener takes at most 159 characters, this text has %zu\n", text.size());
            return kUsage;
        }
        const int result = exchange(socketPath, text + kEndMarker, timeout, answer);
        if (result != kOk) {
            return result;
        }
        if (!answer.empty()) {
            fprintf(stderr, "dmreg-client: unexpected answer to an acknowledgement from %s\n", socketPath.c_str());
            return kMalformedAnswer;
        }
        printf("acknowledgement delivered: %s\n", text.c_str());
        return kOk;
    }
    usage(stderr);
    return kUsage;
}
