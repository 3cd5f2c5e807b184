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

}  // namespace modem
