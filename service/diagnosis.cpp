#include "diagnosis.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <limits.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "files.h"

namespace service {
namespace {

std::string firstLine(const std::string& path)
{
    std::string text;
    std::string error;
    readFile(path, 4096, text, error);
    return text.substr(0, text.find('\n'));
}

// The process that holds a lock on the file, from /proc/locks ("1: FLOCK  ADVISORY  WRITE 812
// 00:05:3 0 EOF"); "" for none.
std::string lockHolder(const struct stat& file)
{
    std::string locks;
    std::string error;
    readFile("/proc/locks", 1 << 20, locks, error);
    char wanted[64];
    snprintf(wanted, sizeof(wanted), "%02x:%02x:%lu", major(file.st_dev), minor(file.st_dev), static_cast<unsigned long>(file.st_ino));
    std::istringstream lines(locks);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string number, kind, mandatory, access, pid, id;
        if (fields >> number >> kind >> mandatory >> access >> pid >> id && id == wanted && pid != std::to_string(getpid()) &&
            pid.find_first_not_of("0123456789") == std::string::npos) {
            return pid;
        }
    }
    return "";
}

}  // namespace

std::string holderOf(const std::string& device)
{
    char real[PATH_MAX];
    struct stat file;
    if (realpath(device.c_str(), real) == nullptr || stat(real, &file) != 0) {
        return "";
    }
    const std::string locker = lockHolder(file);
    if (!locker.empty()) {
        return escaped(firstLine("/proc/" + locker + "/comm")) + " (pid " + locker + ")";
    }
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return "";
    }
    std::string holder;
    for (const dirent* process; holder.empty() && (process = readdir(proc)) != nullptr;) {
        const std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == std::to_string(getpid())) {
            continue;
        }
        DIR* fds = opendir(("/proc/" + pid + "/fd").c_str());
        for (const dirent* fd; fds != nullptr && holder.empty() && (fd = readdir(fds)) != nullptr;) {
            char target[PATH_MAX];
            const ssize_t n = readlink(("/proc/" + pid + "/fd/" + fd->d_name).c_str(), target, sizeof(target) - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == real) {
                holder = escaped(firstLine("/proc/" + pid + "/comm")) + " (pid " + pid + ")";
            }
        }
        if (fds != nullptr) {
            closedir(fds);
        }
    }
    closedir(proc);
    return holder;
}

std::string modemManagerHint(const std::string& device, const std::string& modemManager, const std::string& udevData)
{
    struct stat st;
    if (access(modemManager.c_str(), X_OK) != 0 || stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return "";
    }
    char entry[32];
    snprintf(entry, sizeof(entry), "/c%u:%u", major(st.st_rdev), minor(st.st_rdev));
    std::string properties;
    std::string error;
    readFile(udevData + entry, 1 << 16, properties, error);
    if (properties.find("E:ID_MM_PORT_IGNORE=1\n") != std::string::npos) {
        return "";
    }
    return "; ModemManager is installed and not told to leave " + device +
           " alone: give dmregd a port of its own with ID_MM_PORT_IGNORE=1 in the udev rule (see dmregd(8))";
}

Diagnosis diagnose(const atmodem::OpenFailure& failure, const std::string& device)
{
    const std::string reason = failure.error != 0 ? std::string(" (") + strerror(failure.error) + ")" : "";
    switch (failure.why) {
    case atmodem::Unusable::NoDevice:
        return {kNoModem, "there is no modem at " + device + reason +
                              ": dmregd is started when it appears (its udev rule), or set modem in dmregd.conf"};
    case atmodem::Unusable::NoPermission:
        return {kNoPermission, "the modem " + device + " may not be opened" + reason +
                                   ": the service's user needs its group (ls -l " + device +
                                   ") and the unit must allow the device (DeviceAllow=)"};
    case atmodem::Unusable::Busy: {
        const std::string holder = holderOf(device);
        return {kModemBusy, "the modem " + device + " is held by " + (holder.empty() ? "another program" : holder) +
                                ": tried again later" + modemManagerHint(device)};
    }
    case atmodem::Unusable::NotSerial:
        return {kNoModem, device + " is no serial port" + reason + ": set modem in dmregd.conf to the modem's AT port"};
    case atmodem::Unusable::NoAnswer:
        return {kModemBusy, "the modem at " + device + " does not answer AT: tried again later" + modemManagerHint(device)};
    case atmodem::Unusable::NotConfigured:
    case atmodem::Unusable::None:
        break;
    }
    return {kSoftware, "the modem at " + device + " cannot be used"};
}

}  // namespace service
