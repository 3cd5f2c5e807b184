#include "handset.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "DM_RegUtility.h"
#include "dmnative_control.h"
#include "seam.h"
#include "zavtapi_control.h"

namespace handset {

const std::string kTree = readFile(DMREG_TEST_SUPPORT "/handset-tree.txt");
const std::string kSocket = DMREG_TEST_SOCKET_PATH;
const std::string kStatusFile = DMREG_TEST_STATUS_FILE;

std::string workDir()
{
    static const std::string dir = std::string(DMREG_TEST_WORK) + "/" + program_invocation_short_name;
    mkdir(DMREG_TEST_WORK, 0755);
    mkdir(dir.c_str(), 0755);
    return dir;
}

// Written beside and renamed into place, as an editor saves: a new file that the tree stand-in
// sees has changed.
std::string writeFile(const std::string& name, const std::string& content)
{
    const std::string path = workDir() + "/" + name;
    std::ofstream(path + ".new", std::ios::binary | std::ios::trunc) << content;
    rename((path + ".new").c_str(), path.c_str());
    return path;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : "<absent>";
}

int fileMode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

int connectTo(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string request(const std::string& text, bool closeAfterSending, const std::string& path)
{
    const int fd = connectTo(path);
    if (fd < 0) {
        return "<no connection: " + std::string(strerror(errno)) + ">";
    }
    for (ssize_t sent = 0, n = 0; sent < static_cast<ssize_t>(text.size()) && n >= 0; sent += n) {
        n = send(fd, text.data() + sent, text.size() - static_cast<size_t>(sent), MSG_NOSIGNAL);
    }
    if (closeAfterSending) {
        shutdown(fd, SHUT_WR);
    }
    std::string answer;
    char buffer[256];
    for (ssize_t got; (got = recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
        answer.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return answer;
}

ListenerThread::ListenerThread(std::function<void()> body)
{
    seam::listeningSocket = -1;
    m_thread = std::thread([this, body] {
        body();
        m_ended = true;
    });
}

bool ListenerThread::waitUntilListening()
{
    while (seam::listeningSocket < 0 && !m_ended) {
        std::this_thread::yield();
    }
    return seam::listeningSocket >= 0;
}

void ListenerThread::stop()
{
    if (m_thread.joinable()) {
        if (!m_ended && waitUntilListening()) {
            shutdown(seam::listeningSocket, SHUT_RDWR);
        }
        m_thread.join();
    }
}

void Handset::SetUp()
{
    m_treeFile = writeFile("tree.txt", kTree);
    setenv("DMNATIVE_TREE", m_treeFile.c_str(), 1);
    zavtapi::reset();
    dmnative::clearFailures();
    dmnative::resetCounters();
    DM_SimUtility::simImsi = nullptr;
    DM_SimUtility::fetchSimImsiflag = false;
    DM_SimUtility::phoneImei = nullptr;
    DM_SimUtility::fetchPhoneImeiflag = false;
    unlink(kStatusFile.c_str());
    mkdir(kSocket.substr(0, kSocket.rfind('/')).c_str(), 0700);  // when run outside CTest
    unlink(kSocket.c_str());
    seam::resetSleeps();
    seam::clock = seam::Clock::Real;
    seam::failPosix();
    seam::nothrowNewFailures = 0;
    seam::listeningSocket = -1;
}

void Handset::TearDown()
{
    dmnative::clearFailures();
    seam::clock = seam::Clock::Real;
    seam::failPosix();
}

void Handset::useTree(const std::string& text) const
{
    writeFile("tree.txt", text);
}

std::string Handset::treeLine(const std::string& path) const
{
    std::istringstream lines(readFile(m_treeFile));
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, path.size() + 1, path + " ") == 0) {
            return line;
        }
    }
    return "";
}

void Handset::expectTreeReleased()
{
    EXPECT_EQ(dmnative::liveHandles(), 0) << "tree, node or error handles left";
    EXPECT_EQ(dmnative::liveBlocks(), 0) << "DmtMemAllocEx blocks left";
    EXPECT_EQ(dmnative::successfulInitializeCalls(), dmnative::uninitializeCalls())
        << "every opening of the tree library must be closed once";
}

}  // namespace handset
