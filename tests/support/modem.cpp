#include "modem.h"

#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace modem {

Simulator::Simulator(const std::string& path) : device(path)
{
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {  // the simulator keeps none but its own ends
        return;
    }
    unlink((path + ".record").c_str());
    m_pid = fork();
    if (m_pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        const std::string command = std::string(DMREG_EMULATOR " " DMREG_TEST_BIN "/dmreg-modem-sim --link ") + path +
                                    " --record " + path + ".record";
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_in = in[1];
    m_out = out[0];
    control("");  // "ready PATH" comes first
}

Simulator::~Simulator()
{
    close(m_in);  // the end of its input ends the simulator
    close(m_out);
    waitpid(m_pid, nullptr, 0);
}

std::string Simulator::control(const std::string& line)
{
    if (!line.empty() && write(m_in, (line + "\n").data(), line.size() + 1) < 0) {
        return "<no simulator>";
    }
    std::string answer;
    char c;
    while (read(m_out, &c, 1) == 1 && c != '\n') {
        answer += c;
    }
    return answer;
}

std::vector<std::string> Simulator::record() const
{
    std::vector<std::string> lines;
    std::ifstream in(device + ".record");
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string reply(const std::string& data, int destPort, int reference, int total, int seq, const std::string& from)
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
    char head[16];
    if (from.compare(0, 5, "name:") == 0) {  // an alphanumeric originator: the name in packed 7-bit
        const std::string name = from.substr(5);
        unsigned bits = 0;
        int held = 0;
        for (const char c : name) {
            bits |= static_cast<unsigned>(c & 0x7F) << held;
            for (held += 7; held >= 8; held -= 8, bits >>= 8) {
                snprintf(hex, sizeof(hex), "%02X", bits & 0xFF);
                address += hex;
            }
        }
        if (held > 0) {
            snprintf(hex, sizeof(hex), "%02X", bits & 0xFF);
            address += hex;
        }
        snprintf(head, sizeof(head), "0040%02zXD0", address.size());  // the length in semi-octets
    } else {
        for (size_t i = 0; i < digits.size(); i += 2) {
            address += i + 1 < digits.size() ? digits[i + 1] : 'F';
            address += digits[i];
        }
        snprintf(head, sizeof(head), "0040%02zX%s", digits.size(), from[0] == '+' ? "91" : "81");
    }
    snprintf(hex, sizeof(hex), "%02zX", userData.size() / 2);
    // no service centre, UDHI, the originator, 8-bit data, a time stamp, then the length
    return head + address + "000462216001030040" + std::string(hex) + userData;
}

std::vector<std::string> decodedByWireshark(const std::vector<std::string>& pdus)
{
    std::string command = DMREG_TEST_SUPPORT "/../../tools/sms-wireshark.sh --fields submit";
    for (const std::string& pdu : pdus) {
        command += " " + pdu;
    }
    std::vector<std::string> decoded;
    FILE* out = popen((command + " 2>/dev/null").c_str(), "r");
    char line[4096];
    while (out != nullptr && fgets(line, sizeof(line), out) != nullptr) {
        decoded.emplace_back(line, strcspn(line, "\n"));
    }
    if (out != nullptr) {
        pclose(out);
    }
    return decoded;
}

std::vector<Case> cases(const std::string& path)
{
    std::vector<Case> all;
    std::ifstream in(path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string word = line.substr(0, line.find(' '));
        const std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
        if (word == "case") {
            all.push_back({rest, path.substr(path.rfind('/') + 1) + ":" + std::to_string(number), {}});
        } else if (!word.empty() && word[0] != '#' && !all.empty()) {
            all.back().steps.emplace_back(word, rest);
        }
    }
    return all;
}

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.where << ": " << c.title;
}

}  // namespace modem
