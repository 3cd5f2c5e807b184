#include "lifetime.h"

#include <cstdlib>
#include <sstream>

#include "files.h"

namespace service {

constexpr int kLongestBackoffShift = 10;

Lifetime::Lifetime(const Limits& limits, const Record& stored, const std::string& boot, const std::string& imsi, long long nowMs)
    : m_limits(limits), m_record(stored)
{
    const bool goesOn = !boot.empty() && stored.boot == boot && (imsi.empty() || stored.imsi.empty() || stored.imsi == imsi);
    if (!goesOn) {  // a new boot, or another SIM: tries afresh
        m_record = Record();
        m_record.boot = boot;
    }
    if (!imsi.empty()) {
        m_record.imsi = imsi;
    }
    const bool awaiting = m_record.sentAt >= 0 && m_record.sentAt >= m_record.failedAt && nowMs < m_record.sentAt + m_limits.replyWaitMs;
    m_state = awaiting ? State::AwaitingReply : State::Due;
}

long long Lifetime::dueAt() const
{
    if (m_record.tries == 0) {
        return 0;
    }
    if (m_record.sentAt >= 0 && m_record.sentAt >= m_record.failedAt) {
        return m_record.sentAt + m_limits.replyWaitMs;  // no reply came: send again
    }
    const int shift = m_record.tries - 1 < kLongestBackoffShift ? m_record.tries - 1 : kLongestBackoffShift;
    return m_record.failedAt + (m_limits.retryIntervalMs << shift);
}

Lifetime::Next Lifetime::next(long long nowMs)
{
    if (m_running && m_state != State::Stopped && m_state != State::Registered) {
        // A flow or a listener runs: its end, or the reply's deadline, comes first.
        return m_state == State::AwaitingReply ? Next{Step::Listen, m_record.sentAt + m_limits.replyWaitMs, 0} : Next{Step::Wait, -1, 0};
    }
    switch (m_state) {
    case State::Stopped:
    case State::Registered:
    case State::NotNeeded:
        return {Step::Exit, -1, kDone};
    case State::NoModem:
        return {Step::Exit, -1, kModemBusy};
    case State::GaveUp:
        return {Step::Exit, -1, kGaveUp};
    case State::Trying:
        return {Step::Wait, -1, 0};  // the flow runs: its events come
    case State::AwaitingReply:
        if (nowMs < m_record.sentAt + m_limits.replyWaitMs) {
            m_running = true;
            return {Step::Listen, m_record.sentAt + m_limits.replyWaitMs, 0};
        }
        break;
    case State::Due:
    case State::Waiting:
        break;
    }
    if (m_record.tries > m_limits.retries) {
        m_state = State::GaveUp;
        return {Step::Exit, -1, kGaveUp};
    }
    const long long due = dueAt();
    if (nowMs >= due) {
        m_state = State::Trying;
        m_running = true;
        return {Step::RunFlow, -1, 0};
    }
    m_state = State::Waiting;
    return {Step::Wait, due, 0};
}

void Lifetime::sendStarting(const std::string& imsi, long long nowMs)
{
    ++m_record.tries;
    if (!imsi.empty()) {
        m_record.imsi = imsi;
    }
    m_record.sentAt = nowMs;
    if (m_state != State::Stopped) {
        m_state = State::AwaitingReply;
    }
}

void Lifetime::sendFailed(long long nowMs, const std::string& failure)
{
    m_record.sentAt = -1;  // nothing went out: no reply is awaited
    m_record.failedAt = nowMs;
    m_record.failure = failure;
    if (m_state != State::Stopped) {
        m_state = State::Waiting;
    }
}

void Lifetime::flowEnded(bool registered, bool modemAnswered, long long nowMs, const std::string& fault)
{
    m_running = false;
    if (m_state == State::Stopped || m_state == State::Registered) {
        return;
    }
    if (registered && m_state != State::Trying) {
        m_state = State::Registered;
    } else if (m_state == State::Trying && modemAnswered && !registered && !fault.empty()) {
        ++m_record.tries;  // the modem was not ready for the flow: a try that failed
        m_record.sentAt = -1;
        m_record.failedAt = nowMs;
        m_record.failure = fault;
        m_state = State::Waiting;
    } else if (m_state == State::Trying) {  // ended before any send: registered before, nothing to register, or no modem
        m_state = modemAnswered ? State::NotNeeded : State::NoModem;
    } else if (m_state == State::AwaitingReply && nowMs >= m_record.sentAt + m_limits.replyWaitMs) {
        m_state = State::Due;
        m_record.failure = "no reply came within reply_wait";
    }
}

void Lifetime::replyRecorded()
{
    if (m_state != State::Stopped) {
        m_state = State::Registered;
    }
}

void Lifetime::stop()
{
    m_state = State::Stopped;
}

std::string recordText(const Record& record)
{
    std::ostringstream text;
    text << "imsi=" << record.imsi << "\nboot=" << record.boot << "\ntries=" << record.tries << "\nsent=" << record.sentAt
         << "\nfailed=" << record.failedAt << "\nfailure=" << escaped(record.failure) << "\n";
    return text.str();
}

bool saveRecord(const std::string& path, const Record& record, std::string& error)
{
    return writeDurably(path, recordText(record), error);
}

Record loadRecord(const std::string& path, std::string& error)
{
    Record record;
    std::string content;
    const Read read = readFile(path, 4096, content, error);
    if (read != Read::Ok) {
        error = read == Read::Missing ? "" : error + ": the record is started afresh";
        return record;
    }
    std::istringstream in(content);
    std::string line;
    int fields = 0;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        const std::string key = line.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
        char* end = nullptr;
        const long long number = strtoll(value.c_str(), &end, 10);
        const bool numeric = !value.empty() && *end == '\0';
        if (key == "imsi" && value.find_first_not_of("0123456789") == std::string::npos && value.size() <= 15) {
            record.imsi = value;
        } else if (key == "boot" && value.size() <= 64) {
            record.boot = value;
        } else if (key == "tries" && numeric && number >= 0 && number <= 1000) {
            record.tries = static_cast<int>(number);
        } else if ((key == "sent" || key == "failed") && numeric && number >= -1) {
            (key == "sent" ? record.sentAt : record.failedAt) = number;
        } else if (key == "failure" && eq != std::string::npos) {
            record.failure = value;
        } else {
            error = path + ": '" + escaped(line.substr(0, 80)) + "' is no line of a record: the record is started afresh";
            return Record();
        }
        ++fields;
    }
    // The record of an earlier version has no failure line.
    if (fields != (content.find("\nfailure=") != std::string::npos ? 6 : 5)) {
        error = path + ": the record is incomplete: it is started afresh";
        return Record();
    }
    return record;
}

}  // namespace service
