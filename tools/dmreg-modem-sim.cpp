// dmreg-modem-sim: a cellular modem on a pseudo-terminal, for tests, the demo and anyone without
// hardware. It answers the AT commands of SIM state, identities, service centre and SMS in PDU
// mode from a script, keeps received messages in a store, and records every command and every
// submitted PDU. Lines on standard input steer it while it runs; each is answered on standard
// output. See usage() and the README.
#include <algorithm>
#include <cctype>
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
            "settings, \"KEY = VALUE\": echo (on, off, stuck), prompt (the bytes of the \"> \" prompt, or\n"
            "a final result that refuses the data), send (what a submit gets: ok, or an answer), and\n"
            "\"answer COMMAND\" (the answer to one command). Successive answers are separated by\n"
            "\" | \", the last one repeating; the lines of one answer by \\n; OK follows unless the\n"
            "answer ends in a final result or {no-ok}; {pause} waits 20 ms, {silent} answers nothing,\n"
            "{late} holds the answer back until the next command comes, {vanish} takes the device\n"
            "away, {blink} takes it away and brings it back at once, {default} answers as the modem\n"
            "does without a setting. Escapes: \\r \\n \\xNN \\\\.\n"
            "\n"
            "Behaviours of other modules, as settings: chunk (line: answers written a line at a time;\n"
            "N: in pieces of N bytes), between (a line sent between a +CMGR:/+CMGL: header and its\n"
            "PDU), sms_after (the SMS service refuses N commands, then announces itself with\n"
            "+QIND: SMS DONE), cpms (the memories AT+CPMS takes: 1, 2 or 3), capacity (messages a\n"
            "storage holds; a delivery to a full one is lost, ^SMMEMFULL, unless AT+CNMI=2,2 hands\n"
            "it over with +CMT).\n"
            "\n"
            "Standard input also takes: vanish, return, store [STORAGE] [STATUS] PDU (STORAGE ME, SM\n"
            "or MT, ME when not given; STATUS 0 to 3, 1 when not given), deliver [STORAGE] PDU (stored\n"
            "unread and announced with +CMTI), reply [STORAGE] NUMBER TEXT (the server's reply from\n"
            "NUMBER, delivered: TEXT as 8-bit data between the ports of the \"ports\" setting, the\n"
            "client's 16999 and the server's 16998 when not set), pdu NUMBER TEXT (that reply's\n"
            "SMS-DELIVER in hex, not delivered), urc LINE, flood N LINE (an unsolicited result N\n"
            "times), datamode (waiting for a PDU, as a modem an earlier program left at the prompt),\n"
            "stored (STORAGE:INDEX:STATUS of each message), reboot [text] (the module starts afresh in\n"
            "place: RDY, echo on, no new-message indications, in PDU or text mode), reset. Each is\n"
            "answered with \"ok ...\" or\n"
            "\"error ...\" on standard output; \"ready PATH\" comes first.\n"
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

// Digits as an SMS carries them: each pair swapped, F filling the last (TS 23.040 9.1.2.3).
std::string semiOctets(std::string digits)
{
    if (digits.size() % 2 != 0) {
        digits += 'F';
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        std::swap(digits[i], digits[i + 1]);
    }
    return digits;
}

