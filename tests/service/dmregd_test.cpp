// dmregd against the simulated modem, from start to its end: replies of an earlier registration,
// replies in segments, forged or for other ports, found only by a listing; sends that fail or
// whose device vanishes; a stop at every state; modems that cannot be used; folders and files
// that are not the service's own; the maker's tree and the service's copy; what it tells.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <fnmatch.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <memory>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dmreg_config.h"
#include "modem.h"
#include "trace.h"

namespace {

const std::string kWork = DMREG_TEST_WORK;
const std::string kImsi = "001010123456789";
const std::string kAck = "IMEI:490154203237518/1";
const std::string kServer = "+15550100200";
const std::string kRunFolder = std::string(DMREG_SOCKET_PATH).substr(0, std::string(DMREG_SOCKET_PATH).rfind('/'));
const std::string kStateFolder = std::string(DMREG_STATUS_FILE).substr(0, std::string(DMREG_STATUS_FILE).rfind('/'));
const std::string kCopy = kStateFolder + "/tree.txt";
const std::string kRegistration = "./DevDetail/Ext/Conf/PMF/Agents/Registration/";

std::string contents(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int modeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ofstream(kWork + "/service-tree.txt") << contents(DMREG_TEST_SUPPORT "/../../examples/trees/handset.txt");
        configure("");
        // The folders as systemd makes them for the service: its own, closed to others.
        chmod(kStateFolder.c_str(), 0700);
        mkdir(kRunFolder.c_str(), 0700);
        clean();
    }

    void TearDown() override
    {
        if (m_dmregd && m_dmregd->running()) {
            EXPECT_EQ(stop(), 0);
        }
        clean();  // the state folder is shared with the other suites of this build
    }

    void clean()
    {
        for (const char* file : {"/zav_dmregstatus.cfg", "/zav_dmregstatus.cfg.new", "/dmregd.state", "/tree.txt", "/tree.txt.new", "/tree.txt.earlier"}) {
            remove((kStateFolder + file).c_str());
        }
    }

    void configure(const std::string& more)
    {
        std::ofstream(kWork + "/dmregd.conf") << "modem = " << m_modem.device << "\n"
                                               << (more.find("tree =") == std::string::npos ? "tree = " + kWork + "/service-tree.txt\n" : "")
                                               << (more.find("retry_interval") == std::string::npos ? "retry_interval = 1\n" : "") << more;
    }

    void start(bool fast = true, const std::vector<std::string>& environment = {})
    {
        std::vector<std::string> argv = {DMREG_TEST_BIN "/dmregd", "--config", kWork + "/dmregd.conf"};
        if (fast) {
            argv.push_back("--fast");
        }
        m_dmregd.reset(new trace::Program(argv, environment));
    }

    bool waitFor(const std::string& text) { return m_dmregd->waitFor(text); }
    const std::string& seen() const { return m_dmregd->seen(); }
    bool listening() { return waitFor("listenAndProcess()\tENTER"); }

    // SIGTERM, or its own end: the socket is removed and the modem released; answers the status.
    int stop(bool signal = true)
    {
        const int status = signal ? m_dmregd->stop() : m_dmregd->end();
        struct stat st;
        EXPECT_NE(stat(DMREG_SOCKET_PATH, &st), 0) << "the socket is left";
        return status;
    }
    int end() { return stop(false); }

    // The acknowledgement handed over and taken out of storage, the registration recorded.
    bool recorded()
    {
        return waitFor("[dmregd] receiver: message from " + kServer + " handed to the listener and recorded: " + kAck + "\n") &&
               waitFor("[dmregd] the registration of SIM " + kImsi + " is confirmed\n") && contents(DMREG_STATUS_FILE) == kImsi;
    }
    // Waits, within 20 s, until the modem has recorded a line that starts so.
    bool recorded(const std::string& start) const
    {
        for (int waits = 0; count(start) == 0 && waits < 2000; ++waits) {
            poll(nullptr, 0, 10);
        }
        return count(start) > 0;
    }
    // Lines of the modem's record that start so, from its line from on.
    size_t count(const std::string& start, size_t from = 0) const
    {
        const std::vector<std::string> record = m_modem.record();
        return std::count_if(record.begin() + std::min(from, record.size()), record.end(),
                             [&](const std::string& l) { return l.compare(0, start.size(), start) == 0; });
    }
    // dmregd run with options alone, its output and exit status.
    std::pair<std::string, int> command(const std::string& options)
    {
        FILE* out = popen((DMREG_TEST_BIN "/dmregd --config " + kWork + "/dmregd.conf " + options + " 2>&1").c_str(), "r");
        std::string text;
        char buffer[512];
        for (size_t got; (got = fread(buffer, 1, sizeof(buffer), out)) > 0;) {
            text.append(buffer, got);
        }
        const int status = pclose(out);
        return {text, WEXITSTATUS(status)};
    }

