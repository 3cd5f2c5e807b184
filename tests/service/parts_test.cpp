// dmregd's parts on their own, from tables: its folders and files, the records it keeps and
// their agreement, what a modem's fault is told as.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "diagnosis.h"
#include "files.h"
#include "records.h"

namespace {

const std::string kWork = std::string(DMREG_TEST_WORK) + "/parts";
const std::string kRegistration = "./DevDetail/Ext/Conf/PMF/Agents/Registration/";

std::string contents(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Parts : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(system(("rm -rf '" + kWork + "' && mkdir -p '" + kWork + "'").c_str()), 0);
    }
};

TEST_F(Parts, AFolderIsUsedOnlyWhenItIsTheServicesAloneAndNeverChanged)
{
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
        const char* wrong;  // "" when usable
        int mode;           // the folder's mode after the look
    } folders[] = {
        {"missing", [](const std::string&) {}, "", 0700},
        {"closed", [](const std::string& f) { mkdir(f.c_str(), 0700); }, "", 0700},
        {"a file", [](const std::string& f) { std::ofstream(f) << "x"; }, "the state folder %s is no folder", -1},
        {"sticky", [](const std::string& f) { mkdir(f.c_str(), 0700), chmod(f.c_str(), 01777); },
         "the state folder %s is shared with every user (mode 1777); REMEDY", 01777},
        {"writable by all", [](const std::string& f) { mkdir(f.c_str(), 0700), chmod(f.c_str(), 0757); },
         "the state folder %s is shared with every user (mode 0757); REMEDY", 0757},
        {"open to the group", [](const std::string& f) { mkdir(f.c_str(), 0750); },
         "the state folder %s is open to others (mode 0750): close it (chmod 0700), or let systemd make it for the service",
         0750},
        {"open to others", [](const std::string& f) { mkdir(f.c_str(), 0705); },
         "the state folder %s is open to others (mode 0705): close it (chmod 0700), or let systemd make it for the service",
         0705},
        {"in a missing folder", [](const std::string&) {}, "cannot make the state folder %s: No such file or directory", -1},
    };
    for (const auto& f : folders) {
        SCOPED_TRACE(f.name);
        const std::string folder = kWork + (std::string(f.name) == "in a missing folder" ? "/gone/" : "/") + f.name;
        f.make(folder);
        char wrong[512];
        snprintf(wrong, sizeof(wrong), f.wrong, folder.c_str());
        EXPECT_EQ(service::ownFolder(folder, "the state folder", "REMEDY"), wrong);
        struct stat st {};
        EXPECT_EQ(stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? static_cast<int>(st.st_mode & 07777) : -1, f.mode);
    }
    if (geteuid() == 0) {
        mkdir((kWork + "/another's").c_str(), 0700);
        chown((kWork + "/another's").c_str(), 65534, 65534);
        EXPECT_NE(service::ownFolder(kWork + "/another's", "the state folder", "").find("belongs to user 65534"), std::string::npos);
        std::ofstream(kWork + "/another's.txt") << "tree";
        ASSERT_EQ(chown((kWork + "/another's.txt").c_str(), 65534, 65534) + chmod((kWork + "/another's.txt").c_str(), 0644), 0);
        EXPECT_NE(service::trustedToRead(kWork + "/another's.txt").find("may be changed by another user (mode 0644, owner 65534)"), std::string::npos);
    }
    std::ofstream(kWork + "/maker.txt") << "tree";
    EXPECT_EQ(service::trustedToRead(kWork + "/maker.txt"), "");
    chmod((kWork + "/maker.txt").c_str(), 0666);
    EXPECT_NE(service::trustedToRead(kWork + "/maker.txt").find("may be changed by another user (mode 0666"), std::string::npos);
    EXPECT_NE(service::trustedToRead(kWork + "/none.txt").find("cannot read"), std::string::npos);
}

