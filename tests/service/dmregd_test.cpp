// dmregd against the simulated modem: the server's replies, stored before the start, arriving
// during the PIN wait, in segments, for other ports or corrupt, and a modem that goes and comes
// back; each ends as it must, nothing lost and no other message touched. And its settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "dmreg_config.h"
#include "modem.h"
#include "trace.h"

namespace {

const std::string kWork = DMREG_TEST_WORK;
const std::string kAck = "IMEI:490154203237518/1";

// An SMS-DELIVER of 8-bit data from the server's port 16998 to destPort, whole or as segment seq
// of total under reference.
std::string reply(const std::string& data, int destPort = 16999, int reference = -1, int total = 0, int seq = 0)
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
    snprintf(hex, sizeof(hex), "%02zX", userData.size() / 2);
    // no service centre, UDHI, from +15550100200, 8-bit data, a time stamp, then the length
    return "00400B915155100002F0000462216001030040" + std::string(hex) + userData;
}

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ifstream tree(DMREG_TEST_SUPPORT "/../../examples/trees/handset.txt");
        std::ofstream(kWork + "/service-tree.txt") << tree.rdbuf();
        std::ofstream(kWork + "/dmregd.conf") << "modem = " << m_modem.device << "\ntree = " << kWork << "/service-tree.txt\n";
        unlink(DMREG_STATUS_FILE);
        mkdir(std::string(DMREG_SOCKET_PATH).substr(0, std::string(DMREG_SOCKET_PATH).rfind('/')).c_str(), 0700);
    }

    void TearDown() override
    {
        if (m_dmregd) {
            EXPECT_EQ(stop(), 0);
        }
    }

    void start()
    {
        m_dmregd.reset(new trace::Program({DMREG_TEST_BIN "/dmregd", "--fast", "--config", kWork + "/dmregd.conf"}));
    }

    bool waitFor(const std::string& text) { return m_dmregd->waitFor(text); }
    const std::string& seen() const { return m_dmregd->seen(); }

    // SIGTERM: dmregd ends, its socket removed and the modem released; answers its exit status.
    int stop()
    {
        const int status = m_dmregd->stop();
        m_dmregd.reset();
        struct stat st;
        EXPECT_NE(stat(DMREG_SOCKET_PATH, &st), 0) << "the socket is left";
        return status;
    }

    // The acknowledgement handed over, taken out of storage, and the registration recorded.
    bool recorded()
    {
        return waitFor("[dmregd] receiver: message from +15550100200 handed to the listener: " + kAck + "\n") &&
               std::ifstream(DMREG_STATUS_FILE).peek() == '0';
    }
    bool sentTo(const std::string& line)
    {
        const std::vector<std::string> record = m_modem.record();
        return std::find(record.begin(), record.end(), line) != record.end();
    }

    modem::Simulator m_modem{kWork + "/service-modem"};
    std::unique_ptr<trace::Program> m_dmregd;
};

TEST_F(Service, AReplyStoredBeforeTheStartIsHandedOnceTheListenerWaits)
{
    ASSERT_EQ(m_modem.control("store " + reply(kAck)), "ok 1");
    start();
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_TRUE(sentTo("cmd AT+CMGD=1"));
    EXPECT_EQ(m_modem.control("stored"), "ok");
    const auto sent = [this] {
        const std::vector<std::string> record = m_modem.record();
        return std::count_if(record.begin(), record.end(), [](const std::string& l) { return l.compare(0, 4, "pdu ") == 0; });
    };
    EXPECT_EQ(sent(), 1);
    EXPECT_EQ(stop(), 0);
    start();
    EXPECT_TRUE(waitFor("[dmregd] the registration has ended\n")) << "the same SIM is not registered again";
    EXPECT_EQ(sent(), 1);
}

TEST_F(Service, AReplyDuringThePinWait)
{
    m_modem.control("set answer AT+CPIN? = +CPIN: SIM PIN");
    start();
    ASSERT_TRUE(waitFor("PIN is ON")) << seen();
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck)), "ok 1");
    m_modem.control("set answer AT+CPIN? = +CPIN: READY");
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(m_modem.control("stored"), "ok");
}