    modem::Simulator m_modem{kWork + "/service-modem"};
    std::unique_ptr<trace::Program> m_dmregd;
};

TEST_F(Service, OnlyAReplyToThisSimsSendConfirmsItAndOnceConfirmedItEnds)
{
    ASSERT_EQ(m_modem.control("store SM 0 " + modem::reply(kAck)), "ok 0");  // an earlier registration's, unannounced
    m_modem.control("set answer AT+CPIN? = +CPIN: SIM PIN");
    start();
    ASSERT_TRUE(waitFor("PIN is ON")) << seen();
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck)), "ok 1");  // before the send as well
    m_modem.control("set answer AT+CPIN? = +CPIN: READY");
    EXPECT_TRUE(waitFor("[dmregd] receiver: 2 replies of the server in the modem's storage answered an earlier registration: "
                        "deleted, so that only a reply to this SIM's registration confirms it\n"))
        << seen();
    EXPECT_TRUE(waitFor("[dmregd] try 1 of 4 sent to +15550100200; waiting until ")) << seen();
    ASSERT_TRUE(listening());
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck)), "ok 1");
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck)), "ok 2");  // the server said it twice
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(count("cmd AT+CMGD="), 4u);
    EXPECT_EQ(m_modem.control("stored"), "ok") << "every copy of the confirmed reply is gone";
    EXPECT_EQ(count("pdu "), 1u);
    start();
    EXPECT_TRUE(waitFor("[dmregd] the SIM 001010123456789 is registered already\n")) << seen();
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(count("pdu "), 1u) << "the same SIM is not registered again";
}

TEST_F(Service, RepliesInSegmentsAreJoinedAndAnIncompleteSetIsForgotten)
{
    start();
    ASSERT_TRUE(listening());
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck.substr(0, 9), 16999, 7, 2, 1)), "ok 1");
    ASSERT_TRUE(waitFor("waited in vain for the rest")) << "one segment is forgotten after its time";
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck.substr(0, 9), 16999, 8, 2, 1)), "ok 2");
    // A stranger's segment of the same reference is no part of the server's reply.
    EXPECT_EQ(m_modem.control("deliver " + modem::reply("490154203237518/1", 16999, 8, 2, 2, "+15550199999")), "ok 3");
    EXPECT_TRUE(waitFor("message from +15550199999 to port 16999 is not from the server's number"));
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck.substr(9), 16999, 8, 2, 2)), "ok 4");
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(m_modem.control("stored"), "ok ME:1:1 ME:3:1") << "the forgotten segment and the stranger's stay in storage";
}

TEST_F(Service, OnlyTheServerConfirmsAndEverythingElseIsLeftWhereItIs)
{
    EXPECT_EQ(m_modem.control("store 3 " + modem::reply(kAck)), "ok 1");  // a SUBMIT stored to be sent, of the same bytes
    start();
    ASSERT_TRUE(listening());
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck, 16999, -1, 0, 0, "+15550199999")), "ok 2");  // forged
    EXPECT_EQ(m_modem.control("deliver " + modem::reply("for the WAP stack", 2948)), "ok 3");
    EXPECT_EQ(m_modem.control("deliver 0040F"), "ok 4");
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(std::string(80, 'x'), 16999, 9, 2, 1)), "ok 5");
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(std::string(80, 'y'), 16999, 9, 2, 2)), "ok 6");
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck + std::string(1, '\0') + "junk")), "ok 7");
    EXPECT_EQ(m_modem.control("deliver " + modem::reply("IMEI:1/0\n[dmregd] forged\n" + kAck)), "ok 8");
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck, 16999, -1, 0, 0, "name:15550100200")), "ok 9");
    ASSERT_TRUE(waitFor("name 15550100200 to port 16999 is not from the server's number")) << seen();
    // The server's number as the network may give it: without the international type.
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck, 16999, -1, 0, 0, "15550100200")), "ok 10");
    EXPECT_TRUE(waitFor("handed to the listener and recorded: " + kAck + "\n")) << seen();
    EXPECT_EQ(end(), 0);
    for (const char* told : {"message from +15550199999 to port 16999 is not from the server's number: left in storage\n",
                             "message ME:4 is corrupt (not hex): left in storage\n",
                             "holds 160 characters, more than the listener takes: left in storage\n",
                             "holds a control character, which no acknowledgement does: left in storage\n"}) {
        EXPECT_NE(seen().find(told), std::string::npos) << told;
    }
    EXPECT_EQ(seen().find("\n[dmregd] forged"), std::string::npos) << "a text from the air wrote a line of its own";
    EXPECT_EQ(seen().find("ME:1 is corrupt"), std::string::npos) << "a SUBMIT is no corrupt message";
    EXPECT_EQ(seen().find("save reg flag fail"), std::string::npos) << "no forged reply reached the listener";
    EXPECT_EQ(m_modem.control("stored"), "ok ME:1:3 ME:2:1 ME:3:1 ME:4:1 ME:5:1 ME:6:1 ME:7:1 ME:8:1 ME:9:1");
}

