// dmreg-modem-sim: a cellular modem on a pseudo-terminal, for tests, the demo and anyone without
// hardware. It answers the AT commands of SIM state, identities, service centre and SMS in PDU
// mode from a script, keeps received messages in a store, and records every command and every
// submitted PDU. Lines on standard input steer it while it runs; each is answered on standard
// output. See usage() and the README.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

void usage(FILE* out)
{
    fprintf(out,
            "usage: dmreg-modem-sim --link PATH [--script FILE] [--record FILE]\n"
            "\n"
            "Serves a simulated modem on a new pseudo-terminal, reachable at PATH (a symbolic link),\n"
            "until standard input ends. A script's lines, and \"set\" lines on standard input, hold\n"
            "settings, \"KEY = VALUE\": echo (on, off, stuck), prompt (the bytes of the \"> \" prompt), send\n"
            "(what a submit gets: ok, or an answer), and \"answer COMMAND\" (the answer to one\n"
            "command). Successive answers are separated by \" | \", the last one repeating; the\n"
            "lines of one answer by \\n; OK follows unless the answer ends in a final result or\n"
            "{no-ok}; {pause} waits 20 ms, {silent} answers nothing, {vanish} takes the device away.\n"
            "Escapes: \\r \\n \\xNN \\\\.\n"
            "\n"
            "Standard input also takes: vanish, return, store PDU, deliver PDU (stored and announced\n"
            "with +CMTI), urc LINE, stored (the indexes in the store), reset. Each is answered with\n"
            "\"ok ...\" or \"error ...\" on standard output; \"ready PATH\" comes first.\n"
            "\n"
            "--record FILE appends \"cmd LINE\" for every command, \"pdu HEX\" for every submitted\n"
            "PDU and \"esc\" for an abandoned one.\n");
}

std::string unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[++i] == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i] == 'r' ? '\r' : text[i] == 'n' ? '\n' : text[i];
        }
    }
    return out;
}

