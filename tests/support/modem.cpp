#include "modem.h"

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
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
    if (system("command -v tshark >/dev/null && command -v text2pcap >/dev/null") != 0) {
        return {};
    }
    // Each TPDU in an RP-DATA from the phone to the network, as Wireshark takes it on DLT 147.
    const std::string dump = std::string(DMREG_TEST_WORK) + "/wireshark";
    std::ofstream hex(dump + ".txt");
    for (const std::string& pdu : pdus) {
        const size_t centre = 2 + 2 * std::stoul(pdu.substr(0, 2), nullptr, 16);
        std::string rp = "000100" + (centre > 2 ? pdu.substr(0, centre) : "0191");  // RP-DA: the centre, or none
        char length[20];
        snprintf(length, sizeof(length), "%02zX", (pdu.size() - centre) / 2);
        rp += length + pdu.substr(centre);
        hex << "0000";
        for (size_t i = 0; i < rp.size(); i += 2) {
            hex << " " << rp.substr(i, 2);
        }
        hex << "\n";
    }
    hex.close();
    const std::string fields = "-e gsm_sms.tp-mti -e gsm_sms.tp-udhi -e gsm_sms.tp-da -e gsm_sms.tp-dcs -e gsm_sms.tp-vpf "
                               "-e gsm_sms.vp.validity_period -e gsm_sms.destination_port -e gsm_sms.originator_port "
                               "-e gsm_sms.udh.mm.msg_id -e gsm_sms.udh.mm.msg_parts -e gsm_sms.udh.mm.msg_part "
                               "-e gsm_sms.sms_body";
    const std::string command = "text2pcap -q -l 147 " + dump + ".txt " + dump + ".pcap && tshark -r " + dump +
                                ".pcap -o 'uat:user_dlts:\"User 0 (DLT=147)\",\"gsm_a_rp\",\"0\",\"\",\"0\",\"\"' "
                                "-o gsm_sms.reassemble:FALSE -T fields -E separator='|' " + fields + " 2>/dev/null";
    std::vector<std::string> decoded;
    FILE* out = popen(command.c_str(), "r");
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