// A stranger's flood of messages handed over without storage: nothing of them stays behind, and
// the journal tells of them in a hundred lines at most.
TEST_F(Service, AStrangersFloodLeavesNothingBehind)
{
    const auto residentKiB = [this] {
        std::ifstream status("/proc/" + std::to_string(m_dmregd->pid()) + "/status");
        std::string line;
        while (std::getline(status, line) && line.compare(0, 6, "VmRSS:") != 0) {
        }
        return line.empty() ? 0L : std::stol(line.substr(6));
    };
    start();
    ASSERT_TRUE(listening());
    [[maybe_unused]] const long before = residentKiB();
    // In batches that the channel's queue of 64 takes whole, so that every message is judged:
    // for the client port, and plain text ("hello").
    for (int batch = 0; batch < 300; ++batch) {
        m_modem.control(batch % 2 == 0 ? "flood 50 +CMT: ,48\\r\\n" + modem::reply(kAck, 16999, -1, 0, 0, "+15550199999")
                                       : "flood 50 +CMT: ,24\\r\\n00040B915155109999F900006221704173050005E8329BFD06");
    }
    EXPECT_EQ(m_modem.control("reply +15550100200 " + kAck), "ok 1");
    EXPECT_TRUE(recorded()) << seen().substr(0, 4000);
#ifndef __SANITIZE_ADDRESS__  // whose quarantine keeps what is freed
    EXPECT_LT(residentKiB() - before, 512) << "15,000 messages judged left something behind";
#endif
    EXPECT_EQ(end(), 0);
    const std::string told = "message from +15550199999 to port 16999 is not from the server's number: dropped\n";
    EXPECT_EQ(seen().find(told), seen().rfind(told)) << "told of more than once";
    EXPECT_EQ(seen().find("unsolicited results wait"), std::string::npos) << "messages dropped unjudged";
}

TEST_F(Service, AModemThatVanishesIsOpenedAgainOnceItIsBack)
{
    start();
    ASSERT_TRUE(listening());
    m_modem.control("vanish");
    ASSERT_TRUE(waitFor("has gone away"));
    const auto back = std::chrono::steady_clock::now();
    m_modem.control("return");
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck)), "ok 1");
    EXPECT_TRUE(recorded()) << seen();
    // Its return seen at once, not at the next look of a back-off that starts at 5 s.
    EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::seconds(4));
    EXPECT_EQ(end(), 0);
}

