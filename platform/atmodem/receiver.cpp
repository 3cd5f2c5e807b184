#include "receiver.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "at_answers.h"
#include "sms_pdu.h"

namespace atmodem {
namespace {

constexpr int kListenerMs = 15000;   // the listener itself gives a client 10 s
constexpr int kListEveryMs = 30000;  // without new-message indications, storage is listed this often
constexpr size_t kLongestText = 159;  // what the listener takes; a longer text is no acknowledgement

// Sends text to the listener as a local client does and answers what came back before the
// listener closed the connection; false when it did not take the text.
bool exchange(const std::string& socketPath, const std::string& text, std::string& answer)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool taken = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    for (size_t sent = 0; taken && sent < text.size();) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        taken = n > 0 || (n < 0 && errno == EINTR);
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    const long long deadline = nowMs() + kListenerMs;
    for (char buffer[64]; taken;) {
        pollfd ready{fd, POLLIN, 0};
        const long long left = deadline - nowMs();
        const ssize_t got = left > 0 && poll(&ready, 1, static_cast<int>(left)) > 0 ? recv(fd, buffer, sizeof(buffer), 0) : -1;
        if (got <= 0) {
            taken = got == 0;  // closed by the listener: the text is handled
            break;
        }
        answer.append(buffer, static_cast<size_t>(got));
    }
    if (fd >= 0) {
        close(fd);
    }
    return taken;
}

class Receiver {
public:
    Receiver(Channel& channel, const ReceiverConfig& config) : m_channel(channel), m_config(config) {}

    void run(const std::atomic<bool>& stop)
    {
        while (!stop) {
            if ((m_channel.generation() != m_generation || !m_ready) && nowMs() >= m_setUpAt) {
                m_ready = setUp();  // at the first opening of the device, and at every one after
                m_generation = m_channel.generation();
                m_setUpAt = m_ready ? 0 : nowMs() + m_config.setUpAgainMs;
            } else if (m_ready && m_listEvery && nowMs() > m_listedAt + kListEveryMs) {
                list();
            }
            for (const Unsolicited& u : m_channel.takeUnsolicited()) {
                const int index = newMessageIndex(u.line);
                if (index >= 0) {
                    m_ignored.erase(index);  // a new message, perhaps in a place read before
                    read(index);
                } else if (u.line.compare(0, 5, "+CMT:") == 0) {
                    take(m_direct--, u.pdu);  // handed to this device without storage
                }
            }
            deliver();
            forgetIncomplete();
            if (!m_channel.idle(m_config.waitMs)) {
                m_ready = false;  // no modem to wait on: it is set up again once it opens
                poll(nullptr, 0, m_config.waitMs);
            }
        }
    }

private:
    struct Held {
        int index;
        Deliver message;
        long long since;
    };

    void say(const std::string& line)
    {
        if (line != m_said) {  // a state that lasts is told of once
            m_config.log(line);
            m_said = line;
        }
    }

    // New-message reporting, in the first of the usual settings the modem takes, then what is
    // stored already: a reply that came while nobody listened.
    bool setUp()
    {
        const char* const storages[] = {"AT+CPMS=\"ME\",\"ME\",\"ME\"", "AT+CPMS=\"SM\",\"SM\",\"SM\"", "AT+CPMS=\"MT\",\"MT\",\"MT\""};
        const char* const indications[] = {"AT+CNMI=2,1,0,0,0", "AT+CNMI=1,1,0,0,0", "AT+CNMI=2,1", "AT+CNMI=1,1"};
        int32_t result = kError;
        for (size_t i = 0; i < 3 && result != kOk && result != kNotInitiated; ++i) {
            result = m_channel.command(storages[i]).result;
        }
        if (result == kNotInitiated) {
            return false;
        }
        m_listEvery = true;
        for (size_t i = 0; i < 4 && m_listEvery; ++i) {
            m_listEvery = m_channel.command(indications[i]).result != kOk;
        }
        if (m_listEvery) {
            say("the modem takes no new-message indication: its storage is listed every 30 s");
        }
        m_held.clear();
        m_ignored.clear();
        return list();
    }

    bool list()
    {
        const Answer listed = m_channel.command("AT+CMGL=4");
        m_listedAt = nowMs();
        for (const Stored& stored : storedMessages(listed.lines)) {
            if (m_held.count(stored.index) == 0 && m_ignored.count(stored.index) == 0) {
                take(stored.index, stored.pdu);
            }
        }
        return listed.result == kOk;
    }

