// The telephony functions over the simulated modem, case by case from modem_cases.txt: each ends
// in its result within its time bound, with no descriptor or thread left behind; and every PDU
// they submit is read back by Wireshark's GSM SMS dissector.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <fstream>
#include <map>
#include <memory>
#include <time.h>

#include "at_channel.h"
#include "dmreg_config.h"
#include "modem.h"
#include "seam.h"
#include "trace.h"
#include "zavtapi.h"

namespace {

using modem::Case;

std::unique_ptr<modem::Simulator> g_modem;
// Every message the cases sent (its data), and the PDUs the modem took for it.
std::vector<std::pair<std::string, std::vector<std::string>>> g_sent;

size_t countOf(const char* folder)
{
    size_t n = 0;
    DIR* dir = opendir(folder);
    for (dirent* entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
        n += entry->d_name[0] != '.';
    }
    closedir(dir);
    return n;
}

// One call of a telephony function, and what it answered: the result, then the value it gave.
std::string call(const std::string& what)
{
    char text[TAPI_SMS_ADDRESS_LEN] = {};
    int32_t status = -1;
    uint8_t active = 9;
    uint32_t reference = 0;
    TAPI_RESULT result = atmodem::kBadRequest;
    std::string value;
    if (what == "status") {
        result = TAPI_ACCE_GetSimCardStatus(&status);
        value = std::to_string(status);
    } else if (what == "pin") {
        result = TAPI_SECURITY_GetPin1Status(TAPI_PIN1, &active);
        value = std::to_string(active);
    } else if (what == "imsi" || what == "imei" || what == "centre") {
        result = what == "imsi" ? TAPI_ACCE_GetImsi(text) : what == "imei" ? TAPI_ACCE_GetImei(text) : TAPI_SMS_GetServiceCenter(text);
        value = text;
    } else if (what.compare(0, 8, "command ") == 0) {  // the channel itself: the result and the lines taken
        const std::string line = what.substr(8);
        const size_t name = line.find_first_of("=?", 3);
        const atmodem::Answer answer = atmodem::Channel::shared().command(line, {{line.substr(2, name - 2) + ":"}});
        result = answer.result;
        for (const std::string& taken : answer.lines) {
            value += (value.empty() ? "" : "|") + taken;
        }
    } else if (what == "failure") {  // why the device could not be used, as the service is told
        result = TAPI_RESULT_SUCCESS;
        value = std::to_string(static_cast<int>(atmodem::Channel::shared().lastFailure().why));
    } else if (what == "with wrong arguments") {  // a caller's fault is refused, and never followed
        const std::string tooLong(40000, 'x');      // more than 255 segments
        const _TAPI_SMS_SEND_PORT_SM_S type1{1, 11, 1, 2, "", "+1", 0, 0, 1, "x"}, noData{2, 11, 1, 2, "", "+1", 0, 0, 5, nullptr},
            huge{2, 11, 1, 2, "", "+1", 0, 0, static_cast<uint16_t>(tooLong.size()), tooLong.c_str()};
        for (const TAPI_RESULT r : {TAPI_ACCE_GetSimCardStatus(nullptr), TAPI_SECURITY_GetPin1Status(TAPI_PIN1, nullptr),
                                    TAPI_ACCE_GetImsi(nullptr), TAPI_SMS_SendPortNumberSmUnblockMode(nullptr, &reference),
                                    TAPI_SMS_SendPortNumberSmUnblockMode(&type1, &reference),
                                    TAPI_SMS_SendPortNumberSmUnblockMode(&noData, &reference),
                                    TAPI_SMS_SendPortNumberSmUnblockMode(&huge, &reference)}) {
            value += (value.empty() ? "" : " ") + std::to_string(r);
        }
        result = TAPI_RESULT_SUCCESS;
    } else if (what.compare(0, 5, "send ") == 0) {
        std::string data;
        for (int i = 0; i < std::stoi(what.substr(5)); ++i) {
            data += static_cast<char>('0' + i % 75);
        }
        _TAPI_SMS_SEND_PORT_SM_S sms{2, 11, 16999, 16998, "+15550100100", "+15550100200", 0, 0,
                                     static_cast<uint16_t>(data.size()), data.c_str()};
        const size_t before = g_modem->record().size();
        result = TAPI_SMS_SendPortNumberSmUnblockMode(&sms, &reference);
        value = std::to_string(reference);
        g_sent.push_back({data, {}});
        const std::vector<std::string> record = g_modem->record();
        for (size_t i = before; i < record.size(); ++i) {
            if (record[i].compare(0, 4, "pdu ") == 0) {
                g_sent.back().second.push_back(record[i].substr(4));
            }
        }
    }
    return std::to_string(result) + (result == TAPI_RESULT_SUCCESS && !value.empty() ? " " + value : "");
}

class Modem : public ::testing::TestWithParam<Case> {};

TEST_P(Modem, AnswersWithinItsBound)
{
    atmodem::Channel::shared().release();
    g_modem->control("return");
    ASSERT_EQ(g_modem->control("reset"), "ok");
    const size_t descriptors = countOf("/proc/self/fd");
    const size_t threads = countOf("/proc/self/task");
    std::string last;
    long long took = 0;
    std::vector<std::string> queued;
    const size_t recordedBefore = g_modem->record().size();
    const auto recordedSince = [&] {
        const std::vector<std::string> record = g_modem->record();
        return std::vector<std::string>(record.begin() + static_cast<long>(std::min(recordedBefore, record.size())), record.end());
    };
    for (const auto& [step, rest] : GetParam().steps) {
        SCOPED_TRACE(step + " " + rest);
        if (step == "sim") {
            EXPECT_EQ(g_modem->control("set " + rest), "ok");
        } else if (step == "control") {
            g_modem->control(rest);
        } else if (step == "posix") {  // "write 2 EIO": the channel's second write from now on fails
            const std::map<std::string, seam::Posix> functions = {
                {"open", seam::Posix::Open}, {"write", seam::Posix::Write}, {"read", seam::Posix::Read}, {"poll", seam::Posix::Poll}};
            const std::map<std::string, int> errors = {{"EIO", EIO},       {"EAGAIN", EAGAIN}, {"EINTR", EINTR},
                                                       {"EACCES", EACCES}, {"EPERM", EPERM},   {"EBUSY", EBUSY},   {"ENOENT", ENOENT}};
            const std::string function = rest.substr(0, rest.find(' '));
            const std::string error = rest.substr(rest.rfind(' ') + 1);
            seam::failPosix(functions.at(function), std::stoi(rest.substr(function.size())), errors.at(error));
        } else if (step == "clock") {
            seam::clock = rest == "real" ? seam::Clock::Real : seam::Clock::WaitsTimeOut;
        } else if (step == "call") {
            // The test's clock alone: the call's sleeps and the waits it let time out. A loaded
            // machine's slowness is no part of the call's bound.
            const long start = seam::shiftMs.load();
            last = call(rest);
            took = seam::shiftMs.load() - start;
        } else if (step == "result") {
            EXPECT_EQ(last, rest);
        } else if (step == "lines") {
            EXPECT_EQ(std::to_string(last.size() > 2 ? std::count(last.begin(), last.end(), '|') + 1 : 0), rest) << last;
        } else if (step == "within") {
            EXPECT_LE(took, std::stoll(rest));
        } else if (step == "queued") {
            for (const atmodem::Unsolicited& u : atmodem::Channel::shared().takeUnsolicited()) {
                queued.push_back(u.line + (u.pdu.empty() ? "" : " " + u.pdu));
            }
            EXPECT_NE(std::find(queued.begin(), queued.end(), rest), queued.end());
        } else if (step == "queue") {
            EXPECT_EQ(std::to_string(atmodem::Channel::shared().takeUnsolicited().size()), rest);
        } else if (step == "recorded") {
            const std::vector<std::string> record = recordedSince();
            EXPECT_NE(std::find(record.begin(), record.end(), rest), record.end());
        } else if (step == "count") {
            const std::string line = rest.substr(rest.find(' ') + 1);
            const std::vector<std::string> record = recordedSince();
            EXPECT_EQ(std::to_string(std::count_if(record.begin(), record.end(),
                                                   [&](const std::string& l) { return l.compare(0, line.size(), line) == 0; })),
                      rest.substr(0, rest.find(' ')));
        }
    }
    seam::clock = seam::Clock::Real;
    seam::failPosix();
    atmodem::Channel::shared().release();
    EXPECT_EQ(countOf("/proc/self/fd"), descriptors) << "a descriptor left open";
    EXPECT_EQ(countOf("/proc/self/task"), threads) << "a thread left running";
}

INSTANTIATE_TEST_SUITE_P(Cases, Modem, ::testing::ValuesIn(modem::cases(DMREG_MODEM_CASES)),
                         [](const ::testing::TestParamInfo<Case>& info) { return "line" + info.param.where.substr(info.param.where.rfind(':') + 1); });

std::string hex(const std::string& data);

// What an earlier user of the port left, software flow control, is cleared; the port is had
// alone while the channel holds it, and shareable again once it lets go.
TEST(Channel, ClearsSoftwareFlowControlAndLetsThePortGo)
{
    atmodem::Channel::shared().release();
    g_modem->control("reset");
    const int fd = open(g_modem->device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios tty{};
    tcgetattr(fd, &tty);
    tty.c_iflag |= IXON | IXOFF | IXANY;
    tcsetattr(fd, TCSANOW, &tty);
    EXPECT_EQ(call("imsi"), "0 001010123456789");
    tcgetattr(fd, &tty);
    EXPECT_EQ(tty.c_iflag & (IXON | IXOFF | IXANY), 0u);
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) {  // qemu-user passes no TIOCGEXCL on
        close(fd);
        GTEST_SKIP() << "TIOCGEXCL cannot be asked here: " << strerror(errno);
    }
    EXPECT_EQ(exclusive, 1);
    atmodem::Channel::shared().release();
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);
}