TEST_F(Service, ACrashBetweenSendAndReplyAwaitsTheReplyWithoutSendingAgain)
{
    start();
    ASSERT_TRUE(listening()) << seen();
    EXPECT_EQ(command("--forget"), std::make_pair(std::string("dmregd: dmregd is running: stop it first (systemctl stop dmregd)\n"), 2));
    const auto second = command("");
    EXPECT_NE(second.first.find(": another dmregd works on "), std::string::npos) << second.first;
    EXPECT_EQ(second.second, 75);
    m_dmregd->stop(SIGKILL);
    // While nobody listened, the modem, started afresh, kept it where its default puts it, unannounced.
    EXPECT_EQ(m_modem.control("store SM 0 " + modem::reply(kAck)), "ok 0");
    const auto status = command("--status --json");
    EXPECT_NE(status.first.find("\"tries\": \"1 of 4\", \"last send\": \"20"), std::string::npos) << status.first;
    EXPECT_NE(status.first.find("\"next try\": \"at 20"), std::string::npos) << status.first;
    start();
    EXPECT_TRUE(waitFor("[dmregd] awaiting the server's reply to the registration sent before, until ")) << seen();
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(count("pdu "), 1u);
    EXPECT_NE(command("--status").first.find("\nnext try: none: the SIM is registered\n"), std::string::npos);
    EXPECT_EQ(command("--forget"), std::make_pair(std::string("forgotten: SIM 001010123456789 was registered; the next start "
                                                              "registers the SIM again\n"), 0));
    EXPECT_EQ(command("--status").first, "registered: none\ntree: RegStatus 0, RegIMSI ''\nsim: unknown\ntries: 0 of 4\n"
                                         "last send: none\nnext try: at the next start of dmregd\nlast failure: none\n");
    EXPECT_NE(contents(kCopy).find(kRegistration + "RegIMSI string \n" + kRegistration + "RegStatus int 0\n"), std::string::npos);
    start();
    EXPECT_TRUE(waitFor("[dmregd] try 1 of 4 sent")) << seen();
}

TEST_F(Service, LivesOnWhenTheReaderOfItsTraceGoesAway)
{
    start();
    ASSERT_TRUE(listening());
    m_dmregd->closeTrace();  // its standard error is a pipe nobody reads: SIGPIPE at the next line
    EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck)), "ok 1");
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(contents(DMREG_STATUS_FILE), kImsi) << "registered all the same";
}

// Each fault of a modem told at once, with a status that names it.
TEST_F(Service, AModemThatCannotBeUsedIsToldAtOnce)
{
    const int held = open(m_modem.device.c_str(), O_RDWR | O_NOCTTY);
    const struct {
        const char* fault;
        std::function<void()> make;
        std::function<void()> undo;
        const char* told;
        int status;
    } faults[] = {
        {"no device", [] { std::ofstream(kWork + "/dmregd.conf") << "modem = " << kWork << "/no-modem\ntree = " << kWork << "/service-tree.txt\n"; },
         [this] { configure(""); }, "there is no modem at ", 69},
        {"held by another program", [held] { flock(held, LOCK_EX); }, [held] { flock(held, LOCK_UN); },
         "is held by service_tests (pid ", 75},
        {"silent", [this] { m_modem.control("set answer AT = {silent}"); }, [this] { m_modem.control("reset"); },
         "does not answer AT: tried again later", 75},
        {"no SIM", [this] { m_modem.control("set answer AT+CPIN? = +CME ERROR: 10"); }, [this] { m_modem.control("reset"); },
         "holds no usable SIM (none is in): nothing is registered until one is in", 5},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.fault);
        f.make();
        start();
        EXPECT_TRUE(waitFor(f.told)) << seen();
        EXPECT_EQ(end(), f.status);
        const auto check = command("--check");
        EXPECT_NE(check.first.find(f.status == 5 ? "SIM: absent" : f.told), std::string::npos) << check.first;
        EXPECT_EQ(check.second, f.status == 5 ? 0 : f.status);
        f.undo();
    }
    close(held);
    EXPECT_EQ(count("pdu "), 0u);
}