    // Reads one stored message: 1 when read, 0 when its place was read before, -1 on failure.
    int read(int index)
    {
        if (m_held.count(index) != 0 || m_ignored.count(index) != 0) {
            return 0;
        }
        const std::vector<Stored> stored = storedMessages(m_channel.command("AT+CMGR=" + std::to_string(index)).lines, index);
        if (stored.empty()) {
            return -1;
        }
        take(index, stored[0].pdu);
        return 1;
    }

    void take(int index, const std::string& pdu)
    {
        Held held{index, Deliver(), nowMs()};
        std::string error;
        if (!decodeDeliver(pdu, held.message, error)) {
            m_config.log("message " + std::to_string(index) + " is corrupt (" + error + "): left in storage");
            m_ignored.insert(index);
        } else if (held.message.destPort < 0) {
            m_ignored.insert(index);  // without ports: another application's
        } else {
            m_held[index] = held;
        }
    }

    int clientPort()
    {
        std::string answer;
        if (m_port == 0 && exchange(m_config.socketPath, "\n\n<GetPort>\nN\n", answer) && answer.compare(0, 3, "\nN\n") == 0) {
            char* end = nullptr;
            const long port = strtol(answer.c_str() + 3, &end, 10);
            m_port = *end == '\0' && port > 0 && port <= 65535 ? static_cast<int>(port) : 0;
        }
        return m_port;
    }

    // Every message for the client port that is whole goes to the listener; what it has taken
    // leaves the storage.
    void deliver()
    {
        if (m_held.empty() || clientPort() == 0) {
            return;
        }
        for (auto it = m_held.begin(); it != m_held.end();) {
            const Deliver& m = it->second.message;
            if (m.destPort != m_port) {
                m_ignored.insert(it->first);
                it = m_held.erase(it);
                continue;
            }
            std::vector<int> parts;
            std::string text = m.text;
            if (m.concatRef >= 0) {
                text.clear();
                for (int seq = 1; seq <= m.concatTotal; ++seq) {
                    for (const auto& other : m_held) {
                        const Deliver& o = other.second.message;
                        if (o.concatRef == m.concatRef && o.originator == m.originator && o.concatTotal == m.concatTotal &&
                            o.concatSeq == seq && o.destPort == m_port) {
                            parts.push_back(other.first);
                            text += o.text;
                            break;
                        }
                    }
                }
                if (parts.size() != static_cast<size_t>(m.concatTotal)) {
                    ++it;  // not whole yet
                    continue;
                }
            } else {
                parts.push_back(it->first);
            }
            if (text.size() > kLongestText) {  // the listener would drop it unread, again and again
                m_config.log("message from " + m.originator + " holds " + std::to_string(text.size()) +
                             " characters, more than the listener takes: left in storage");
                for (int index : parts) {
                    m_ignored.insert(index);
                    m_held.erase(index);
                }
                it = m_held.begin();
                continue;
            }
            std::string answer;
            if (!exchange(m_config.socketPath, text + "\nN\n", answer)) {
                say("the listener does not take messages now; they wait in storage");
                return;
            }
            const std::string handed = "message from " + m.originator + " handed to the listener: " + text;
            for (int index : parts) {
                if (index >= 0) {
                    m_channel.command("AT+CMGD=" + std::to_string(index));
                }
                m_held.erase(index);
            }
            m_config.log(handed);  // told once storage no longer holds it
            it = m_held.begin();
        }
    }

    void forgetIncomplete()
    {
        for (auto it = m_held.begin(); it != m_held.end();) {
            const Deliver& m = it->second.message;
            if (m.concatRef >= 0 && nowMs() - it->second.since > m_config.keepIncompleteMs) {
                m_config.log("segment " + std::to_string(m.concatSeq) + " of " + std::to_string(m.concatTotal) +
                             " from " + m.originator + " (reference " + std::to_string(m.concatRef) +
                             ") waited in vain for the rest: forgotten, left in storage");
                m_ignored.insert(it->first);
                it = m_held.erase(it);
            } else {
                ++it;
            }
        }
    }

    Channel& m_channel;
    const ReceiverConfig& m_config;
    unsigned m_generation = 0;
    bool m_ready = false;
    long long m_setUpAt = 0;
    bool m_listEvery = false;
    long long m_listedAt = 0;
    int m_port = 0;
    int m_direct = -1;           // the keys of messages that came without a place in storage
    std::map<int, Held> m_held;  // by index in storage
    std::set<int> m_ignored;     // places read that hold nothing for this device
    std::string m_said;
};

}  // namespace

void runReceiver(Channel& channel, const ReceiverConfig& config, const std::atomic<bool>& stop)
{
    Receiver(channel, config).run(stop);
}

}  // namespace atmodem