TEST_F(Service, ARepliesInSegmentsAreJoinedAndAnIncompleteSetIsForgotten)
{
    start();
    ASSERT_TRUE(waitFor("listenAndProcess()\tENTER"));
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck.substr(0, 9), 16999, 7, 2, 1)), "ok 1");
    ASSERT_TRUE(waitFor("waited in vain for the rest")) << "one segment is forgotten after its time";
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck.substr(0, 9), 16999, 8, 2, 1)), "ok 2");
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck.substr(9), 16999, 8, 2, 2)), "ok 3");
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(m_modem.control("stored"), "ok 1") << "the forgotten segment stays in storage";
}

TEST_F(Service, RepliesForOtherPortsCorruptAndOversizeOnesAreLeftWhereTheyAre)
{
    start();
    ASSERT_TRUE(waitFor("listenAndProcess()\tENTER"));
    EXPECT_EQ(m_modem.control("deliver " + reply("for the WAP stack", 2948)), "ok 1");
    EXPECT_EQ(m_modem.control("deliver 0040F"), "ok 2");
    EXPECT_EQ(m_modem.control("deliver " + reply(std::string(100, 'x'), 16999, 9, 2, 1)), "ok 3");
    EXPECT_EQ(m_modem.control("deliver " + reply(std::string(100, 'y'), 16999, 9, 2, 2)), "ok 4");
    EXPECT_EQ(m_modem.control("deliver " + reply(kAck)), "ok 5");
    EXPECT_TRUE(waitFor("[dmregd] receiver: message 2 is corrupt (not hex): left in storage\n"));
    EXPECT_TRUE(waitFor("[dmregd] receiver: message from +15550100200 holds 200 characters, more than the listener "
                        "takes: left in storage\n"));
    EXPECT_TRUE(recorded()) << seen();
    EXPECT_EQ(m_modem.control("stored"), "ok 1 2 3 4");
    EXPECT_FALSE(sentTo("cmd AT+CMGD=1") || sentTo("cmd AT+CMGD=2") || sentTo("cmd AT+CMGD=3"));
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
}

TEST_F(Service, WithoutAModemItFailsToBeStartedAgain)
{
    std::ofstream(kWork + "/dmregd.conf") << "modem = " << kWork << "/no-modem\ntree = " << kWork << "/service-tree.txt\n";
    start();
    EXPECT_TRUE(waitFor("[dmregd] no modem answers at " + kWork + "/no-modem: the SIM was not checked\n")) << seen();
    EXPECT_EQ(stop(), 1);
}

TEST(ServiceSettings, MalformedOnesNameTheirLine)
{
    const struct {
        const char* settings;
        const char* message;
    } cases[] = {
        {"modem = /dev/ttyUSB2\nbaud = fast\n", ":2: baud is no number: baud = fast"},
        {"# the modem\nmodme = /dev/ttyUSB2\n", ":2: unknown setting: modme = /dev/ttyUSB2"},
        {"modem = /dev/ttyUSB2\nrtscts = maybe\n", ":2: rtscts is yes or no: rtscts = maybe"},
        {"modem /dev/ttyUSB2\n", ":1: expected 'key = value': modem /dev/ttyUSB2"},
        {"baud = 9600\n", ": no modem given (modem = /dev/ttyUSB2, say)"},
    };
    const std::string path = kWork + "/bad.conf";
    for (const auto& c : cases) {
        std::ofstream(path) << c.settings;
        FILE* out = popen((DMREG_TEST_BIN "/dmregd --check --config " + path + " 2>&1; echo exit $?").c_str(), "r");
        char text[512] = {};
        fread(text, 1, sizeof(text) - 1, out);
        pclose(out);
        EXPECT_EQ(std::string(text), "dmregd: " + path + c.message + "\nexit 2\n");
    }
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
    EXPECT_EQ(std::count(record.begin(), record.end(), "cmd AT+CMGS=58"), 0);
}

}  // namespace