TEST_F(Service, ATreeThatDoesNotConfigureTheRegistrationIsSaidSo)
{
    const std::string tree = contents(kWork + "/service-tree.txt");
    const auto edited = [&tree](const std::string& from, const std::string& to) {
        return std::string(tree).replace(tree.find(from), from.size(), to);
    };
    const struct {
        std::string tree;
        const char* told;
    } trees[] = {
        // configured, but not for this SIM's operator: nothing to do, and nothing to do again
        {edited("Home/Code string 00101", "Home/Code string 00102"), "nothing to register: the registration ended without a send"},
        {kRegistration + "Enable bool true\n" + kRegistration + "MNC/Home/Code string 0010\n",
         "no operator code of 5 digits or more is set under MNC; no ServerNumber is set; ServerPort is not set; ClientPort is "
         "not set; ./DevInfo/Man is empty; ./DevInfo/Mod is empty; ./DevDetail/SwV is empty in "},
        {tree + "./DevDetail/Ext/Conf/PMF/Agents/Registration/Other int 1\n", nullptr},  // configured
        {edited("Man string Zav", "Man string "), "./DevInfo/Man is empty in "},
        {edited("Enable bool true", "Enable bool false"), "Enable is not true in "},
        {"./DevInfo/Man string Zav\n", "the tree holds no registration settings in "},
        {edited("ServerPort int 16998", "ServerPort int 70000"), "ServerPort 70000 is no port (0 to 65535) in "},
        {edited("ServerPort int 16998", "ServerPort int -1"), "ServerPort -1 is no port (0 to 65535) in "},
        {edited("ServerPort int 16998", "ServerPort string 16998"), "ServerPort is not set in "},  // a value of another type
        {edited("Enable bool true", "Enable string true"), "Enable is not true in "},
        {kRegistration + "Enable bool true\n" + kRegistration + "MNC string 00101\n", "no operator code of 5 digits or more is set under MNC; "},
        {"", "there is no tree at "},
    };
    for (const auto& t : trees) {
        SCOPED_TRACE(t.tree);
        unlink((kWork + "/service-tree.txt").c_str());
        if (!t.tree.empty()) {
            std::ofstream(kWork + "/service-tree.txt") << t.tree;
        }
        start();
        if (t.told == nullptr) {
            EXPECT_TRUE(listening()) << seen();
            EXPECT_EQ(stop(), 0);
            continue;
        }
        const bool unneeded = strncmp(t.told, "nothing", 7) == 0;
        EXPECT_TRUE(waitFor(std::string(unneeded ? "[dmregd] " : "[dmregd] not configured for registration: ") + t.told)) << seen();
        EXPECT_EQ(end(), unneeded ? 0 : 6);
    }
    configure("tree = " + kCopy + "\n");  // an earlier version's
    start();
    EXPECT_TRUE(waitFor("[dmregd] tree = " + kCopy + " names dmregd's own copy of the tree: the maker's is " + kWork + "/tree.txt\n"));
    EXPECT_TRUE(waitFor("[dmregd] not configured for registration: there is no tree at " + kWork + "/tree.txt."));
    EXPECT_EQ(end(), 6);
    std::ofstream(kWork + "/dmregd.conf") << "modem = /dev/ttyUSB2\nbaud = 12345 # a comment\n";
    start();
    EXPECT_TRUE(waitFor("dmregd: " + kWork + "/dmregd.conf:2: baud is none of the serial speeds"));
    EXPECT_EQ(end(), 2);
    EXPECT_EQ(command("--fast --bogus").second, 2);
    EXPECT_EQ(command("--help").first.compare(0, 14, "usage: dmregd "), 0);
    EXPECT_EQ(count("pdu "), 1u) << "only the tree that configures the registration sends";
}

