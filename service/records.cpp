#include "records.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "files.h"

namespace service {
namespace {

constexpr char kImsiNode[] = "./DevDetail/Ext/Conf/PMF/Agents/Registration/RegIMSI";
constexpr char kStatusNode[] = "./DevDetail/Ext/Conf/PMF/Agents/Registration/RegStatus";
constexpr char kCopyMark[] = "# dmregd's own copy of ";

bool isNode(const std::string& line, const std::string& path)
{
    return line.compare(0, path.size(), path) == 0 && line.size() > path.size() && line[path.size()] == ' ';
}

bool isCopy(const std::string& text)
{
    return text.compare(0, strlen(kCopyMark), kCopyMark) == 0;
}

}  // namespace

bool leafValue(const std::string& text, const std::string& path, std::string& value)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (isNode(line, path)) {
            const size_t type = line.find(' ', path.size() + 1);  // "<path> <type> <value>"
            value = type == std::string::npos ? "" : line.substr(type + 1);
            return true;
        }
    }
    return false;
}

Registration readRegistration(const std::string& statusFile, const std::string& tree)
{
    Registration r;
    std::string text;
    std::string error;
    const Read status = readFile(statusFile, 64, text, r.statusError);
    r.statusReadable = status != Read::Failed;
    r.statusImsi = status == Read::Ok ? text : "";
    std::string value;
    if (readFile(tree, kLongestTree, text, error) == Read::Ok) {
        r.treeImsi = leafValue(text, kImsiNode, value) ? value : "";
        r.treeStatus = leafValue(text, kStatusNode, value) && !value.empty() ? static_cast<int>(strtol(value.c_str(), nullptr, 10)) : -1;
    }
    return r;
}

bool agree(const Registration& r)
{
    // RegStatus 0 beside the registered SIM: a later SIM's registration was refused.
    return r.statusImsi.empty() ? r.treeStatus != 1 : r.treeImsi == r.statusImsi && r.treeStatus >= 0;
}

std::string withRegistration(const std::string& text, const std::string& imsi, int status)
{
    std::istringstream lines(text);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        if (!isNode(line, kImsiNode) && !isNode(line, kStatusNode)) {
            out += line + "\n";
        }
    }
    return out + kImsiNode + " string " + imsi + "\n" + kStatusNode + " int " + std::to_string(status) + "\n";
}

bool makeTreeCopy(const std::string& makerText, const std::string& makerPath, const std::string& copyPath,
                  const std::string& statusFile, TreeCopy& result)
{
    std::string before;
    std::string error;
    const Read read = readFile(copyPath, kLongestTree, before, error);
    if (read == Read::Ok && !isCopy(before) && !writeDurably(copyPath + ".earlier", before, result.error)) {
        return false;
    }
    if (read == Read::Ok && !isCopy(before)) {
        result.notes.push_back("the tree " + copyPath + " of an earlier version is kept as " + copyPath +
                               ".earlier: the tree is now made from " + makerPath + " at every start, and edits go there");
    }
    // The registration's nodes as the copy before held them; the status file decides where it
    // disagrees, and for a copy that cannot be read.
    Registration r = readRegistration(statusFile, copyPath);
    if (read != Read::Ok) {
        r.treeImsi = r.statusImsi;
        r.treeStatus = r.statusImsi.empty() ? 0 : 1;
    }
    if (!r.statusReadable) {
        result.error = "the status file " + statusFile + " cannot be read: " + r.statusError;
        return false;
    }
    if (!agree(r)) {
        result.notes.push_back("the tree said RegStatus " + std::to_string(r.treeStatus) + ", RegIMSI '" + escaped(r.treeImsi) +
                               "', the status file " + (r.statusImsi.empty() ? "no SIM" : "SIM " + escaped(r.statusImsi)) +
                               " registered: the tree follows the status file");
        r.treeImsi = r.statusImsi;
        r.treeStatus = r.statusImsi.empty() ? 0 : 1;
    }
    const std::string copy = std::string(kCopyMark) + makerPath + ", made at every start: edit that file, not this one.\n" +
                             withRegistration(makerText, r.treeImsi, r.treeStatus < 0 ? 0 : r.treeStatus);
    return copy == before || writeDurably(copyPath, copy, result.error);
}

bool confirms(const std::string& text, const std::string& imei)
{
    const size_t tag = text.find("IMEI:");
    const size_t slash = tag == std::string::npos ? std::string::npos : text.find('/', tag + 5);
    return slash != std::string::npos && text.compare(tag + 5, slash - tag - 5, imei) == 0 && text.back() == '1';
}

}  // namespace service
