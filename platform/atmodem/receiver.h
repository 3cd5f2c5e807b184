// The receiver of a Linux device with a cellular modem: the device-management server's replies
// come as SMS to the client port, and no dispatcher of a handset's platform hands them on. The
// receiver reads the modem's stored and newly announced messages, reassembles segments, and hands
// each text for the client port that the acknowledgement listener answers to GetPort to that
// listener as a local client does; a message leaves the modem's storage only once the listener
// has taken it. Messages for other ports, without ports, or corrupt ones are never touched.
#ifndef ATMODEM_RECEIVER_H
#define ATMODEM_RECEIVER_H

#include <atomic>
#include <functional>
#include <string>

#include "at_channel.h"

#pragma GCC visibility push(default)
namespace atmodem {

struct ReceiverConfig {
    std::string socketPath;                   // the acknowledgement listener's
    int keepIncompleteMs = 600000;            // an incomplete set of segments is forgotten after
    int waitMs = 250;                         // one wait for what the modem sends
    int setUpAgainMs = 5000;                  // while there is no modem, it is looked for this often
    std::function<void(const std::string&)> log = [](const std::string&) {};
};

// Runs until stop is set; returns within waitMs of it (or when a command in progress ends).
void runReceiver(Channel& channel, const ReceiverConfig& config, const std::atomic<bool>& stop);

}  // namespace atmodem
#pragma GCC visibility pop

#endif