// The maker's tree is what the service uses: an edit takes effect at the next start, and the
// registration's own nodes are kept in the service's copy, in agreement with the status file.
TEST_F(Service, TheMakersTreeTakesEffectAtEachStartAndTheCopyFollowsTheStatusFile)
{
    std::ofstream(kCopy) << contents(kWork + "/service-tree.txt");  // an earlier version's copy
    std::ofstream(DMREG_STATUS_FILE) << kImsi;
    start();
    EXPECT_TRUE(waitFor("[dmregd] the tree " + kCopy + " of an earlier version is kept as " + kCopy + ".earlier")) << seen();
    EXPECT_TRUE(waitFor("[dmregd] the tree said RegStatus 0, RegIMSI '', the status file SIM 001010123456789 registered: the "
                        "tree follows the status file\n"))
        << seen();
    EXPECT_TRUE(waitFor("[dmregd] the SIM 001010123456789 is registered already\n")) << seen();
    EXPECT_EQ(end(), 0);
    std::string maker = contents(kWork + "/service-tree.txt");
    std::ofstream(kWork + "/service-tree.txt") << maker.replace(maker.find("+15550100200"), 12, "+15550100300");
    start();
    EXPECT_EQ(end(), 0);
    const std::string copy = contents(kCopy);
    EXPECT_EQ(copy.find("# dmregd's own copy of " + kWork + "/service-tree.txt, made at every start"), 0u) << copy;
    for (const std::string& line : {kRegistration + "ServerNumber string +15550100300\n", kRegistration + "RegIMSI string " + kImsi + "\n",
                                    kRegistration + "RegStatus int 1\n"}) {
        EXPECT_NE(copy.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(contents(kCopy + ".earlier"), contents(DMREG_TEST_SUPPORT "/../../examples/trees/handset.txt"));
}

// Each state a stop may come in: it ends within 2 s, the SMS entry abandoned with ESC.
TEST_F(Service, StopsWithinTwoSecondsAtEveryState)
{
    const struct {
        const char* state;
        bool fast;
        const char* setting;
        const char* reached;
    } states[] = {
        {"the IMSI asked of a SIM still busy at the start", true, "set answer AT+CIMI = +CME ERROR: 14", "[dmregd] registering over"},
        {"the start delay", false, "", "activateDmRegister()\tENTER"},
        {"the PIN wait", true, "set answer AT+CPIN? = +CPIN: SIM PIN", "PIN is ON"},
        {"the prompt awaited", true, "set prompt = {silent}", "Finished filling all the paras"},
        {"the reply awaited", true, "", "listenAndProcess()\tENTER"},
        {"a silent local client", true, "", "listenAndProcess()\tENTER"},
        {"the next try awaited", true, "set send = +CMS ERROR: 304", "[dmregd] try 1 of 4 failed"},
    };
    for (const auto& s : states) {
        SCOPED_TRACE(s.state);
        m_modem.control("reset");
        if (*s.setting != '\0') {
            m_modem.control(s.setting);
        }
        configure("retry_interval = 3600\n");
        unlink((kStateFolder + "/dmregd.state").c_str());  // a send of the state before is awaited otherwise
        start(s.fast);
        ASSERT_TRUE(waitFor(s.reached)) << seen();
        if (std::string(s.state) == "the prompt awaited") {
            ASSERT_TRUE(recorded("cmd AT+CMGS"));  // the modem waits for the prompt's turn now
        }
        const int client = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{AF_UNIX, DMREG_TEST_SOCKET_PATH};
        if (std::string(s.state) == "a silent local client") {
            int connected = -1;  // the listener's ENTER comes a moment before its listen()
            for (int i = 0; i < 20000 && (connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address))) != 0; ++i) {
                poll(nullptr, 0, 1);
            }
            ASSERT_EQ(connected, 0);
            ASSERT_EQ(write(client, "IMEI:", 5), 5);
        }
        EXPECT_EQ(stop(), 0);
        EXPECT_LE(m_dmregd->stopMs(), 2000);
        EXPECT_NE(seen().find("[dmregd] stopping (Terminated)\n"), std::string::npos);
        close(client);
    }
    EXPECT_EQ(count("esc"), 1u);
}

// The service's folders are its own, and it changes none it did not make; what it reads and
// writes there is its own regular file, whatever was planted.
TEST_F(Service, RefusesFoldersOpenToOthersAndFollowsNothingPlanted)
{
    const std::string secret = kWork + "/secret";
    std::ofstream(secret) << "the root's secret";
    chmod(secret.c_str(), 0600);
    const struct {
        const char* case_;
        std::function<void()> plant;
        const char* told;  // nullptr: registers all the same
        int status;
    } cases[] = {
        {"the socket's folder shared, as /tmp is", [] { chmod(kRunFolder.c_str(), 01777); },
         "the socket's folder %s is shared with every user (mode 1777); build with DMREG_DEVICE_PATHS=ON or a socket path in a "
         "folder of the service's own: refused",
         78},
        {"the state folder open to others", [] { chmod(kStateFolder.c_str(), 0755); },
         "the state folder %s is open to others (mode 0755): close it (chmod 0700), or let systemd make it for the service: refused",
         78},
        {"the state folder another user's", [] { chown(kStateFolder.c_str(), 65534, 65534); }, "belongs to user 65534", 78},
        {"the status file a link to a secret", [&] { symlink(secret.c_str(), DMREG_STATUS_FILE); },
         "is a link, which is not followed: the status file must be a regular file of the service's: refused", 78},
        {"the record's new file a link to a secret", [&] { symlink(secret.c_str(), (kStateFolder + "/dmregd.state.new").c_str()); },
         nullptr, 0},
        {"the record a FIFO", [] { mkfifo((kStateFolder + "/dmregd.state").c_str(), 0600); }, nullptr, 0},
        {"the maker's tree writable by others", [] { chmod((kWork + "/service-tree.txt").c_str(), 0666); },
         "service-tree.txt may be changed by another user (mode 0666, owner", 78},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.case_);
        if (geteuid() != 0 && std::string(c.case_) == "the state folder another user's") {
            continue;  // only root gives a folder away
        }
        SetUp();
        m_modem.control("reset");
        c.plant();
        const int runMode = modeOf(kRunFolder);
        const int stateMode = modeOf(kStateFolder);
        start();
        if (c.told != nullptr) {
            char told[512];
            snprintf(told, sizeof(told), c.told, c.case_[4] == 's' && c.case_[5] == 'o' ? kRunFolder.c_str() : kStateFolder.c_str());
            EXPECT_TRUE(waitFor(told)) << seen();
        } else {
            ASSERT_TRUE(listening()) << seen();
            EXPECT_EQ(m_modem.control("deliver " + modem::reply(kAck)), "ok 1");
        }
        EXPECT_EQ(end(), c.status);
        EXPECT_EQ(modeOf(kRunFolder), runMode) << "the socket's folder was changed";
        EXPECT_EQ(modeOf(kStateFolder), stateMode) << "the state folder was changed";
        EXPECT_EQ(contents(secret), "the root's secret");
        EXPECT_EQ(seen().find("the root's secret"), std::string::npos);
        chmod(kRunFolder.c_str(), 0700);
        chmod((kWork + "/service-tree.txt").c_str(), 0644);
        chown(kStateFolder.c_str(), 0, 0);
        unlink(DMREG_STATUS_FILE);
    }
}