// dmreg-host on the AT telephony registers a new SIM through the simulated modem, the server's
// acknowledgement coming over the local socket. Answers the PDUs the modem took.
std::vector<std::string> registerThroughTheModem(const std::string& tree)
{
    const std::string work = DMREG_TEST_WORK;
    std::ofstream(work + "/e2e-tree.txt") << tree;
    unlink(DMREG_TEST_STATUS_FILE);
    const size_t before = g_modem->record().size();
    trace::Program host({DMREG_TEST_BIN "/dmreg-host", "--fast", "--tree", work + "/e2e-tree.txt"},
                        {"LD_LIBRARY_PATH=" DMREG_TEST_LIB "/atmodem"});
    host.waitFor("listenAndProcess()\tENTER");
    const int client = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, DMREG_TEST_SOCKET_PATH};
    int connected = -1;
    for (int tries = 0; connected != 0 && tries < 2000; ++tries) {  // the trace says ENTER just before listen()
        connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        poll(nullptr, 0, connected == 0 ? 0 : 1);
    }
    EXPECT_EQ(connected, 0) << host.seen();
    EXPECT_GT(write(client, "IMEI:490154203237518/1", 22), 0);
    shutdown(client, SHUT_WR);
    char byte;
    EXPECT_EQ(read(client, &byte, 1), 0) << "the listener closes the connection once it has recorded";
    close(client);
    host.stop();
    std::ifstream status(DMREG_TEST_STATUS_FILE);
    std::string imsi;
    EXPECT_TRUE(std::getline(status, imsi) && imsi == "001010123456789") << "the registration is recorded:\n" << host.seen();
    std::vector<std::string> pdus;
    const std::vector<std::string> record = g_modem->record();
    for (size_t i = before; i < record.size(); ++i) {
        if (record[i].compare(0, 4, "pdu ") == 0) {
            pdus.push_back(record[i].substr(4));
        }
    }
    return pdus;
}

