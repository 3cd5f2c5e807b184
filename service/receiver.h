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
#include <string>
#include <vector>

#include "at_channel.h"

namespace service {

struct ReceiverConfig {
    std::string socketPath;               // the acknowledgement listener's
    std::vector<std::string> replyFrom;   // the numbers a reply may come from
    long long listIntervalMs = 600000;    // stored messages are listed this often
    long long keepIncompleteMs = 600000;  // an incomplete set of segments is forgotten after
    long long setUpAgainMs = 5000;        // while there is no modem, it is looked for this often
    int wakeFd = -1;                      // readable: the listener may take messages now
    std::function<void(const std::string&)> log = [](const std::string&) {};
    std::function<void(const std::string&)> handed = [](const std::string&) {};  // a reply the listener took
};

// Runs until the channel stops.
void runReceiver(atmodem::Channel& channel, const ReceiverConfig& config);

}  // namespace service

#endif