std::vector<std::string> split(const std::string& text, const std::string& separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + separator.size()) {
        parts.push_back(text.substr(start, at - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::string trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// Successive answers, the last one repeating.
struct Answers {
    std::vector<std::string> list;
    size_t next = 0;
    std::string take() { return list.empty() ? "" : list[next < list.size() ? next++ : list.size() - 1]; }
};

class Modem {
public:
    Modem(std::string link, FILE* record) : m_link(std::move(link)), m_record(record) { reset(); }

    void reset()
    {
        m_settings.clear();
        m_store.clear();
        m_echo = true;
        m_reference = 1;
        const char* defaults[] = {
            "echo = on", "prompt = \\r\\n> ", "send = ok", "answer AT+CPIN? = +CPIN: READY",
            "answer AT+CLCK=\"SC\",2 = +CLCK: 0", "answer AT+CIMI = 001010123456789", "answer AT+CGSN = 490154203237518",
            "answer AT+GSN = 490154203237518", "answer AT+CSCA? = +CSCA: \"+15550100100\",145"};
        for (const char* line : defaults) {
            set(line);
        }
    }

    // "KEY = VALUE" or "answer COMMAND = VALUE"; false for a line of another form.
    bool set(const std::string& line)
    {
        const size_t eq = line.find(" = ");
        if (eq == std::string::npos) {
            return false;
        }
        const std::string key = trim(line.substr(0, eq));
        m_settings[key] = Answers{split(line.substr(eq + 3), " | "), 0};
        m_echo = key == "echo" ? m_settings[key].list[0] != "off" : m_echo;
        return true;
    }

    bool attach()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        const char* name = m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0 ? ptsname(m_master) : nullptr;
        // The simulator keeps the terminal open itself, so that the modem stays while a user comes and goes.
        m_slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        termios raw{};
        const std::string temp = m_link + ".new";
        unlink(temp.c_str());
        if (m_slave < 0 || tcgetattr(m_slave, &raw) != 0) {
            return false;
        }
        cfmakeraw(&raw);
        tcsetattr(m_slave, TCSANOW, &raw);
        return symlink(name, temp.c_str()) == 0 && rename(temp.c_str(), m_link.c_str()) == 0;
    }

    void detach()
    {
        unlink(m_link.c_str());
        close(m_master);
        close(m_slave);
        m_master = m_slave = -1;
        m_input.clear();
        m_dataMode = false;
    }

    int master() const { return m_master; }

    void received(const char* bytes, size_t size)
    {
        if (m_echo) {
            write(bytes, size);
        }
        for (size_t i = 0; i < size && m_master >= 0; ++i) {
            const char c = bytes[i];
            if (m_dataMode && (c == 0x1A || c == 0x1B)) {
                m_dataMode = false;
                note(c == 0x1A ? "pdu " + m_input : "esc");
                respond(c == 0x1A ? m_settings["send"].take() : "", c == 0x1A);
                m_input.clear();
            } else if (!m_dataMode && c == '\r') {
                const std::string line = trim(m_input);
                m_input.clear();
                if (!line.empty()) {
                    command(line);
                }
            } else if (c != '\n' || m_dataMode) {
                m_input += c;
            }
        }
    }

    // A line of standard input; answers what to print.
    std::string control(const std::string& line)
    {
        const std::string word = line.substr(0, line.find(' '));
        const std::string rest = trim(line.substr(word.size()));
        if (word == "vanish" && m_master >= 0) {
            detach();
        } else if (word == "return" && m_master < 0) {
            return attach() ? "ok" : "error cannot make a pseudo-terminal";
        } else if ((word == "store" || word == "deliver") && !rest.empty()) {
            const int index = m_store.empty() ? 1 : m_store.rbegin()->first + 1;
            m_store[index] = rest;
            if (word == "deliver") {
                emit("\r\n+CMTI: \"ME\"," + std::to_string(index) + "\r\n");
            }
            return "ok " + std::to_string(index);
        } else if (word == "urc") {
            emit("\r\n" + unescape(rest) + "\r\n");
        } else if (word == "stored") {
            std::string indexes;
            for (const auto& message : m_store) {
                indexes += " " + std::to_string(message.first);
            }
            return "ok" + indexes;
        } else if (word == "reset") {
            reset();
        } else if (word != "set" || !set(rest)) {
            return "error " + line;
        }
        return "ok";
    }

private:
    void note(const std::string& line)
    {
        if (m_record != nullptr) {
            fprintf(m_record, "%s\n", line.c_str());
            fflush(m_record);
        }
    }

    void write(const char* bytes, size_t size)
    {
        for (size_t done = 0; m_master >= 0 && done < size;) {
            const ssize_t n = ::write(m_master, bytes + done, size - done);
            done += n > 0 ? static_cast<size_t>(n) : size;
        }
    }

    // Writes bytes, waiting where {pause} stands and going away at {vanish}.
    void emit(const std::string& bytes)
    {
        const std::vector<std::string> paused = split(bytes, "{pause}");
        for (size_t i = 0; i < paused.size() && m_master >= 0; ++i) {
            if (i > 0) {
                const timespec pause{0, 20000000};
                nanosleep(&pause, nullptr);
            }
            const size_t vanish = paused[i].find("{vanish}");
            write(paused[i].data(), std::min(vanish, paused[i].size()));
            if (vanish != std::string::npos) {
                detach();
            }
        }
    }

    // An answer of lines, with OK after them unless one is a final result or {no-ok} is given.
    void respond(const std::string& answer, bool submitted = false)
    {
        if (answer.find("{silent}") != std::string::npos) {
            return;
        }
        std::string bytes;
        bool final = answer.find("{no-ok}") != std::string::npos;
        if (submitted && answer == "ok") {
            bytes = "\r\n+CMGS: " + std::to_string(m_reference++ % 256) + "\r\n";
        } else {
            for (const std::string& line : split(answer, "\\n")) {
                const std::string text = unescape(line.substr(0, line.find("{no-ok}")));
                final = final || text == "OK" || text == "ERROR" || text.compare(0, 5, "+CME ") == 0 ||
                        text.compare(0, 5, "+CMS ") == 0;
                bytes += text.empty() || text.find('{') == 0 ? text : "\r\n" + text + "\r\n";
            }
        }
        emit(bytes + (final ? "" : "\r\nOK\r\n"));
    }

    std::string stored(int index, const char* tag) const
    {
        const std::string& pdu = m_store.at(index);
        const size_t centre = 2 + 2 * static_cast<size_t>(strtol(pdu.substr(0, 2).c_str(), nullptr, 16));
        return std::string(tag) + (tag[4] == 'L' ? std::to_string(index) + "," : "") + "0,," +
               std::to_string(pdu.size() > centre ? (pdu.size() - centre) / 2 : 0) + "\\n" + pdu;
    }

    void command(const std::string& line)
    {
        note("cmd " + line);
        const auto scripted = m_settings.find("answer " + line);
        const int index = static_cast<int>(strtol(line.c_str() + std::min<size_t>(8, line.size()), nullptr, 10));
        std::string answer = "ERROR";
        if (scripted != m_settings.end()) {
            answer = scripted->second.take();
        } else if (line == "AT" || line.compare(0, 7, "AT+CMEE") == 0 || line.compare(0, 7, "AT+CMGF") == 0 ||
                   line.compare(0, 7, "AT+CSCS") == 0 || line.compare(0, 7, "AT+CNMI") == 0) {
            answer = "";
        } else if (line == "ATE0" || line == "ATE1") {
            m_echo = m_settings["echo"].list[0] == "stuck" || line == "ATE1";
            answer = "";
        } else if (line.compare(0, 7, "AT+CPMS") == 0) {
            answer = "+CPMS: " + std::to_string(m_store.size()) + ",30," + std::to_string(m_store.size()) + ",30," +
                     std::to_string(m_store.size()) + ",30";
        } else if (line.compare(0, 8, "AT+CMGS=") == 0) {
            m_dataMode = true;
            const std::string prompt = m_settings["prompt"].take();
            emit(prompt.find("{silent}") == std::string::npos ? unescape(prompt) : "");
            return;
        } else if (line == "AT+CMGL=4") {
            answer.clear();
            for (const auto& message : m_store) {
                answer += stored(message.first, "+CMGL: ") + "\\n";
            }
            answer = answer.empty() ? "" : answer.substr(0, answer.size() - 2);
        } else if (line.compare(0, 8, "AT+CMGR=") == 0 || line.compare(0, 8, "AT+CMGD=") == 0) {
            const bool read = line[6] == 'R';
            answer = m_store.count(index) == 0 ? "+CMS ERROR: 321" : read ? stored(index, "+CMGR: ") : "";
            if (!read) {
                m_store.erase(index);
            }
        }
        respond(answer);
    }

    std::string m_link;
    FILE* m_record;
    int m_master = -1;
    int m_slave = -1;
    bool m_echo = true;
    bool m_dataMode = false;
    std::string m_input;
    std::map<std::string, Answers> m_settings;
    std::map<int, std::string> m_store;
    unsigned m_reference = 1;
};

}  // namespace

int main(int argc, char** argv)
{
    std::string link, script, record;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            usage(stdout);
            return 0;
        }
        if ((arg == "--link" || arg == "--script" || arg == "--record") && i + 1 < argc) {
            (arg == "--link" ? link : arg == "--script" ? script : record) = argv[++i];
        } else {
            fprintf(stderr, "dmreg-modem-sim: unknown or incomplete option '%s'\n\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (link.empty()) {
        usage(stderr);
        return 2;
    }
    FILE* recordFile = record.empty() ? nullptr : fopen(record.c_str(), "a");
    if (!record.empty() && recordFile == nullptr) {
        fprintf(stderr, "dmreg-modem-sim: cannot open %s: %s\n", record.c_str(), strerror(errno));
        return 3;
    }
    Modem modem(link, recordFile);
    FILE* scriptFile = script.empty() ? nullptr : fopen(script.c_str(), "r");
    if (!script.empty() && scriptFile == nullptr) {
        fprintf(stderr, "dmreg-modem-sim: cannot open %s: %s\n", script.c_str(), strerror(errno));
        return 3;
    }
    char text[4096];
    for (int number = 1; scriptFile != nullptr && fgets(text, sizeof(text), scriptFile) != nullptr; ++number) {
        const std::string line = trim(text);
        if (!line.empty() && line[0] != '#' && !modem.set(line)) {
            fprintf(stderr, "dmreg-modem-sim: %s:%d: expected 'KEY = VALUE'\n", script.c_str(), number);
            return 3;
        }
    }
    if (scriptFile != nullptr) {
        fclose(scriptFile);
    }
    if (!modem.attach()) {
        fprintf(stderr, "dmreg-modem-sim: cannot make a pseudo-terminal at %s: %s\n", link.c_str(), strerror(errno));
        return 3;
    }
    printf("ready %s\n", link.c_str());
    fflush(stdout);
    std::string control;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {modem.master(), POLLIN, 0}};
        if (poll(fds, modem.master() >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
            break;
        }
        char buffer[4096];
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t got = read(modem.master(), buffer, sizeof(buffer));
            modem.received(buffer, got > 0 ? static_cast<size_t>(got) : 0);
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            const ssize_t got = read(STDIN_FILENO, buffer, sizeof(buffer));
            if (got <= 0) {
                break;
            }
            control.append(buffer, static_cast<size_t>(got));
            for (size_t lf; (lf = control.find('\n')) != std::string::npos; control.erase(0, lf + 1)) {
                printf("%s\n", modem.control(trim(control.substr(0, lf))).c_str());
                fflush(stdout);
            }
        }
    }
    modem.detach();
    return 0;
}
