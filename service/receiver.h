// The receiver of a Linux device with a cellular modem: the device-management server's replies
// come as SMS to the client port, and no dispatcher of a handset's platform hands them on. The
// receiver reads the messages the modem announces (in the storage the announcement names) and,
// every list interval, those it holds, so that an announcement lost never strands a reply; it
// reassembles segments, and hands each reply to the client port from a number of the server to
// the acknowledgement listener as a local client does. A reply leaves the modem's storage only
// once the listener has taken it. Everything else, another application's message, one for another
// port or from another number, a SUBMIT or status report in storage, a corrupt one, is left
// where it is, and told of once when it concerns the registration.
//
// It sleeps in poll(2) on the modem and its wake-up descriptor between two listings: a modem that
// sends nothing costs nothing.
#ifndef SERVICE_RECEIVER_H
#define SERVICE_RECEIVER_H

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "at_channel.h"

namespace service {

struct ReceiverConfig {
    std::string socketPath;               // the acknowledgement listener's
    std::vector<std::string> replyFrom;   // the numbers a reply may come from
    std::vector<std::string> homeCountries;  // whose national numbers match (numbers.h)
    std::string device;                   // the modem's port, watched for while it is away
    int clientPort = 0;                   // the tree's, for replies looked at before the listener runs
    long long listIntervalMs = 600000;    // stored messages are listed this often
    long long keepIncompleteMs = 600000;  // an incomplete set of segments is forgotten after
    long long setUpAgainMs = 5000;        // while there is no modem, it is looked for this often
    long long listenerAgainMs = 30000;    // a reply the listener did not take, or not record, is handed again after
    int wakeFd = -1;                      // readable: the listener may take messages now, or a request waits
    // A line for the journal, with its priority (trace_sink.h).
    std::function<void(int, const std::string&)> log;
    // After the listener took a reply: whether what it means is on the disk now. Only then does
    // the reply leave the modem's storage; until then it is handed again from time to time.
    std::function<bool(const std::string&)> recorded;
    std::function<void(const std::string&)> handed;  // recorded, and out of storage
};

class Receiver;

// The receiver on a thread of its own, until the channel stops; and what other threads may ask of it.
class ReceiverThread {
public:
    ReceiverThread(atmodem::Channel& channel, const ReceiverConfig& config);
    ~ReceiverThread();  // joins: the channel must have been stopped
    ReceiverThread(const ReceiverThread&) = delete;
    ReceiverThread& operator=(const ReceiverThread&) = delete;

    // Before a SIM's first send: the server's replies to the client port that are in storage now
    // answered an earlier registration, and are deleted, so that none of them confirms this one.
    // Waits until it is done, or timeoutMs; false when they could not all be deleted.
    bool clearEarlierReplies(long long timeoutMs);

private:
    std::unique_ptr<Receiver> m_receiver;
    std::thread m_thread;
};

}  // namespace service

#endif