TEST_F(Service, NoOtherUserReachesTheSocketOrTheState)
{
    start();
    ASSERT_TRUE(listening());
    for (const std::string& folder : {kRunFolder, kStateFolder}) {
        EXPECT_EQ(modeOf(folder), 0700) << folder;
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "another user's client is tried only as root";
    }
    const pid_t child = fork();
    if (child == 0) {  // nobody, as any local user would
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{AF_UNIX, DMREG_SOCKET_PATH};
        _exit(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ? 1 : errno == EACCES ? 0 : 3);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another user's client was not refused";
}

// Under systemd, each line goes to the journal with its priority, and systemd is told that the
// service is ready and what it does.
TEST_F(Service, TellsTheJournalEachLinesPriorityAndSystemdItsStatus)
{
    const std::string notify = kWork + "/notify";
    unlink(notify.c_str());
    const int systemd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{AF_UNIX, {}};
    strncpy(address.sun_path, notify.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(systemd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    m_modem.control("set send = +CMS ERROR: 304");
    configure("retry_interval = 3600\n");
    start(true, {"JOURNAL_STREAM=", "NOTIFY_SOCKET=" + notify});
    ASSERT_TRUE(waitFor("try 1 of 4 failed")) << seen();
    EXPECT_EQ(stop(), 0);
    std::vector<std::string> told;
    char message[512];
    for (ssize_t got; (got = recv(systemd, message, sizeof(message), 0)) > 0;) {
        told.emplace_back(message, static_cast<size_t>(got));
    }
    close(systemd);
    ASSERT_GE(told.size(), 3u);
    EXPECT_EQ(told.front(), "READY=1\nSTATUS=starting");
    EXPECT_NE(std::find_if(told.begin(), told.end(), [](const std::string& m) { return m.compare(0, 29, "STATUS=waiting for try 2 of 4") == 0; }),
              told.end());
    EXPECT_EQ(told.back(), "STOPPING=1");
    for (const char* line : {"\n<6>[dmregd] registration: try 1 of 4\n", "\n<7>{5} DM_RegLaunch.cpp:", "()\tENTER\t\n",
                             "\n<6>{5} DM_RegLaunch.cpp:", "\n<4>[dmregd] try 1 of 4 failed (the registration SMS was not sent: "
                             "+CMS ERROR: 304): the next try at ", "\n<5>[dmregd] stopping (Terminated)\n"}) {
        EXPECT_NE(seen().find(line), std::string::npos) << line;
    }
}

// Every case of runs.txt, in its order.
TEST_F(Service, RunsEachCaseOfItsTable)
{
    const std::string boot = contents("/proc/sys/kernel/random/boot_id").substr(0, 36);
    const auto text = [this, &boot](std::string t, bool lines) {
        for (size_t at; lines && (at = t.find("\\n")) != std::string::npos;) {
            t.replace(at, 2, "\n");
        }
        for (const auto& [name, value] : {std::make_pair("{modem}", m_modem.device), std::make_pair("{boot}", boot),
                                         std::make_pair("{state}", kStateFolder)}) {
            const size_t at = t.find(name);
            t = at == std::string::npos ? t : t.replace(at, strlen(name), value);
        }
        return t;
    };
    const auto direct = [](const std::string& pdu) { return "urc +CMT: ," + std::to_string(pdu.size() / 2 - 1) + "\\r\\n" + pdu; };
    for (const modem::Case& c : modem::cases(DMREG_SERVICE_RUNS)) {
        SCOPED_TRACE(c.where + ": " + c.title);
        SetUp();
        m_modem.control("reset");
        const size_t from = m_modem.record().size();
        std::string more;
        std::pair<std::string, int> ran;
        for (const auto& [word, written] : c.steps) {
            SCOPED_TRACE(word + " " + written);
            const std::string rest = text(written, word == "output" || word == "file");
            const size_t space = rest.find(' ');
            if (word == "stores" || word == "delivers" || word == "direct") {  // STORAGE[:STATUS] PORT[/REF/TOTAL/SEQ] TEXT
                std::string storage = rest.substr(0, space);
                std::replace(storage.begin(), storage.end(), ':', ' ');
                int port = 0;
                int in[3] = {-1, 0, 0};  // a segment's reference, total and number
                sscanf(rest.c_str() + space + 1, "%d/%d/%d/%d", &port, &in[0], &in[1], &in[2]);
                const std::string pdu = modem::reply(rest.substr(rest.find(' ', space + 1) + 1), port, in[0], in[1], in[2]);
                const std::string line = word == "direct" ? direct(pdu) : word.substr(0, word.size() - 1) + " " + storage + " " + pdu;
                EXPECT_EQ(m_modem.control(line).substr(0, 2), "ok") << line;
            } else if (word == "strangers") {  // FROM TO: the acknowledgement from +15550191000 + each, without storage
                for (int i = std::stoi(rest); i < std::stoi(rest.substr(space)); ++i) {
                    m_modem.control(direct(modem::reply(kAck, 16999, -1, 0, 0, "+1555019" + std::to_string(1000 + i))));
                }
            } else if (word == "sim") {  // LINE, or LINE => ITS WHOLE ANSWER
                const size_t arrow = rest.find(" => ");
                const std::string answer = m_modem.control(rest.substr(0, arrow));
                EXPECT_EQ(arrow == std::string::npos ? answer.substr(0, 2) : answer, arrow == std::string::npos ? "ok" : rest.substr(arrow + 4));
            } else if (word == "file") {  // NAME CONTENT, in the state folder; NAME/: a folder in its place
                const std::string path = kStateFolder + "/" + rest.substr(0, std::min(space, rest.find('/')));
                remove(path.c_str());
                rest.back() == '/' ? mkdir(path.c_str(), 0700) : (std::ofstream(path) << rest.substr(space + 1), 0);
            } else if (word == "config") {
                configure(more += rest + "\n");
            } else if (word == "start") {  // [slow] [NAME=VALUE ...]
                std::istringstream words(rest);
                std::vector<std::string> environment{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
                const bool slow = !environment.empty() && environment[0] == "slow";
                start(!slow, std::vector<std::string>(environment.begin() + slow, environment.end()));
            } else if (word == "told" || word == "saw") {
                EXPECT_TRUE(waitFor(rest + (word == "told" ? "\n" : ""))) << seen();
            } else if (word == "holds" || word == "absent") {
                EXPECT_EQ(seen().find(rest) != std::string::npos, word == "holds") << seen();
            } else if (word == "listening") {
                ASSERT_TRUE(listening()) << seen();
            } else if (word == "reply") {
                EXPECT_EQ(m_modem.control("reply " + kServer + " " + kAck).substr(0, 2), "ok");
                EXPECT_TRUE(recorded()) << seen();
            } else if (word == "end" || word == "stop") {
                EXPECT_EQ(word == "end" ? end() : stop(), std::stoi(rest));
            } else if (word == "sent" || word == "count") {
                EXPECT_EQ(count(word == "sent" ? "pdu " : rest.substr(space + 1), from), std::stoul(rest));
            } else if (word == "run") {
                ran = command(rest);
            } else if (word == "output") {  // a * of it stands for any text: a time
                EXPECT_EQ(fnmatch(rest.c_str(), ran.first.c_str(), FNM_NOESCAPE), 0) << ran.first;
            } else if (word == "exit") {
                EXPECT_EQ(std::to_string(ran.second), rest);
            } else {
                ADD_FAILURE() << "no such step";
            }
        }
    }
}

}  // namespace
