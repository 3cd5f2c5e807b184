// dmregd's life from start to a confirmed registration. The registration library registers once
// per run of its flow and never retries; on a handset its host runs it again at every boot. The
// service is that host on a Linux device, and this policy decides what it does next:
//
//   Due ───────► Trying ──send accepted──► AwaitingReply ──reply recorded──► Registered (exit 0)
//    ▲             │  │                         │
//    │   send failed, or flow   flow ended unsent: reply_wait over
//    │   ended for a fault   │  nothing to do        │
//    └──Waiting ◄──┘      NotNeeded / NoModem       └──► Due again (a re-send: one more try)
//       (retry_interval, doubled after each failed try)
//
//   Every try counts against retries: after 1 + retries tries without a recorded reply, GaveUp
//   (exit 4). A stop, in any state, ends the service with exit 0.
//
// A try is a fresh run of the library's whole flow (DM_RegLaunch::activateDmRegister), so that every
// trace line of the contract is kept; a reply awaited after a restart is awaited by the library's
// listener alone (DM_RegServer), never by a second send. What must survive a restart (the SIM, the
// tries made and when) is the Record, written crash-safely by saveRecord after every change: a
// service that crashes and is started again within the same boot goes on where it was, so a crash
// loop cannot send an SMS at every start. A new boot starts afresh, as a handset does.
//
// The policy does no I/O and reads no clock: times are milliseconds on the boot's clock
// (CLOCK_BOOTTIME, which runs on through a suspend), given by its caller.
#ifndef SERVICE_LIFETIME_H
#define SERVICE_LIFETIME_H

#include <string>

namespace service {

// Exit statuses, chosen so that systemd names them for what they are (sysexits.h and LSB).
enum Exit {
    kDone = 0,           // registered, nothing to register, or stopped
    kGaveUp = 1,         // every try failed (FAILURE)
    kUsage = 2,          // usage or configuration error (INVALIDARGUMENT)
    kNoSim = 5,          // the modem holds no usable SIM (NOTINSTALLED)
    kNotConfigured = 6,  // the tree does not configure the registration (NOTCONFIGURED)
    kNoModem = 69,       // no modem at the configured port (UNAVAILABLE)
    kSoftware = 70,      // a fault of the service itself (SOFTWARE)
    kCannotRecord = 74,  // a record cannot be written: a full disk, an I/O error (IOERR)
    kModemBusy = 75,     // the modem is held by another program, or does not answer (TEMPFAIL)
    kNoPermission = 77,  // the modem's port may not be opened (NOPERM)
    kFolders = 78,       // a folder of the service's is not its own (CONFIG)
};

struct Limits {
    int retries = 3;
    long long retryIntervalMs = 3600 * 1000LL;
    long long replyWaitMs = 86400 * 1000LL;
};

struct Record {
    std::string imsi;       // the SIM the tries are for, "" while unknown
    std::string boot;       // the boot they were made in
    int tries = 0;          // sends tried, accepted or not
    long long sentAt = -1;  // when the last send was made, -1 for none in this boot or a refused one
    long long failedAt = -1;
    std::string failure;    // what went wrong last, "" while nothing did
};

class Lifetime {
public:
    enum class State { Due, Waiting, Trying, AwaitingReply, Registered, NotNeeded, NoModem, GaveUp, Stopped };
    enum class Step { RunFlow, Listen, Wait, Exit };
    struct Next {
        Step step;
        long long untilMs;  // Wait, Listen: the time that ends the step; -1 for none
        int exitStatus;     // Exit
    };

    // stored is what a restart found; boot and imsi are this run's (imsi "" while unknown).
    Lifetime(const Limits& limits, const Record& stored, const std::string& boot, const std::string& imsi, long long nowMs);

    // What to do now. RunFlow and Listen mean a flow is started: until flowEnded, next answers only
    // the reply's deadline.
    Next next(long long nowMs);
    State state() const { return m_state; }
    const Record& record() const { return m_record; }

    // A send begins: counted as made before it is made, so that a crash during it or after it
    // never lets a restart send again; the record must be saved before the send. A send that the
    // telephony refused is told after it.
    void sendStarting(const std::string& imsi, long long nowMs);
    void sendFailed(long long nowMs, const std::string& failure);
    // Something went wrong that does not change the state: a reply that did not confirm.
    void noteFailure(const std::string& failure) { m_record.failure = failure; }
    // The flow ended: registered tells whether the status file holds the SIM's IMSI now (by a
    // reply of this run, or from before when nothing was sent), modemAnswered whether the modem
    // answered at all, fault what kept the flow from deciding ("" when it decided: nothing to
    // register); a flow that ended unsent for a fault is a failed try.
    void flowEnded(bool registered, bool modemAnswered, long long nowMs, const std::string& fault = "");
    // The listener recorded the server's reply for this SIM.
    void replyRecorded();
    void stop();

private:
    long long dueAt() const;

    const Limits m_limits;
    Record m_record;
    State m_state = State::Due;
    bool m_running = false;
};

// The record as a file of "key=value" lines (imsi, boot, tries, sent, failed, failure; see
// dmregd(8)), replaced whole and durably (files.h), so that a crash or a power cut leaves the old
// record or the new one. Reading a missing or malformed file gives an empty record (and says why
// in error when the file is malformed or is no regular file).
std::string recordText(const Record& record);
bool saveRecord(const std::string& path, const Record& record, std::string& error);
Record loadRecord(const std::string& path, std::string& error);

}  // namespace service

#endif
