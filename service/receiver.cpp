#include "receiver.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "at_answers.h"
#include "numbers.h"
#include "sms_pdu.h"
#include "trace_sink.h"

using atmodem::Answer;
using atmodem::Channel;
using atmodem::nowMs;
using atmodem::Sms;

namespace service {
namespace {

constexpr int kListenerMs = 15000;          // the listener itself gives a client 10 s
constexpr size_t kLongestText = 159;          // what the listener takes; a longer text is no acknowledgement
constexpr int kReadTries = 3;
constexpr long long kReadAgainMs[kReadTries - 1] = {2000, 10000};
constexpr long long kLongestSetUpWaitMs = 60000;
constexpr size_t kToldLimit = 100;  // refusals told of; a stranger's flood is not told line by line

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
        const int n = left > 0 ? poll(&ready, 1, static_cast<int>(left)) : 0;
        const ssize_t got = n > 0 ? recv(fd, buffer, sizeof(buffer), 0) : n;
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            taken = got == 0 && n > 0;  // closed by the listener: the text is handled
            break;
        }
        answer.append(buffer, static_cast<size_t>(got));
    }
    if (fd >= 0) {
        close(fd);
    }
    return taken;
}

// The messages the modem hands over without storing them (+CMT) are kept under this name.
constexpr char kDirect[] = "CMT";

std::string keyOf(const std::string& storage, int index)
{
    return storage + ":" + std::to_string(index);
}

}  // namespace

class Receiver {
public:
    Receiver(Channel& channel, const ReceiverConfig& config) : m_channel(channel), m_config(config) {}

    // From another thread: the replies in storage now are an earlier registration's.
    bool clearEarlierReplies(long long timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_requestMutex);
        const unsigned asked = ++m_clearAsked;
        eventfd_write(m_config.wakeFd, 1);
        const bool done = m_requestDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                 [&] { return m_clearDone >= asked || m_ended; });
        return done && !m_ended && m_clearedAll;
    }

    void run()
    {
        for (;;) {
            const long long now = nowMs();
            if ((!m_ready || m_channel.generation() != m_generation) && now >= m_setUpAt) {
                m_ready = setUp();  // at the first opening of the device, and at every one after
                m_generation = m_channel.generation();
                // A modem that stays away is looked for less and less often.
                m_setUpWaitMs = m_ready ? 0 : m_setUpWaitMs == 0 ? m_config.setUpAgainMs : std::min(2 * m_setUpWaitMs, kLongestSetUpWaitMs);
                m_setUpAt = m_ready ? 0 : nowMs() + m_setUpWaitMs;
            }
            for (const atmodem::Unsolicited& u : m_channel.takeUnsolicited()) {
                announced(u);
            }
            readAnnounced();
            if (m_ready && nowMs() >= m_listAt) {
                list();
            }
            deliver();
            forgetIncomplete();
            watchForTheDevice();
            switch (m_channel.wait(m_config.wakeFd, nextDeadline(), m_watch)) {
            case Channel::Woken::Stopped: {
                std::lock_guard<std::mutex> lock(m_requestMutex);
                m_ended = true;  // nobody serves a request any more
                m_requestDone.notify_all();
                return;
            }
            case Channel::Woken::NoDevice:
                m_ready = false;
                break;
            case Channel::Woken::DeviceChanged: {
                char events[4096];  // something came in the device's folder: the modem, maybe
                while (read(m_watch, events, sizeof(events)) > 0) {
                }
                m_setUpAt = 0;
                break;
            }
            case Channel::Woken::Wake: {
                eventfd_t count = 0;  // the listener is there now, or a request waits
                eventfd_read(m_config.wakeFd, &count);
                m_listenerAt = 0;
                serveRequests();
                break;
            }
            default:
                break;
            }
        }
    }

