// dmregd against the simulated modem, from start to its end: replies stored before the start,
// arriving during the PIN wait, in segments, forged or for other ports, found only by a listing;
// sends that fail or whose device vanishes; a stop at every state; and who may reach its socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <poll.h>
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
const std::string kAck = "IMEI:490154203237518/1";
const std::string kServer = "+15550100200";
const std::string kRunFolder = std::string(DMREG_SOCKET_PATH).substr(0, std::string(DMREG_SOCKET_PATH).rfind('/'));
const std::string kStateFolder = std::string(DMREG_STATUS_FILE).substr(0, std::string(DMREG_STATUS_FILE).rfind('/'));

// An SMS-DELIVER of 8-bit data from the server's port 16998 to destPort, whole or as segment seq
// of total under reference, from a number ("+" for the international type).
std::string reply(const std::string& data, int destPort = 16999, int reference = -1, int total = 0, int seq = 0,
                  const std::string& from = kServer)
{
    char hex[40];
    if (reference < 0) {
        snprintf(hex, sizeof(hex), "060504%04X4266", destPort);
    } else {
        snprintf(hex, sizeof(hex), "0B0504%04X42660003%02X%02X%02X", destPort, reference, total, seq);
    }
    std::string userData = hex;
    for (unsigned char c : data) {
        snprintf(hex, sizeof(hex), "%02X", c);
        userData += hex;
    }
    std::string digits = from.substr(from[0] == '+' ? 1 : 0);
    std::string address;
    for (size_t i = 0; i < digits.size(); i += 2) {
        address += i + 1 < digits.size() ? digits[i + 1] : 'F';
        address += digits[i];
    }
    char head[16];
    snprintf(head, sizeof(head), "0040%02zX%s", digits.size(), from[0] == '+' ? "91" : "81");
    snprintf(hex, sizeof(hex), "%02zX", userData.size() / 2);
    // no service centre, UDHI, the originator, 8-bit data, a time stamp, then the length
    return head + address + "000462216001030040" + std::string(hex) + userData;
}

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ifstream tree(DMREG_TEST_SUPPORT "/../../examples/trees/handset.txt");
        std::ofstream(kWork + "/service-tree.txt") << tree.rdbuf();
        configure("");
        unlink(DMREG_STATUS_FILE);
        unlink((kStateFolder + "/dmregd.state").c_str());
        mkdir(kRunFolder.c_str(), 0700);
    }

    void TearDown() override
    {
        if (m_dmregd && m_dmregd->running()) {
            EXPECT_EQ(stop(), 0);
        }
    }

    void configure(const std::string& more)
    {
        std::ofstream(kWork + "/dmregd.conf") << "modem = " << m_modem.device << "\ntree = " << kWork << "/service-tree.txt\n"
                                               << (more.find("retry_interval") == std::string::npos ? "retry_interval = 1\n" : "") << more;
    }

    void start(bool fast = true)
    {
        std::vector<std::string> argv = {DMREG_TEST_BIN "/dmregd", "--config", kWork + "/dmregd.conf"};
        if (fast) {
            argv.push_back("--fast");
        }
        m_dmregd.reset(new trace::Program(argv));
    }

    bool waitFor(const std::string& text) { return m_dmregd->waitFor(text); }
    const std::string& seen() const { return m_dmregd->seen(); }

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
        return waitFor("[dmregd] receiver: message from " + kServer + " handed to the listener: " + kAck + "\n") &&
               waitFor("[dmregd] the registration is confirmed\n") && std::ifstream(DMREG_STATUS_FILE).peek() == '0';
    }
    // Waits, within 20 s, until the modem has recorded a line that starts so.
    bool recorded(const std::string& start) const
    {
        for (int waits = 0; count(start) == 0 && waits < 2000; ++waits) {
            poll(nullptr, 0, 10);
        }
        return count(start) > 0;
    }
    size_t count(const std::string& start) const
    {
        const std::vector<std::string> record = m_modem.record();
        return std::count_if(record.begin(), record.end(), [&](const std::string& l) { return l.compare(0, start.size(), start) == 0; });
    }

    modem::Simulator m_modem{kWork + "/service-modem"};
    std::unique_ptr<trace::Program> m_dmregd;
};

TEST_F(Service, RegistersAndEndsOnceTheServerConfirms)
{
    ASSERT_EQ(m_modem.control("store " + reply(kAck)), "ok 1");
    start();
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(count("cmd AT+CMGD=1"), 1u);
    EXPECT_EQ(m_modem.control("stored"), "ok");
    EXPECT_EQ(count("pdu "), 1u);
    start();
    EXPECT_TRUE(waitFor("[dmregd] the SIM 001010123456789 is registered already\n")) << seen();
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(count("pdu "), 1u) << "the same SIM is not registered again";
}