// The SMS-DELIVER of a server's reply: from number (international with "+"), 8-bit text from
// port source to port destination, stamped now (UTC); no service-centre address before it.
std::string deliverPdu(const std::string& number, const std::string& text, int destination, int source)
{
    const bool international = number[0] == '+';
    const std::string digits = number.substr(international ? 1 : 0);
    char stamp[16];
    const time_t now = time(nullptr);
    tm utc{};
    strftime(stamp, sizeof(stamp), "%y%m%d%H%M%S", gmtime_r(&now, &utc));
    char hex[32];
    snprintf(hex, sizeof(hex), "0044%02zX%s", digits.size(), international ? "91" : "81");
    std::string pdu = hex + semiOctets(digits) + "0004" + semiOctets(stamp) + "00";
    snprintf(hex, sizeof(hex), "%02zX060504%04X%04X", text.size() + 7, destination, source);  // the header is 7 octets
    pdu += hex;
    for (const unsigned char c : text) {
        snprintf(hex, sizeof(hex), "%02X", c);
        pdu += hex;
    }
    return pdu;
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
        m_stores.clear();
        m_readStorage = "ME";
        m_echo = true;
        m_reference = 1;
        m_late.clear();
        m_indications = true;
        m_direct = false;
        m_textMode = false;
        m_pending.clear();
        const char* defaults[] = {
            "echo = on", "prompt = \\r\\n> ", "send = ok", "ports = 16999 16998", "chunk = all", "between = ", "sms_after = 0",
            "cpms = 3", "capacity = 30", "answer AT+CPIN? = +CPIN: READY",
            "answer AT+CLCK=\"SC\",2 = +CLCK: 0", "answer AT+CIMI = 001010123456789", "answer AT+CGSN = 490154203237518",
            "answer AT+GSN = 490154203237518", "answer AT+CSCA? = +CSCA: \"+15550100100\",145"};
        for (const char* line : defaults) {
            set(line);
        }
        m_defaults = m_settings;  // what {default} answers
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
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
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
        m_output.clear();
        m_dataMode = false;
    }

    int master() const { return m_master; }
    bool writing() const { return !m_output.empty(); }

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
        std::vector<std::string> words = split(line, " ");
        const std::string word = words[0];
        const std::string rest = trim(line.substr(word.size()));
        if (word == "vanish" && m_master >= 0) {
            detach();
        } else if (word == "return" && m_master < 0) {
            return attach() ? "ok" : "error cannot make a pseudo-terminal";
        } else if ((word == "store" || word == "deliver") && words.size() >= 2) {
            // store [STORAGE] [STATUS] PDU
            size_t at = 1;
            const std::string storage = words.size() > 2 && words[1].size() == 2 && isupper(words[1][0]) ? words[at++] : "ME";
            const int status = word == "deliver" ? 0 : words.size() > at + 1 && words[at].size() == 1 && isdigit(words[at][0]) != 0 ? words[at++][0] - '0' : 1;
            std::map<int, Stored>& store = m_stores[storage];
            if (word == "deliver" && store.size() >= static_cast<size_t>(setting("capacity"))) {
                if (m_direct) {  // handed over without storage
                    emit("\r\n+CMT: ," + std::to_string(tpduOctets(words[at])) + "\r\n" + words[at] + "\r\n");
                    return "ok direct";
                }
                // Refused for want of memory: the network tries again once the modem takes it.
                m_pending.push_back(words[at]);
                emit("\r\n^SMMEMFULL: \"" + storage + "\"\r\n");
                return "ok pending";
            }
            int index = storage == "SM" ? 0 : 1;
            while (store.count(index) != 0) {
                ++index;
            }
            store[index] = {words[at], status};
            if (word == "deliver" && m_indications) {
                emit("\r\n+CMTI: \"" + storage + "\"," + std::to_string(index) + "\r\n");
            }
            return "ok " + std::to_string(index);
        } else if ((word == "reply" || word == "pdu") && words.size() >= 3) {
            // reply [STORAGE] NUMBER TEXT, pdu NUMBER TEXT
            const bool stored = word == "reply" && words[1].size() == 2 && isupper(words[1][0]);
            const size_t at = stored ? 2 : 1;
            const size_t textAt = line.find(' ', line.find(words[at])) ;
            if (words.size() <= at + 1 || textAt == std::string::npos || words[at].find_first_not_of("+0123456789") != std::string::npos) {
                return "error " + line;
            }
            const std::vector<std::string> ports = split(m_settings["ports"].list[0], " ");
            const std::string pdu = deliverPdu(words[at], line.substr(textAt + 1), static_cast<int>(strtol(ports[0].c_str(), nullptr, 10)),
                                               ports.size() > 1 ? static_cast<int>(strtol(ports[1].c_str(), nullptr, 10)) : 0);
            return word == "pdu" ? "ok " + pdu : control("deliver " + (stored ? words[1] + " " : std::string()) + pdu);
        } else if (word == "urc") {
            emit("\r\n" + unescape(rest) + "\r\n");
        } else if (word == "flood" && words.size() > 2) {
            const std::string urc = "\r\n" + unescape(trim(rest.substr(words[1].size()))) + "\r\n";
            for (long i = strtol(words[1].c_str(), nullptr, 10); i > 0; --i) {
                emit(urc);
            }
        } else if (word == "datamode") {
            m_dataMode = true;
        } else if (word == "stored") {
            std::string listing;
            for (const auto& store : m_stores) {
                for (const auto& message : store.second) {
                    listing += " " + store.first + ":" + std::to_string(message.first) + ":" + std::to_string(message.second.status);
                }
            }
            return "ok" + listing;
        } else if (word == "reset") {
            reset();
        } else if (word == "reboot") {  // the module starts afresh, its port kept
            m_echo = true;
            m_indications = false;
            m_direct = false;
            m_textMode = rest == "text";
            emit("\r\nRDY\r\n");
        } else if (word != "set" || !set(rest)) {
            return "error " + line;
        }
        return "ok";
    }

    // Sends what the device has not taken yet.
    void flush()
    {
        while (m_master >= 0 && !m_output.empty()) {
            const ssize_t n = ::write(m_master, m_output.data(), m_output.size());
            if (n <= 0) {
                return;  // the terminal is full: later, when it takes more
            }
            m_output.erase(0, static_cast<size_t>(n));
        }
    }