private:
    struct Held {
        std::string storage;
        int index;
        std::string pdu;
        Sms message;
        long long since;
    };
    struct Announced {
        std::string storage;
        int index;
        int tries;
        long long at;
    };

    void say(int priority, const std::string& line)
    {
        if (line != m_said) {  // a state that lasts is told of once
            m_config.log(priority, line);
            m_said = line;
        }
    }

    // A message refused is told of once, and a flood of them in a hundred lines at most.
    void tell(const std::string& line)
    {
        if (m_told.size() < kToldLimit && m_told.insert(line).second) {
            m_config.log(kWarning, line + (m_told.size() == kToldLimit ? " (further refused messages are not told of)" : ""));
        }
    }

    bool fromServer(const std::string& originator) const
    {
        return std::any_of(m_config.replyFrom.begin(), m_config.replyFrom.end(),
                           [&](const std::string& number) { return sameNumber(number, originator, m_config.homeCountries); });
    }

    // A reply of the server's to the registration's port: none other may ever reach the listener.
    bool serverReply(const Sms& m, int port) const { return m.destPort == port && !m.alphanumeric && fromServer(m.address); }

    void serveRequests()
    {
        std::lock_guard<std::mutex> lock(m_requestMutex);
        if (m_clearDone == m_clearAsked) {
            return;
        }
        m_clearedAll = m_ready && clearEarlier();
        m_clearDone = m_clearAsked;
        m_requestDone.notify_all();
    }

    // Every storage listed afresh; what it holds from the server for the client port is deleted.
    bool clearEarlier()
    {
        m_counts.clear();
        if (!list()) {
            return false;
        }
        int cleared = 0;
        bool all = true;
        for (auto it = m_held.begin(); it != m_held.end();) {
            if (!serverReply(it->second.message, m_config.clientPort)) {
                ++it;
                continue;
            }
            const Held held = it->second;
            it = m_held.erase(it);
            if (remove(held)) {
                ++cleared;
            } else {
                all = false;
            }
        }
        if (cleared > 0) {
            m_config.log(kNotice, std::to_string(cleared) + (cleared == 1 ? " reply" : " replies") +
                                      " of the server in the modem's storage answered an earlier registration: deleted, so that "
                                      "only a reply to this SIM's registration confirms it");
        }
        return all;
    }

    // The deadline of the next thing to do without being woken: the next listing, a read to try
    // again, a set of segments to forget, a listener to ask again.
    long long nextDeadline() const
    {
        long long until = m_ready ? m_listAt : m_setUpAt;
        for (const std::vector<Announced>* reads : {&m_announced, &m_rereads}) {
            for (const Announced& a : *reads) {
                until = std::min(until, a.at);
            }
        }
        for (const auto& held : m_held) {
            if (held.second.message.concatRef >= 0) {
                until = std::min(until, held.second.since + m_config.keepIncompleteMs);
            }
        }
        return !m_held.empty() && m_listenerAt > 0 ? std::min(until, m_listenerAt) : until;
    }

    // The storage that reads and deletes work on (AT+CPMS sets it, and answers how many it holds).
    int select(const std::string& storage)
    {
        const Answer answer = m_channel.command("AT+CPMS=\"" + storage + "\"", {{"+CPMS:"}});
        if (answer.result != atmodem::kOk) {
            return -1;
        }
        m_current = storage;
        int total = -1;
        const int used = std::max(0, atmodem::storageUsed(answer.lines, &total));
        full(storage, total > 0 && used >= total, std::to_string(used) + " of " + std::to_string(total));
        return used;
    }

    // A storage full of old messages holds no reply: said once, and while it lasts the modem is
    // asked to hand new messages over without storing them (+CMT), where it can.
    void full(const std::string& storage, bool isFull, const std::string& count)
    {
        if (isFull == (m_full.count(storage) != 0)) {
            return;
        }
        if (!isFull) {
            m_full.erase(storage);
            if (m_full.empty() && m_routedDirect && m_channel.command(m_indication).result == atmodem::kOk) {
                m_routedDirect = false;
            }
            m_config.log(kNotice, "the modem's storage " + storage + " has room again");
            return;
        }
        m_full.insert(storage);
        m_routedDirect = m_routedDirect || m_channel.command("AT+CNMI=2,2,0,0,0").result == atmodem::kOk;
        m_config.log(kErr, "the modem's storage " + storage + " is full (" + count + "): the server's reply cannot be stored " +
                               (m_routedDirect ? "there, and is taken without storage (+CMT) while dmregd runs; delete old messages"
                                         : "until old messages are deleted from it (AT+CMGD)"));
    }

    // New-message reporting, in the first of the usual settings the modem takes, then what is
    // stored already: a reply that came while nobody listened.
    bool setUp()
    {
        // The memories the modem takes, and for how many of the command's three parameters: one,
        // two or three, as it answers AT+CPMS=? (each form tried, most first, when it does not).
        // No modem, or dmregd stops: nothing was refused, and the set-up is made when it comes back.
        const auto gone = [](int32_t result) { return result == atmodem::kNotInitiated || result == atmodem::kStopped; };
        const Answer asked = m_channel.command("AT+CPMS=?", {{"+CPMS:"}});
        if (gone(asked.result)) {
            return false;
        }
        const std::vector<std::vector<std::string>> choices = atmodem::storageChoices(asked.lines);
        const char* const indications[] = {"AT+CNMI=2,1,0,0,0", "AT+CNMI=1,1,0,0,0", "AT+CNMI=2,1", "AT+CNMI=1,1"};
        int32_t result = atmodem::kError;
        for (size_t memories = choices.empty() ? 3 : choices.size(); memories > 0 && result != atmodem::kOk; --memories) {
            for (const char* storage : {"ME", "SM", "MT"}) {
                if (!choices.empty() && std::find(choices[0].begin(), choices[0].end(), storage) == choices[0].end()) {
                    continue;
                }
                std::string command = "AT+CPMS=";
                for (size_t i = 0; i < memories; ++i) {
                    command += std::string(i > 0 ? "," : "") + "\"" + storage + "\"";
                }
                result = m_channel.command(command, {{"+CPMS:"}}).result;
                if (gone(result)) {
                    return false;
                }
                if (result == atmodem::kOk) {
                    m_primary = m_current = storage;
                    break;
                }
            }
            memories = choices.empty() ? memories : 1;  // the modem said how many: no other form
        }
        if (result != atmodem::kOk) {
            say(kErr, "the modem refuses every storage for messages (AT+CPMS): no reply can be read; tried again later");
            return false;
        }
        m_storages.insert(m_primary);
        // What came before this set-up, while nobody had chosen the storage (before the start, or
        // just after a reset in place), lies where the modem's own default put it, mostly "SM",
        // and no indication told of it: every memory the modem reads from is listed.
        for (const char* storage : {"ME", "SM"}) {
            if (!choices.empty() && m_primary != "MT" && std::find(choices[0].begin(), choices[0].end(), storage) != choices[0].end()) {
                m_storages.insert(storage);
            }
        }
        m_polling = true;
        m_routedDirect = false;
        m_full.clear();
        for (size_t i = 0; i < 4 && m_polling; ++i) {
            m_polling = m_channel.command(indications[i]).result != atmodem::kOk;
            m_indication = indications[i];
        }
        if (m_polling) {
            say(kInfo, "the modem takes no new-message indication: its storage is listed every " +
                           std::to_string(m_config.listIntervalMs / 1000) + " s");
        }
        m_counts.clear();  // everything is listed afresh
        return list();
    }

    // Every storage in use, where its count of messages changed since the last listing (or always,
    // without indications: a place used again keeps the count). Listing reads messages, which the
    // modem then counts as read, so it is done no more than needed.
    bool list()
    {
        m_listAt = nowMs() + m_config.listIntervalMs;
        bool listed = true;
        for (const std::string& storage : m_storages) {
            const int used = select(storage);
            if (used < 0 || (!m_polling && m_counts.count(storage) != 0 && m_counts[storage] == used)) {
                listed = listed && used >= 0;
                continue;
            }
            const Answer answer = m_channel.command("AT+CMGL=4", {{"+CMGL:"}});
            listed = listed && answer.result == atmodem::kOk;
            if (answer.result != atmodem::kOk) {
                continue;
            }
            m_counts[storage] = used;
            std::set<std::string> present;
            for (const atmodem::Stored& stored : atmodem::storedMessages(answer.lines)) {
                present.insert(keyOf(storage, stored.index));
                take(storage, stored);
            }
            forgetAbsent(storage, present);
        }
        return listed;
    }

    // What another program deleted is forgotten, and a place used again is read again.
    void forgetAbsent(const std::string& storage, const std::set<std::string>& present)
    {
        for (auto it = m_known.begin(); it != m_known.end();) {
            const bool gone = it->first.compare(0, storage.size() + 1, storage + ":") == 0 && present.count(it->first) == 0;
            it = gone ? m_known.erase(it) : std::next(it);
        }
        for (auto it = m_held.begin(); it != m_held.end();) {
            it = it->second.storage == storage && present.count(it->first) == 0 ? m_held.erase(it) : std::next(it);
        }
    }

    void announced(const atmodem::Unsolicited& u)
    {
        std::string storage;
        int index = -1;
        bool statusReport = false;
        if (u.line.compare(0, 10, "^SMMEMFULL") == 0) {
            m_counts.clear();  // the next listing looks at every storage, and finds which is full
            m_listAt = 0;
        } else if (atmodem::newMessage(u.line, storage, index, statusReport)) {
            if (!statusReport && storage != "SR") {  // status reports are no replies
                m_storages.insert(storage);
                m_announced.push_back({storage, index, 0, 0});
            }
        } else if (u.line.compare(0, 5, "+CMT:") == 0) {
            // Handed to this device without storage: "+CMT: [<alpha>],<length>". Nothing of it is
            // kept once it is judged, unless it may be the reply.
            atmodem::Stored direct;
            direct.index = m_direct--;
            direct.length = static_cast<int>(strtol(u.line.c_str() + u.line.rfind(',') + 1, nullptr, 10));
            direct.pdu = u.pdu;
            take(kDirect, direct);
        }
    }

    // The messages announced, each read in the storage its announcement names; a read that fails
    // is tried twice more, and after that the next listing finds the message.
    void readAnnounced()
    {
        m_announced.insert(m_announced.end(), m_rereads.begin(), m_rereads.end());
        m_rereads.clear();
        const long long now = nowMs();
        for (auto it = m_announced.begin(); it != m_announced.end();) {
            if (it->at > now || !m_ready) {
                ++it;
                continue;
            }
            Answer answer;
            if (m_current == it->storage || select(it->storage) >= 0) {
                answer = m_channel.command("AT+CMGR=" + std::to_string(it->index), {{"+CMGR:"}});
            } else {
                answer.result = atmodem::kError;
            }
            const std::vector<atmodem::Stored> stored = atmodem::storedMessages(answer.lines, it->index);
            const bool gone = answer.result == atmodem::kCmsError + 321;  // read and deleted by another
            if ((answer.result == atmodem::kOk && !stored.empty()) || gone || ++it->tries >= kReadTries) {
                if (answer.result == atmodem::kOk && !stored.empty()) {
                    take(it->storage, stored[0]);
                } else if (!gone) {
                    m_config.log(kWarning, "message " + keyOf(it->storage, it->index) + " could not be read: the next listing looks again");
                }
                it = m_announced.erase(it);
            } else {
                it->at = now + kReadAgainMs[it->tries - 1];
                ++it;
            }
        }
    }

    // A stored message judged: what may be a reply is held for the listener, the rest is known
    // and left alone.
    void take(const std::string& storage, const atmodem::Stored& stored)
    {
        const std::string key = keyOf(storage, stored.index);
        const auto known = m_known.find(key);
        const auto held = m_held.find(key);
        if ((known != m_known.end() && known->second == stored.pdu) || (held != m_held.end() && held->second.pdu == stored.pdu)) {
            return;  // read before
        }
        if (held != m_held.end()) {
            m_held.erase(held);  // its place holds another message now
        }
        if (storage != kDirect) {
            m_known[key] = stored.pdu;
        }
        Sms message;
        std::string error;
        if (stored.status == 2 || stored.status == 3 || stored.textMode) {
            return;  // a message stored to be sent, or one of text mode: another program's
        }
        if (!atmodem::decodeSms(stored.pdu, message, error, stored.length)) {
            // One read that came out corrupt proves little (a line cut by the port): read again
            // soon, and called corrupt when the same bytes come twice.
            const auto suspect = m_suspect.find(key);
            if (storage != kDirect && (suspect == m_suspect.end() || suspect->second != stored.pdu)) {
                m_suspect[key] = stored.pdu;
                m_known.erase(key);
                m_rereads.push_back({storage, stored.index, 0, nowMs() + kReadAgainMs[0]});
                return;
            }
            tell("message " + (storage == kDirect ? std::string("delivered without storage") : key) + " is corrupt (" + error +
                 ")" + (storage == kDirect ? ": dropped" : ": left in storage"));
            return;
        }
        m_suspect.erase(key);
        if (message.type == Sms::kDeliver && message.destPort >= 0) {
            m_known.erase(key);
            m_held[key] = {storage, stored.index, stored.pdu, message, nowMs()};
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

    // While there is no modem, an inotify watch on its folder ends the wait when the device comes
    // back (udev makes its link, a simulator its pseudo-terminal), instead of a look now and then.
    void watchForTheDevice()
    {
        if (m_ready && m_watch >= 0) {
            close(m_watch);
            m_watch = -1;
        } else if (!m_ready && m_watch < 0 && !m_config.device.empty()) {
            const size_t slash = m_config.device.rfind('/');
            m_watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (m_watch >= 0 && inotify_add_watch(m_watch, slash == 0 ? "/" : m_config.device.substr(0, slash).c_str(),
                                                  IN_CREATE | IN_MOVED_TO | IN_ATTRIB) < 0) {
                close(m_watch);
                m_watch = -1;
            } else if (m_watch >= 0 && access(m_config.device.c_str(), F_OK) == 0) {
                m_setUpAt = 0;  // it came back before the watch was there to see it
            }
        }
    }

    // The message leaves the storage; one whose deletion failed is known, never handed twice,
    // and deleted at a later listing's sight of it.
    bool remove(const Held& held)
    {
        const std::string key = keyOf(held.storage, held.index);
        if (held.storage == kDirect) {
            return true;  // it never was in storage
        }
        m_known[key] = held.pdu;
        if (deleted(held.storage, held.index)) {
            m_known.erase(key);
            madeRoomIn(held.storage);
            return true;
        }
        m_config.log(kWarning, "message " + key + " could not be deleted: it is deleted later");
        m_undeleted.insert(key);
        return false;
    }

    // A deletion from a full storage makes room: counted again at once, so that new messages
    // are stored there again rather than handed over without storage, which a crash would lose.
    void madeRoomIn(const std::string& storage)
    {
        if (m_full.count(storage) != 0) {
            select(storage);
        }
    }

    // The segments of the set that held belongs to, in order; empty while one is missing.
    std::vector<std::string> segments(const Sms& m) const
    {
        std::vector<std::string> parts;
        for (int seq = 1; seq <= m.concatTotal; ++seq) {
            for (const auto& other : m_held) {
                const Sms& o = other.second.message;
                if (o.concatRef == m.concatRef && o.address == m.address && o.concatTotal == m.concatTotal &&
                    o.concatSeq == seq && o.destPort == m.destPort) {
                    parts.push_back(other.first);
                    break;
                }
            }
        }
        return parts.size() == static_cast<size_t>(m.concatTotal) ? parts : std::vector<std::string>();
    }

    // Leaves a set for good: known, never handed.
    void refuse(const std::vector<std::string>& parts, const std::string& why)
    {
        for (const std::string& key : parts) {
            const bool direct = m_held[key].storage == kDirect;
            if (!why.empty()) {
                tell(why + (direct ? ": dropped" : ": left in storage"));
            }
            if (!direct) {
                m_known[key] = m_held[key].pdu;
            }
            m_held.erase(key);
        }
    }

    // Every reply for the client port that is whole, from the server, goes to the listener.
    void deliver()
    {
        retryDeletions();
        if (m_held.empty() || (m_listenerAt > 0 && nowMs() < m_listenerAt)) {
            return;
        }
        if (clientPort() == 0) {
            m_listenerAt = nowMs() + m_config.listenerAgainMs;
            return;
        }
        for (auto it = m_held.begin(); it != m_held.end();) {
            const Sms m = it->second.message;
            std::vector<std::string> parts = m.concatRef >= 0 ? segments(m) : std::vector<std::string>{it->first};
            const std::string from =
                "message from " + std::string(m.alphanumeric ? "name " : "") + m.address + " to port " + std::to_string(m.destPort);
            if (m.destPort != m_port) {
                refuse({it->first}, "");  // another application's
            } else if (!serverReply(m, m_port)) {
                refuse({it->first}, from + " is not from the server's number");
            } else if (parts.empty()) {
                ++it;  // not whole yet
                continue;
            } else {
                std::string text;
                for (const std::string& key : parts) {
                    text += m_held[key].message.text;
                }
                const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
                if (std::any_of(text.begin(), text.end(), control)) {
                    refuse(parts, from + " holds a control character, which no acknowledgement does");
                } else if (text.size() > kLongestText) {  // the listener would drop it unread, again and again
                    refuse(parts, from + " holds " + std::to_string(text.size()) + " characters, more than the listener takes");
                } else if (!hand(parts, text, m.address)) {
                    return;
                }
            }
            it = m_held.begin();
        }
    }

    // To the listener; out of storage only once what it means is recorded, and with it every copy
    // of it from the server, which could only confirm again what is confirmed.
    bool hand(const std::vector<std::string>& parts, const std::string& text, const std::string& originator)
    {
        std::string answer;
        if (!exchange(m_config.socketPath, text + "\nN\n", answer)) {
            say(kInfo, "the listener does not take messages now; they wait in storage");
            m_port = 0;
            m_listenerAt = nowMs() + m_config.listenerAgainMs;
            return false;
        }
        if (!m_config.recorded(text)) {
            const long long again = m_config.listenerAgainMs;
            say(kErr, "the reply from " + originator + " could not be recorded: it stays in storage and is handed again in " +
                          (again >= 1000 ? std::to_string(again / 1000) + " s" : std::to_string(again) + " ms"));
            m_listenerAt = nowMs() + m_config.listenerAgainMs;
            return false;
        }
        m_said.clear();
        m_counts.clear();  // every copy that has come by now is found and goes with it
        list();
        for (auto it = m_held.begin(); it != m_held.end();) {
            const bool copy = it->second.message.concatRef < 0 && it->second.message.text == text &&
                              serverReply(it->second.message, m_port);
            if (copy || std::find(parts.begin(), parts.end(), it->first) != parts.end()) {
                const Held held = it->second;
                it = m_held.erase(it);
                remove(held);
            } else {
                ++it;
            }
        }
        m_config.log(kNotice, "message from " + originator + " handed to the listener and recorded: " + text);
        m_config.handed(text);
        return true;
    }

    // The message at index in storage is deleted (the storage chosen first, when another is).
    bool deleted(const std::string& storage, int index)
    {
        if (m_current != storage && select(storage) < 0) {
            return false;
        }
        return m_channel.command("AT+CMGD=" + std::to_string(index)).result == atmodem::kOk;
    }

    void retryDeletions()
    {
        for (auto it = m_undeleted.begin(); it != m_undeleted.end();) {
            const size_t colon = it->find(':');
            const std::string storage = it->substr(0, colon);
            const int index = static_cast<int>(strtol(it->c_str() + colon + 1, nullptr, 10));
            const bool listed = m_known.count(*it) != 0;
            if (!listed || deleted(storage, index)) {
                madeRoomIn(listed ? storage : "");
                m_known.erase(*it);
                it = m_undeleted.erase(it);
            } else {
                ++it;
            }
        }
    }

    void forgetIncomplete()
    {
        for (auto it = m_held.begin(); it != m_held.end();) {
            const Sms& m = it->second.message;
            if (m.concatRef >= 0 && nowMs() - it->second.since >= m_config.keepIncompleteMs) {
                tell("segment " + std::to_string(m.concatSeq) + " of " + std::to_string(m.concatTotal) + " from " + m.address +
                     " (reference " + std::to_string(m.concatRef) + ") waited in vain for the rest: forgotten" +
                     (it->second.storage == kDirect ? "" : ", left in storage"));
                if (it->second.storage != kDirect) {
                    m_known[it->first] = it->second.pdu;
                }
                it = m_held.erase(it);
            } else {
                ++it;
            }
        }
    }

    Channel& m_channel;
    const ReceiverConfig m_config;
    unsigned m_generation = 0;
    bool m_ready = false;
    long long m_setUpAt = 0;
    long long m_setUpWaitMs = 0;
    bool m_polling = false;
    long long m_listAt = 0;
    long long m_listenerAt = 0;  // a listener that did not answer is asked again then
    int m_port = 0;
    int m_direct = -1;  // the indexes of messages that came without a place in storage
    std::string m_primary;
    std::string m_current;
    std::set<std::string> m_storages;
    std::map<std::string, int> m_counts;          // messages each storage held at its last listing
    std::map<std::string, Held> m_held;           // by "storage:index"
    std::map<std::string, std::string> m_known;   // places read that hold nothing to hand, with their PDU
    std::set<std::string> m_undeleted;            // handed on, their deletion failed
    std::vector<Announced> m_announced;
    std::vector<Announced> m_rereads;  // corrupt once: to be read again
    std::string m_said;
    std::set<std::string> m_told;
    std::map<std::string, std::string> m_suspect;  // places read once as corrupt, with their PDU
    std::set<std::string> m_full;                  // storages found full
    bool m_routedDirect = false;                   // new messages handed over without storage
    std::string m_indication;                      // the new-message indication the modem took
    int m_watch = -1;
    std::mutex m_requestMutex;
    std::condition_variable m_requestDone;
    unsigned m_clearAsked = 0;
    unsigned m_clearDone = 0;
    bool m_clearedAll = false;
    bool m_ended = false;
};

ReceiverThread::ReceiverThread(Channel& channel, const ReceiverConfig& config)
    : m_receiver(new Receiver(channel, config)), m_thread([this] { m_receiver->run(); })
{
}

ReceiverThread::~ReceiverThread()
{
    m_thread.join();
}

bool ReceiverThread::clearEarlierReplies(long long timeoutMs)
{
    return m_receiver->clearEarlierReplies(timeoutMs);
}

}  // namespace service
