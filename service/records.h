// What the registration records on a Linux device, and how dmregd keeps it whole.
//
// The device maker's tree (/etc/dmreg/tree.txt) is only read: the registration works on the
// service's own copy in its state folder, made anew from the maker's tree at every start, so that
// an edit there takes effect at the next start. The copy carries the registration's own nodes
// (RegIMSI, RegStatus) over from the copy before. The status file is the registration's record:
// where the copy disagrees with it (a crash between the two), the copy follows it.
#ifndef SERVICE_RECORDS_H
#define SERVICE_RECORDS_H

#include <string>
#include <vector>

namespace service {

constexpr size_t kLongestTree = 1 << 20;

// A registration as the disk holds it.
struct Registration {
    std::string statusImsi;  // the status file's IMSI, "" for none
    bool statusReadable = true;
    std::string statusError;  // why it cannot be read
    std::string treeImsi;    // the copy's RegIMSI
    int treeStatus = -1;     // the copy's RegStatus, -1 when it has none
};
Registration readRegistration(const std::string& statusFile, const std::string& tree);

// Whether the status file and the tree say the same: a SIM registered in both (its RegStatus 0
// when a later SIM's registration was refused), or in neither.
bool agree(const Registration& r);

// The value of a leaf in a tree file's text ("<path> <type> <value>"); false when it has none.
bool leafValue(const std::string& text, const std::string& path, std::string& value);

struct TreeCopy {
    std::vector<std::string> notes;  // what was mended on the way, a line each
    std::string error;
};
// Makes the copy at copyPath from the maker's tree text: the maker's lines, and the
// registration's nodes as the copy before held them (or, without one, as the status file says),
// brought into agreement with the status file. A copy of an earlier version, which its maker may
// have edited, is kept beside it as copyPath + ".earlier". Written durably; false on failure.
bool makeTreeCopy(const std::string& makerText, const std::string& makerPath, const std::string& copyPath,
                  const std::string& statusFile, TreeCopy& result);

// The registration's nodes of a tree file's text set to imsi and status (appended when missing).
std::string withRegistration(const std::string& text, const std::string& imsi, int status);

// Whether an acknowledgement text confirms the registration of the handset imei, as the
// registration judges it: its first "IMEI:" names imei up to the "/" after it, and its last
// character is "1".
bool confirms(const std::string& text, const std::string& imei);

}  // namespace service

#endif