private:
    struct Stored {
        std::string pdu;
        int status;  // 0 received unread, 1 received read, 2 stored unsent, 3 stored sent
    };

    void note(const std::string& line)
    {
        if (m_record != nullptr) {
            fprintf(m_record, "%s\n", line.c_str());
            fflush(m_record);
        }
    }

    void write(const char* bytes, size_t size)
    {
        if (m_master >= 0) {
            m_output.append(bytes, size);
            flush();
        }
    }

    // Writes bytes, waiting where {pause} stands, going away at {vanish}, and coming back at once
    // after {blink}.
    void emit(const std::string& given)
    {
        // A line at a time, or in pieces of a few bytes, as USB modems write under load.
        const std::string chunk = m_settings["chunk"].list[0];
        const size_t piece = chunk == "line" ? 0 : chunk == "all" ? std::string::npos : static_cast<size_t>(setting("chunk"));
        std::string bytes;
        size_t written = 0;
        for (size_t i = 0; i < given.size(); ++i) {
            if (given[i] == '{' && given.find('}', i) != std::string::npos) {  // a marker is no bytes
                bytes += given.substr(i, given.find('}', i) - i + 1);
                i = given.find('}', i);
                continue;
            }
            bytes += given[i];
            ++written;
            const bool cut = piece == 0 ? given[i] == '\n' : piece != std::string::npos && written % piece == 0;
            if (cut && i + 1 < given.size()) {
                bytes += "{pause}";
            }
        }
        const std::vector<std::string> paused = split(bytes, "{pause}");
        for (size_t i = 0; i < paused.size() && m_master >= 0; ++i) {
            if (i > 0) {
                flush();
                const timespec pause{0, 20000000};
                nanosleep(&pause, nullptr);
            }
            const size_t gone = std::min(paused[i].find("{vanish}"), paused[i].find("{blink}"));
            write(paused[i].data(), std::min(gone, paused[i].size()));
            if (gone != std::string::npos && paused[i].compare(gone, 7, "{blink}") == 0) {
                // The new device is there before the old one goes: a user that sees it go finds it back.
                const int master = m_master;
                const int slave = m_slave;
                attach();
                close(master);
                close(slave);
                m_input.clear();
                m_output.clear();
                m_dataMode = false;
            } else if (gone != std::string::npos) {
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
                const std::string text = unescape(line.substr(0, std::min(line.find("{no-ok}"), line.find("{late}"))));
                final = final || isFinal(text);
                bytes += text.empty() || text.find('{') == 0 ? text : "\r\n" + text + "\r\n";
            }
        }
        bytes += final ? "" : "\r\nOK\r\n";
        if (answer.find("{late}") != std::string::npos) {
            m_late = bytes;  // comes when the next command does, as if it had taken its time
            return;
        }
        emit(bytes);
    }

    static bool isFinal(const std::string& text)
    {
        return text == "OK" || text == "ERROR" || text == "NO CARRIER" || text.compare(0, 5, "+CME ") == 0 ||
               text.compare(0, 5, "+CMS ") == 0;
    }

    static size_t tpduOctets(const std::string& pdu)
    {
        const size_t centre = 2 + 2 * static_cast<size_t>(strtol(pdu.substr(0, 2).c_str(), nullptr, 16));
        return pdu.size() > centre ? (pdu.size() - centre) / 2 : 0;
    }

    long setting(const char* key) { return strtol(m_settings[key].list[0].c_str(), nullptr, 10); }

    std::string stored(int index, const char* tag)
    {
        Stored& message = m_stores[m_readStorage].at(index);
        const std::string between = m_settings["between"].list[0];
        std::string line = std::string(tag) + (tag[4] == 'L' ? std::to_string(index) + "," : "") +
                           std::to_string(message.status) + ",," + std::to_string(tpduOctets(message.pdu)) + "\\n" +
                           (between.empty() ? "" : between + "\\n") + message.pdu;
        message.status = message.status == 0 ? 1 : message.status;  // read now
        return line;
    }

    // What the modem answers without a setting.
    std::string builtIn(const std::string& line)
    {
        const int index = static_cast<int>(strtol(line.c_str() + std::min<size_t>(8, line.size()), nullptr, 10));
        std::map<int, Stored>& store = m_stores[m_readStorage];
        if (line.compare(0, 8, "AT+CMGF=") == 0) {
            m_textMode = line == "AT+CMGF=1";
            return "";
        }
        if (line.compare(0, 8, "AT+CNMI=") == 0) {
            m_indications = line.compare(8, 1, "0") != 0;
            m_direct = line.compare(8, 3, "2,2") == 0;
            m_redeliver = m_direct && !m_pending.empty();
            return "";
        }
        if (line == "AT" || line.compare(0, 7, "AT+CMEE") == 0 || line.compare(0, 7, "AT+CSCS") == 0) {
            return "";
        }
        if (line == "ATE0" || line == "ATE1" || line == "ATE0V1") {
            m_echo = m_settings["echo"].list[0] == "stuck" || line == "ATE1";
            return "";
        }
        const long memories = setting("cpms");
        if (line == "AT+CPMS=?") {
            const std::string choice = "(\"ME\",\"SM\",\"MT\")";
            return "+CPMS: " + choice + (memories > 1 ? "," + choice : "") + (memories > 2 ? "," + choice : "");
        }
        if (line.compare(0, 8, "AT+CPMS=") == 0) {
            const std::string storage = line.substr(9, 2);
            if ((storage != "ME" && storage != "SM" && storage != "MT") || static_cast<long>(split(line, ",").size()) > memories) {
                return "+CMS ERROR: 302";
            }
            m_readStorage = storage;
            const std::string used = std::to_string(m_stores[storage].size()) + "," + std::to_string(setting("capacity"));
            return "+CPMS: " + used + (memories > 1 ? "," + used : "") + (memories > 2 ? "," + used : "");
        }
        if (line.compare(0, 7, "AT+CMGL") == 0 && m_textMode) {
            return "ERROR";  // text mode lists "ALL", and no PDU
        }
        if (line == "AT+CMGL=4") {
            std::string listing;
            for (const auto& message : std::map<int, Stored>(store)) {
                listing += (listing.empty() ? "" : "\\n") + stored(message.first, "+CMGL: ");
            }
            return listing;
        }
        if (line.compare(0, 8, "AT+CMGR=") == 0 || line.compare(0, 8, "AT+CMGD=") == 0) {
            const bool read = line[6] == 'R';
            std::string answer = store.count(index) == 0 ? "+CMS ERROR: 321" : read ? stored(index, "+CMGR: ") : "";
            if (!read) {
                store.erase(index);
            }
            return answer;
        }
        return "ERROR";
    }

    void command(const std::string& line)
    {
        note("cmd " + line);
        if (!m_late.empty()) {
            emit(m_late);
            m_late.clear();
        }
        const bool sms = line.compare(0, 6, "AT+CMG") == 0 || line.compare(0, 7, "AT+CPMS") == 0 || line.compare(0, 7, "AT+CNMI") == 0;
        if (sms && setting("sms_after") > 0) {  // the SMS service is not there yet
            m_settings["sms_after"].list[0] = std::to_string(setting("sms_after") - 1);
            respond(line.compare(0, 7, "AT+CMGF") == 0 ? "ERROR" : line.compare(0, 7, "AT+CMGS") == 0 ? "+CMS ERROR: 500" : "+CMS ERROR: 302");
            if (setting("sms_after") == 0) {
                emit("\r\n+QIND: SMS DONE\r\n");
            }
            return;
        }
        if (line.compare(0, 8, "AT+CMGS=") == 0) {
            const std::string prompt = unescape(m_settings["prompt"].take());
            if (isFinal(prompt)) {
                respond(prompt);  // refused before the prompt: no data is taken
                return;
            }
            m_dataMode = true;
            emit(prompt.find("{silent}") == std::string::npos ? prompt : "");
            return;
        }
        const auto scripted = m_settings.find("answer " + line);
        std::string answer = scripted != m_settings.end() ? scripted->second.take() : "{default}";
        if (answer == "{default}") {
            const auto usual = m_defaults.find("answer " + line);
            answer = usual != m_defaults.end() ? usual->second.list[0] : builtIn(line);
        }
        respond(answer);
        for (; m_redeliver && !m_pending.empty(); m_pending.erase(m_pending.begin())) {
            control("deliver " + m_pending.front());
        }
        m_redeliver = false;
    }

    std::string m_link;
    FILE* m_record;
    int m_master = -1;
    int m_slave = -1;
    bool m_echo = true;
    bool m_dataMode = false;
    std::string m_input;
    std::string m_output;  // what the device has not taken yet
    std::string m_late;    // an answer held back until the next command
    std::map<std::string, Answers> m_settings;
    std::map<std::string, Answers> m_defaults;
    std::map<std::string, std::map<int, Stored>> m_stores;
    std::string m_readStorage;
    unsigned m_reference = 1;
    bool m_indications = true;  // new messages announced with +CMTI
    bool m_direct = false;      // handed over with +CMT when the storage is full (AT+CNMI=2,2)
    bool m_textMode = false;
    std::vector<std::string> m_pending;  // deliveries refused for want of memory, tried again
    bool m_redeliver = false;
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
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {modem.master(), static_cast<short>(POLLIN | (modem.writing() ? POLLOUT : 0)), 0}};
        if (poll(fds, modem.master() >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
            break;
        }
        char buffer[4096];
        if ((fds[1].revents & POLLOUT) != 0) {
            modem.flush();
        }
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
