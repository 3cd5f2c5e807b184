// What is wrong with a modem that the channel could not use, told at once and rightly: each
// fault its own line and exit status, the program that holds the port named where /proc tells,
// and ModemManager named where it may take the port.
#ifndef SERVICE_DIAGNOSIS_H
#define SERVICE_DIAGNOSIS_H

#include <string>

#include "at_channel.h"
#include "lifetime.h"

namespace service {

struct Diagnosis {
    int exitStatus;
    std::string line;
};
Diagnosis diagnose(const atmodem::OpenFailure& failure, const std::string& device);

// The program that has device open ("ModemManager (pid 812)"), "" when /proc does not tell.
std::string holderOf(const std::string& device);
// A hint when ModemManager is installed (the program at modemManager) and the udev database (its
// folder udevData) does not tell it to leave the device alone (ID_MM_PORT_IGNORE); "" otherwise.
std::string modemManagerHint(const std::string& device, const std::string& modemManager = "/usr/sbin/ModemManager",
                             const std::string& udevData = "/run/udev/data");

}  // namespace service

#endif