TEST_F(Service, AReplyDuringThePinWait)
{
    m_modem.control("set answer AT+CPIN? = +CPIN: SIM PIN");
    start();
    ASSERT_TRUE(waitFor("PIN is ON")) << seen();
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck)), "ok 1");
    m_modem.control("set answer AT+CPIN? = +CPIN: READY");
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
}

TEST_F(Service, RepliesInSegmentsAreJoinedAndAnIncompleteSetIsForgotten)
{
    start();
    ASSERT_TRUE(waitFor("listenAndProcess()\tENTER"));
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck.substr(0, 9), 16999, 7, 2, 1)), "ok 1");
    ASSERT_TRUE(waitFor("waited in vain for the rest")) << "one segment is forgotten after its time";
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck.substr(0, 9), 16999, 8, 2, 1)), "ok 2");
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck.substr(9), 16999, 8, 2, 2)), "ok 3");
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(m_modem.control("stored"), "ok ME:1:1") << "the forgotten segment stays in storage";
}

TEST_F(Service, OnlyTheServerConfirmsAndEverythingElseIsLeftWhereItIs)
{
    EXPECT_EQ(m_modem.control("store 3 " + reply(kAck)), "ok 1");  // a SUBMIT stored to be sent, of the same bytes
    start();
    ASSERT_TRUE(waitFor("listenAndProcess()\tENTER"));
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck, 16999, -1, 0, 0, "+15550199999")), "ok 2");  // forged
    EXPECT_EQ(m_modem.control("deliver " + reply("for the WAP stack", 2948)), "ok 3");
    EXPECT_EQ(m_modem.control("deliver 0040F"), "ok 4");
    EXPECT_EQ(m_modem.control("deliver " + reply(std::string(100, 'x'), 16999, 9, 2, 1)), "ok 5");
    EXPECT_EQ(m_modem.control("deliver " + reply(std::string(100, 'y'), 16999, 9, 2, 2)), "ok 6");
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck + std::string(1, '\0') + "junk")), "ok 7");
    ASSERT_TRUE(waitFor("holds a NUL byte, which no acknowledgement does: left in storage\n")) << seen();
    // The server's number as the network may give it: without the international type.
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck, 16999, -1, 0, 0, "15550100200")), "ok 8");
    EXPECT_TRUE(waitFor("handed to the listener: " + kAck + "\n") && waitFor("[dmregd] the registration is confirmed\n")) << seen();
    EXPECT_EQ(end(), 0);
    for (const char* told : {"message from +15550199999 to port 16999 is not from the server's number: left in storage\n",
                                    "message ME:4 is corrupt (not hex): left in storage\n",
                                    "holds 200 characters, more than the listener takes: left in storage\n"}) {
        EXPECT_NE(seen().find(told), std::string::npos) << told;
    }
    EXPECT_EQ(seen().find("ME:1 is corrupt"), std::string::npos) << "a SUBMIT is no corrupt message";
    EXPECT_EQ(seen().find("save reg flag fail"), std::string::npos) << "no forged reply reached the listener";
    EXPECT_EQ(m_modem.control("stored"), "ok ME:1:3 ME:2:1 ME:3:1 ME:4:1 ME:5:1 ME:6:1 ME:7:1");
}

TEST_F(Service, ReadsWhereTheAnnouncementSaysAgainAfterAFailureAndFindsWhatNoneAnnounced)
{
    configure("list_interval = 3\n");  // the second read comes before the listing
    m_modem.control("set answer AT+CMGR=0 = ERROR | {default}");
    m_modem.control("set answer AT+CMGD=0 = ERROR | {default}");
    start();
    ASSERT_TRUE(waitFor("listenAndProcess()\tENTER"));
    EXPECT_EQ(m_modem.control("deliver SM " + reply(kAck.substr(0, 21) + "0")), "ok 0");  // read twice, from SM
    EXPECT_TRUE(waitFor("save reg flag fail")) << seen();
    EXPECT_EQ(count("cmd AT+CMGR=0"), 2u);
    EXPECT_TRUE(waitFor("[dmregd] receiver: message SM:0 was handed on but could not be deleted: it is deleted later\n"));
    EXPECT_EQ(m_modem.control("store " + reply(kAck)), "ok 1");  // its +CMTI lost
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(m_modem.control("stored"), "ok");
}

TEST_F(Service, AModemThatVanishesAndComesBack)
{
    start();
    ASSERT_TRUE(waitFor("listenAndProcess()\tENTER"));
    m_modem.control("vanish");
    ASSERT_TRUE(waitFor("has gone away"));
    m_modem.control("return");
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck)), "ok 1");
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
}

TEST_F(Service, TriesAgainAfterAFailedSendAndGivesUpAfterItsTries)
{
    configure("retries = 1\n");
    m_modem.control("set send = +CMS ERROR: 500");
    start();
    EXPECT_TRUE(waitFor("[dmregd] registration: try 2 of 2\n")) << seen();
    EXPECT_TRUE(waitFor("[dmregd] every try failed: giving up until the service is started again\n")) << seen();
    EXPECT_EQ(end(), 4);
    EXPECT_EQ(count("pdu "), 8u) << "each try's send asked the modem four times";
}