TEST(EndToEnd, HostRegistersANewSimThroughTheModemAsWiresharkReadsIt)
{
    if (std::string(DMREG_STATUS_FILE).find(DMREG_TEST_STATUS_FILE) != 0) {
        GTEST_SKIP() << "this build records registrations outside its build tree";
    }
    atmodem::Channel::shared().release();
    g_modem->control("return");
    g_modem->control("reset");
    std::ifstream in(DMREG_TEST_SUPPORT "/../../examples/trees/handset.txt");
    const std::string tree((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string longModel = tree;
    longModel.replace(longModel.find("Mod string ZV-100"), 17, "Mod string ZV-100 " + std::string(110, 'L'));
    const std::string text = "IMEI:490154203237518/Zav/ZV-100/1.0.3";
    const std::string longText = ("IMEI:490154203237518/Zav/ZV-100 " + std::string(110, 'L') + "/1.0.3").substr(0, 159);
    const std::vector<std::string> single = registerThroughTheModem(tree);
    const std::vector<std::string> segments = registerThroughTheModem(longModel);
    ASSERT_EQ(single.size(), 1u);
    ASSERT_EQ(segments.size(), 2u);
    std::vector<std::string> decoded = modem::decodedByWireshark({single[0], segments[0], segments[1]});
    if (decoded.empty()) {
        GTEST_SKIP() << "tshark is not installed: the PDUs were not decoded by Wireshark";
    }
    ASSERT_EQ(decoded.size(), 3u);
    // server number, 8-bit data valid for an hour, from the client port 16999 to the server port 16998
    EXPECT_EQ(decoded[0], "1|1|15550100200|4|2|11|16998|16999||||" + hex(text));
    for (std::string& fields : decoded) {  // the concatenation's reference is the sender's own
        const size_t reference = fields.find('|', fields.find("|16999|") + 1);
        fields.erase(reference + 1, fields.find('|', reference + 1) - reference - 1);
    }
    EXPECT_EQ(decoded[1], "1|1|15550100200|4|2|11|16998|16999||2|1|" + hex(longText.substr(0, 128)));
    EXPECT_EQ(decoded[2], "1|1|15550100200|4|2|11|16998|16999||2|2|" + hex(longText.substr(128)));
}

std::string hex(const std::string& data)
{
    std::string out;
    char octet[3];
    for (unsigned char c : data) {
        snprintf(octet, sizeof(octet), "%02x", c);
        out += octet;
    }
    return out;
}

class Simulated : public ::testing::Environment {
    void SetUp() override
    {
        seam::library = "libzavtapi.so";
        g_modem.reset(new modem::Simulator(std::string(DMREG_TEST_WORK) + "/modem"));
        setenv("ZAVTAPI_MODEM", g_modem->device.c_str(), 1);
        atmodem::Channel::shared();  // its own descriptors are no case's
    }

    // Wireshark's reading of every PDU sent: the number, the ports, 8-bit data valid for an hour,
    // and the message's own octets in each segment.
    void TearDown() override
    {
        std::vector<std::string> pdus;
        for (const auto& message : g_sent) {
            pdus.insert(pdus.end(), message.second.begin(), message.second.end());
        }
        const std::vector<std::string> decoded = modem::decodedByWireshark(pdus);
        if (decoded.empty() && !pdus.empty()) {
            printf("tshark is not installed: the %zu PDUs sent were not decoded by Wireshark\n", pdus.size());
        }
        size_t next = 0;
        for (const auto& message : g_sent) {
            const size_t parts = message.first.size() <= 133 ? 1 : (message.first.size() + 127) / 128;
            for (size_t i = 0; i < message.second.size() && next < decoded.size(); ++i, ++next) {
                std::string fields = decoded[next];  // the reference of a concatenation is the sender's own
                const size_t reference = fields.find('|', fields.find("|16999|") + 1);
                fields.erase(reference + 1, fields.find('|', reference + 1) - reference - 1);
                const size_t part = parts == 1 ? 1 : i % parts + 1;
                EXPECT_EQ(fields, "1|1|15550100200|4|2|11|16998|16999|" + (parts == 1 ? "||" : "|" + std::to_string(parts) + "|" + std::to_string(part)) +
                                      "|" + hex(message.first.substr((part - 1) * 128, parts == 1 ? std::string::npos : 128)));
            }
        }
        g_modem.reset();
    }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new Simulated);

}  // namespace