TEST_F(Parts, OwnFilesAreReadOnlyWhenRegularAndWrittenWholeAndDurably)
{
    const std::string secret = kWork + "/secret";
    std::ofstream(secret) << "secret";
    symlink(secret.c_str(), (kWork + "/link").c_str());
    mkfifo((kWork + "/fifo").c_str(), 0600);
    std::ofstream(kWork + "/long") << std::string(11, 'x');
    const struct {
        const char* file;
        bool followLink;
        service::Read read;
        const char* error;  // its end
    } reads[] = {
        {"/secret", false, service::Read::Ok, ""},        {"/none", false, service::Read::Missing, ""},
        {"/link", false, service::Read::Failed, "/link is a link, which is not followed"},
        {"/link", true, service::Read::Ok, ""},           {"/fifo", false, service::Read::Failed, "/fifo is no regular file"},
        {"/long", false, service::Read::Failed, "/long is longer than 10 bytes"},
        {"/secret/x", false, service::Read::Failed, "/secret/x: Not a directory"},
    };
    for (const auto& r : reads) {
        std::string content;
        std::string error;
        EXPECT_EQ(service::readFile(kWork + r.file, 10, content, error, r.followLink), r.read) << r.file;
        EXPECT_EQ(error.substr(error.size() - std::min(error.size(), strlen(r.error))), r.error) << r.file;
        EXPECT_EQ(content, r.read == service::Read::Ok ? "secret" : "") << r.file;
    }
    // A name planted where the new file goes is replaced, never written through.
    symlink(secret.c_str(), (kWork + "/record.new").c_str());
    std::string error;
    EXPECT_TRUE(service::writeDurably(kWork + "/record", "whole", error)) << error;
    EXPECT_EQ(contents(kWork + "/record") + contents(secret), "wholesecret");
    EXPECT_FALSE(service::writeDurably(kWork + "/gone/record", "x", error));
    EXPECT_EQ(error, "cannot write " + kWork + "/gone/record.new: No such file or directory");
    EXPECT_TRUE(service::removeDurably(kWork + "/record", error) && service::removeDurably(kWork + "/record", error)) << error;
    mkdir((kWork + "/folder").c_str(), 0700);
    EXPECT_FALSE(service::removeDurably(kWork + "/folder", error));
    for (const char* left : {"/a.new", "/.dmtree.x1Y2z3"}) {
        std::ofstream(kWork + left) << "cut short";
    }
    mkdir((kWork + "/b.new").c_str(), 0700);  // no leftover of ours: kept
    EXPECT_EQ(service::removeLeftovers(kWork), 2);
    EXPECT_EQ(service::removeLeftovers(kWork + "/gone"), 0);
    EXPECT_EQ(service::escaped(std::string("a\tb\nc\x1b[0m\x7f\0", 11)), "a\tb\\x0Ac\\x1B[0m\\x7F\\x00");
    // A read that the kernel fails: the first page of a process's memory is never mapped.
    std::string content;
    EXPECT_EQ(service::readFile("/proc/self/mem", 10, content, error), service::Read::Failed);
    EXPECT_EQ(error, "cannot read /proc/self/mem: Input/output error");
    EXPECT_EQ(service::folderOf("tree.txt") + " " + service::folderOf("/tree.txt") + " " + service::folderOf("/etc/dmregd/tree.txt"),
              ". / /etc/dmregd");
}

TEST_F(Parts, TheTreeCopyFollowsTheStatusFile)
{
    const std::string maker = "# the maker's\n./DevInfo/Man string Zav\n" + kRegistration + "RegStatus int 1\n";
    const struct {
        const char* status;  // "" for none
        const char* copy;    // the copy before: its registration nodes, "" for none, "earlier" for one of an earlier version
        const char* imsi;
        int regStatus;
        const char* note;
    } cases[] = {
        {"", "", "", 0, nullptr},
        {"001010123456789", "", "001010123456789", 1, nullptr},
        {"001010123456789", "0 ", "001010123456789", 1,
         "the tree said RegStatus 0, RegIMSI '', the status file SIM 001010123456789 registered: the tree follows the status file"},
        {"", "1 001019999999999", "", 0,
         "the tree said RegStatus 1, RegIMSI '001019999999999', the status file no SIM registered: the tree follows the "
         "status file"},
        {"001010123456789", "0 001010123456789", "001010123456789", 0, nullptr},  // a later SIM refused
        {"001010123456789", "earlier", "001010123456789", 1, "of an earlier version is kept as"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.status) + " / " + c.copy);
        SetUp();
        const std::string copyPath = kWork + "/tree.txt";
        if (*c.status != '\0') {
            std::ofstream(kWork + "/status") << c.status;
        }
        const std::string copy = c.copy;
        if (copy == "earlier") {
            std::ofstream(copyPath) << maker;
        } else if (!copy.empty()) {
            std::ofstream(copyPath) << "# dmregd's own copy of x\n" << kRegistration << "RegStatus int " << copy.substr(0, 1) << "\n"
                                    << kRegistration << "RegIMSI string " << copy.substr(2) << "\n";
        }
        service::TreeCopy made;
        ASSERT_TRUE(service::makeTreeCopy(maker, "/etc/maker.txt", copyPath, kWork + "/status", made)) << made.error;
        const service::Registration r = service::readRegistration(kWork + "/status", copyPath);
        EXPECT_EQ(r.treeImsi + " " + std::to_string(r.treeStatus), std::string(c.imsi) + " " + std::to_string(c.regStatus));
        EXPECT_TRUE(service::agree(r));
        EXPECT_EQ(made.notes.empty() ? "" : made.notes[0].find(c.note == nullptr ? "" : c.note) != std::string::npos ? "told" : made.notes[0],
                  c.note == nullptr ? "" : "told");
        EXPECT_NE(contents(copyPath).find("./DevInfo/Man string Zav\n"), std::string::npos) << "the maker's lines";
    }
    SetUp();
    mkdir((kWork + "/status").c_str(), 0700);  // a status file that cannot be read stops the copy, and says why
    service::TreeCopy refused;
    EXPECT_FALSE(service::makeTreeCopy(maker, "/etc/maker.txt", kWork + "/tree.txt", kWork + "/status", refused));
    EXPECT_EQ(refused.error, "the status file " + kWork + "/status cannot be read: " + kWork + "/status is no regular file");
    std::ofstream(kWork + "/tree.txt") << kRegistration << "RegIMSIx string 1\n" << kRegistration << "RegIMSI\n" << kRegistration
                                       << "RegStatus int\n";  // nodes without values, and one of another name
    const service::Registration bare = service::readRegistration(kWork + "/none", kWork + "/tree.txt");
    EXPECT_EQ(bare.treeImsi + " " + std::to_string(bare.treeStatus), " -1");
    EXPECT_FALSE(service::agree({"001010123456789", true, "", "001010123456789", -1})) << "the SIM in both, the tree without its status";
    std::ofstream(kWork + "/tree.txt") << maker;  // an earlier version's, which cannot be kept: nothing is made
    mkdir((kWork + "/tree.txt.earlier").c_str(), 0700);
    EXPECT_FALSE(service::makeTreeCopy(maker, "/etc/maker.txt", kWork + "/tree.txt", kWork + "/none", refused));
    const struct {
        const char* text;
        bool confirms;
    } replies[] = {{"IMEI:490154203237518/1", true}, {"junk IMEI:490154203237518/ok1", true}, {"IMEI:490154203237518/0", false},
                   {"IMEI:49015420323751/1", false}, {"IMEI:4901542032375180/1", false}, {"IMEI:490154203237518", false}, {"", false}};
    for (const auto& r : replies) {
        EXPECT_EQ(service::confirms(r.text, "490154203237518"), r.confirms) << r.text;
    }
}

