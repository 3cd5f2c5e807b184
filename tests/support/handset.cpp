#include "handset.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "DM_RegUtility.h"
#include "dmnative_control.h"
#include "dmreg_config.h"
#include "posix_seam.h"
#include "zavtapi_control.h"

namespace testsupport {

const char* const kHandsetTree =
    "# A handset registered with operator 001-01\n"
    "./DevInfo/DevId string IMEI:490154203237518\n"
    "./DevInfo/Man string Zav\n"
    "./DevInfo/Mod string ZV-100\n"
    "./DevDetail/SwV string 1.0.3\n"
    "./DevDetail/Ext/Conf/PMF/Agents/Registration/ServerNumber string +15550100200\n"
    "./DevDetail/Ext/Conf/PMF/Agents/Registration/ServerPort int 16998\n"
    "./DevDetail/Ext/Conf/PMF/Agents/Registration/ClientPort int 16999\n"
    "./DevDetail/Ext/Conf/PMF/Agents/Registration/Enable bool true\n"
    "./DevDetail/Ext/Conf/PMF/Agents/Registration/MNC/Op1/Code string 46000\n"
    "./DevDetail/Ext/Conf/PMF/Agents/Registration/MNC/Op2/Code string 00101\n"
    "./DevDetail/Ext/Conf/PMF/Agents/Registration/RegIMSI string \n"
    "./DevDetail/Ext/Conf/PMF/Agents/Registration/RegStatus int 0\n";

std::string workDir()
{
    static const std::string dir = [] {
        const std::string d = std::string(DMREG_TEST_WORK) + "/" + program_invocation_short_name;
        mkdir(DMREG_TEST_WORK, 0755);
        mkdir(d.c_str(), 0755);
        return d;
    }();
    return dir;
}

std::string writeFile(const std::string& name, const std::string& content)
{
    const std::string path = workDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return path;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "<absent>";
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string statusFilePath()
{
    return DMREG_TEST_STATUS_FILE;
}

int fileMode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

void Handset::SetUp()
{
    m_treeFile = writeFile("tree.txt", kHandsetTree);
    setenv("DMNATIVE_TREE", m_treeFile.c_str(), 1);
    zavtapi::reset();
    dmnative::clearFailures();
    dmnative::resetCounters();
    DM_SimUtility::simImsi = nullptr;
    DM_SimUtility::fetchSimImsiflag = false;
    DM_SimUtility::phoneImei = nullptr;
    DM_SimUtility::fetchPhoneImeiflag = false;
    unlink(statusFilePath().c_str());
    resetSleeps();
    setClientClock(ClientClock::Real);
    // A flow that reaches the listener ends there at once unless a test serves clients.
    failAccept(EINVAL);
    forgetListeningSocket();
}

void Handset::TearDown()
{
    dmnative::clearFailures();
    setClientClock(ClientClock::Real);
    failAccept(0);
    failFdopen(0);
}

void Handset::useTree(const std::string& text)
{
    writeFile("tree.txt", text);
}

std::string Handset::treeLine(const std::string& path) const
{
    std::istringstream lines(readFile(m_treeFile));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, path.size() + 1, path + " ") == 0) {
            return line;
        }
    }
    return "";
}

void Handset::expectTreeReleased() const
{
    EXPECT_EQ(dmnative::liveHandles(), 0) << "tree, node or error handles left";
    EXPECT_EQ(dmnative::liveBlocks(), 0) << "DmtMemAllocEx blocks left";
    EXPECT_EQ(dmnative::successfulInitializeCalls(), dmnative::uninitializeCalls())
        << "every opening of the tree library must be closed once";
}

}  // namespace testsupport