TEST_F(Service, SendsWhenTheDeviceVanishedAtThePromptAndCameBack)
{
    m_modem.control("set prompt = {blink} | \\r\\n> ");
    start();
    ASSERT_TRUE(waitFor("Message sent successfully")) << seen();
    EXPECT_EQ(count("pdu "), 1u);
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck)), "ok 1");
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
}

TEST_F(Service, SendsAgainWhenNoReplyComesWithinItsWait)
{
    configure("retries = 1\nreply_wait = 1\n");
    start();
    EXPECT_TRUE(waitFor("[dmregd] registration: try 2 of 2\n")) << seen();
    EXPECT_EQ(end(), 4);
    EXPECT_EQ(count("pdu "), 2u);
}

TEST_F(Service, ACrashBetweenSendAndReplyAwaitsTheReplyWithoutSendingAgain)
{
    start();
    ASSERT_TRUE(waitFor("listenAndProcess()\tENTER")) << seen();
    m_dmregd->stop(SIGKILL);
    start();
    EXPECT_TRUE(waitFor("[dmregd] awaiting the server's reply to the registration sent before\n")) << seen();
    EXPECT_TRUE(waitFor("listenAndProcess()\tENTER"));
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck)), "ok 1");
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(count("pdu "), 1u);
}

TEST_F(Service, LivesOnWhenTheReaderOfItsTraceGoesAway)
{
    start();
    ASSERT_TRUE(waitFor("listenAndProcess()\tENTER"));
    m_dmregd->closeTrace();  // its standard error is a pipe nobody reads: SIGPIPE at the next line
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck)), "ok 1");
    EXPECT_EQ(end(), 0);
    EXPECT_EQ(std::ifstream(DMREG_STATUS_FILE).peek(), '0') << "registered all the same";
}

TEST_F(Service, WithoutAModemItFailsToBeStartedAgain)
{
    std::ofstream(kWork + "/dmregd.conf") << "modem = " << kWork << "/no-modem\ntree = " << kWork << "/service-tree.txt\n";
    start();
    EXPECT_TRUE(waitFor("[dmregd] no modem answers: the SIM was not checked\n")) << seen();
    EXPECT_EQ(end(), 1);
}

TEST_F(Service, ATreeNotConfiguredIsSaidSo)
{
    std::ofstream(kWork + "/service-tree.txt") << "./DevDetail/Ext/Conf/PMF/Agents/Registration/Enable bool true\n";
    start();
    EXPECT_TRUE(waitFor("[dmregd] not configured for registration: no operator code of 5 digits or more is set under MNC in " +
                        kWork + "/service-tree.txt."))
        << seen();
    EXPECT_EQ(end(), 6);
    std::ofstream(kWork + "/dmregd.conf") << "modem = /dev/ttyUSB2\nbaud = 12345\n";
    start();
    EXPECT_TRUE(waitFor("dmregd: " + kWork + "/dmregd.conf:2: baud is none of the serial speeds"));
    EXPECT_EQ(end(), 2);
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
        {"the next try awaited", true, "set send = +CMS ERROR: 304", "[dmregd] the registration SMS was not sent"},
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
        EXPECT_EQ(stop(), 0);
        EXPECT_LE(m_dmregd->stopMs(), 2000);
        EXPECT_NE(seen().find("[dmregd] stopping (Terminated)\n"), std::string::npos);
    }
    EXPECT_EQ(count("esc"), 1u);
}

TEST_F(Service, NoOtherUserReachesTheSocketOrTheState)
{
    start();
    ASSERT_TRUE(waitFor("listenAndProcess()\tENTER"));
    for (const std::string& folder : {kRunFolder, kStateFolder}) {
        struct stat st;
        ASSERT_EQ(stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << folder;
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

TEST(ServiceCheck, TellsWhatTheModemSaysAndRegistersNothing)
{
    modem::Simulator sim(kWork + "/check-modem");
    std::ofstream(kWork + "/check.conf") << "modem = " << sim.device << "\n";
    FILE* out = popen((DMREG_TEST_BIN "/dmregd --check --config " + kWork + "/check.conf 2>/dev/null").c_str(), "r");
    char text[512] = {};
    fread(text, 1, sizeof(text) - 1, out);
    EXPECT_EQ(pclose(out), 0);
    EXPECT_EQ(std::string(text), "modem " + sim.device + "\nSIM: ready\nSIM PIN asked for: no\nIMSI: 001010123456789\n"
                                 "IMEI: 490154203237518\nservice centre: +15550100100\n");
    const std::vector<std::string> record = sim.record();
    EXPECT_EQ(std::count_if(record.begin(), record.end(), [](const std::string& l) { return l.compare(0, 8, "cmd AT+CMGS") == 0; }), 0);
}

}  // namespace