// A modem that cannot be used: a line and an exit status for each fault, the program that holds
// the port named.
TEST_F(Parts, EachFaultOfAModemIsToldWithAStatusOfItsOwn)
{
    const std::string port = kWork + "/port";
    std::ofstream(port) << "";
    const struct {
        atmodem::Unusable why;
        int error;
        int status;
        const char* line;  // its start
    } faults[] = {
        {atmodem::Unusable::NoDevice, ENOENT, 69, "there is no modem at PORT (No such file or directory): dmregd is started"},
        {atmodem::Unusable::NoPermission, EACCES, 77, "the modem PORT may not be opened (Permission denied): the service's user"},
        {atmodem::Unusable::Busy, EWOULDBLOCK, 75, "the modem PORT is held by another program: tried again later"},
        {atmodem::Unusable::NotSerial, ENOTTY, 69, "PORT is no serial port (Inappropriate ioctl for device)"},
        {atmodem::Unusable::NoAnswer, 0, 75, "the modem at PORT does not answer AT: tried again later"},
        {atmodem::Unusable::NotConfigured, 0, 70, "the modem at PORT cannot be used"},
        {atmodem::Unusable::None, 0, 70, "the modem at PORT cannot be used"},
    };
    for (const auto& f : faults) {
        const service::Diagnosis d = service::diagnose({f.why, f.error}, port);
        std::string line = f.line;
        line.replace(line.find("PORT"), 4, port);
        EXPECT_EQ(d.line.substr(0, line.size()), line);
        EXPECT_EQ(d.exitStatus, f.status) << line;
    }
    // The program that holds the port: from the locks, else from the descriptors.
    for (const bool locks : {true, false}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t holder = fork();
        if (holder == 0) {
            const int fd = open(port.c_str(), O_RDONLY);
            if (locks) {
                flock(fd, LOCK_EX);
            }
            (void)!write(ready[1], "x", 1);
            pause();
            _exit(0);
        }
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        EXPECT_EQ(service::holderOf(port), "service_tests (pid " + std::to_string(holder) + ")") << (locks ? "a lock" : "a descriptor");
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
    }
    EXPECT_EQ(service::holderOf(port), "");
    EXPECT_EQ(service::holderOf(kWork + "/none"), "");
    // ModemManager named where it is installed and the udev database does not keep it away.
    std::ofstream(kWork + "/ModemManager") << "#!/bin/sh\n";
    chmod((kWork + "/ModemManager").c_str(), 0755);
    mkdir((kWork + "/udev").c_str(), 0755);
    struct stat null {};
    stat("/dev/null", &null);
    const std::string entry = kWork + "/udev/c" + std::to_string(major(null.st_rdev)) + ":" + std::to_string(minor(null.st_rdev));
    EXPECT_EQ(service::modemManagerHint("/dev/null", kWork + "/ModemManager", kWork + "/udev"),
              "; ModemManager is installed and not told to leave /dev/null alone: give dmregd a port of its own with "
              "ID_MM_PORT_IGNORE=1 in the udev rule (see dmregd(8))");
    std::ofstream(entry) << "E:ID_MM_PORT_IGNORE=1\n";
    EXPECT_EQ(service::modemManagerHint("/dev/null", kWork + "/ModemManager", kWork + "/udev"), "");
    EXPECT_EQ(service::modemManagerHint("/dev/null", kWork + "/none", kWork + "/udev"), "");
    EXPECT_EQ(service::modemManagerHint(port, kWork + "/ModemManager", kWork + "/udev"), "") << "no character device";
}

}  // namespace
