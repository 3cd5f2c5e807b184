#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "at_channel.h"
#include "dmt.hpp"
#include "files.h"
#include "numbers.h"

namespace service {
namespace {

constexpr long long kSecond = 1000;
constexpr long long kMonth = 31LL * 86400;
constexpr size_t kShown = 40;  // of a line too long to be shown whole

std::string trim(const std::string& s)
{
    const size_t first = s.find_first_not_of(" \t\r");
    return first == std::string::npos ? "" : s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A whole decimal number within [low, high]; false otherwise.
bool inRange(const std::string& value, long long low, long long high, long long& out)
{
    if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out = strtoll(value.c_str(), nullptr, 10);
    return out >= low && out <= high;
}

// One setting; "" when it is sound, else what is wrong with it.
std::string apply(const std::string& key, const std::string& value, Settings& s)
{
    long long n = 0;
    std::string error;
    if (key == "modem" || key == "tree") {
        if (value[0] != '/') {
            return key + " must be an absolute path";
        }
        (key == "modem" ? s.modem : s.tree) = value;
    } else if (key == "baud") {
        if (!inRange(value, 1, 4000000, n) || atmodem::termiosSpeed(static_cast<int>(n)) == 0) {
            return "baud is none of the serial speeds (9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600, ...)";
        }
        s.baud = static_cast<int>(n);
    } else if (key == "rtscts" || key == "framing") {
        const bool yes = key == "rtscts" ? value == "yes" : value == "strict";
        if (!yes && value != (key == "rtscts" ? "no" : "permissive")) {
            return key == "rtscts" ? "rtscts is yes or no" : "framing is strict or permissive";
        }
        (key == "rtscts" ? s.rtscts : s.strictFraming) = yes;
    } else if (key == "reply_from") {
        if (!parseNumbers(value, s.replyFrom, error)) {
            return "reply_from: " + error;
        }
    } else if (key == "retries") {
        if (!inRange(value, 0, 100, n)) {
            return "retries is a number from 0 to 100";
        }
        s.retries = static_cast<int>(n);
    } else {
        static const struct {
            const char* key;
            long long low, high;
            long long Settings::*field;
        } durations[] = {{"retry_interval", 1, kMonth, &Settings::retryIntervalMs},
                         {"reply_wait", 1, kMonth, &Settings::replyWaitMs},
                         {"list_interval", 1, 86400, &Settings::listIntervalMs}};
        for (const auto& d : durations) {
            if (key == d.key) {
                if (!inRange(value, d.low, d.high, n)) {
                    return key + " is a number of seconds from " + std::to_string(d.low) + " to " + std::to_string(d.high);
                }
                s.*d.field = n * kSecond;
                return "";
            }
        }
        return "unknown setting";
    }
    return "";
}

// The next line of the file, without its line feed; false at the end. A line longer than
// kLongestSettingLine is read no further than its start.
bool nextLine(FILE* in, std::string& line, bool& tooLong)
{
    line.clear();
    tooLong = false;
    int c = 0;
    while ((c = getc(in)) != EOF && c != '\n') {
        if (line.size() < kLongestSettingLine) {
            line += static_cast<char>(c);
        } else {
            tooLong = true;
        }
    }
    return c != EOF || !line.empty();
}

}  // namespace

bool readSettings(const std::string& path, Settings& settings, std::string& error, bool missingIsDefault)
{
    settings.tree = settings.besideConfiguration = folderOf(path) + "/tree.txt";
    FILE* in = fopen(path.c_str(), "re");
    if (in == nullptr) {
        const bool defaults = missingIsDefault && errno == ENOENT;
        error = defaults ? "" : "cannot read " + path + ": " + strerror(errno);
        return defaults;
    }
    std::set<std::string> given;
    std::string line;
    bool tooLong = false;
    std::string wrong;
    int number = 1;
    for (; wrong.empty() && nextLine(in, line, tooLong); ++number) {
        // A comment: a line that starts with "#", or what follows a "#" after a blank.
        const size_t comment = line.find('#') == 0 ? 0 : std::min(line.find(" #"), line.find("\t#"));
        const std::string text = trim(line.substr(0, comment));
        const size_t eq = text.find('=');
        const std::string key = eq == std::string::npos ? "" : trim(text.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : trim(text.substr(eq + 1));
        wrong = tooLong                                    ? "a line longer than " + std::to_string(kLongestSettingLine) + " bytes"
                : line.find('\0') != std::string::npos     ? "a NUL byte in the line"
                : text.empty()                             ? ""
                : eq == std::string::npos                  ? "expected 'key = value'"
                : value.empty()                            ? "no value"
                : given.count(key) != 0                    ? "given twice"
                                                           : apply(key, value, settings);
        given.insert(key);
    }
    fclose(in);
    if (!wrong.empty()) {
        const std::string shown = line.size() > kShown ? line.substr(0, kShown) + "..." : line;
        error = path + ":" + std::to_string(number - 1) + ": " + wrong + ": " + escaped(trim(shown));
        return false;
    }
    error.clear();
    return true;
}

TreeFacts readTreeFacts()
{
    TreeFacts facts;
    if (!DmtTreeFactory::Initialize()) {
        return facts;
    }
    {
        const DmtPrincipal principal("localhost");
        const auto value = [](PDmtTree& tree, const char* path, DmtData& data) {
            PDmtNode node;
            return tree && !tree->GetNode(path, node) && node && !node->GetValue(data);
        };
        DmtData data;
        DMString text;
        const auto string = [&](PDmtTree& tree, const char* path) {
            return value(tree, path, data) && !data.GetString(text) && text.c_str() != nullptr ? std::string(text.c_str()) : "";
        };
        PDmtTree registration;
        if (!DmtTreeFactory::GetSubtree(principal, "./DevDetail/Ext/Conf/PMF/Agents/Registration", registration) && registration) {
            facts.readable = true;
            bool enabled = false;
            facts.enabled = value(registration, "Enable", data) && !data.GetBoolean(enabled) && enabled;
            facts.serverNumber = string(registration, "ServerNumber");
            for (long long* port : {&facts.serverPort, &facts.clientPort}) {
                int number = 0;
                if (value(registration, port == &facts.serverPort ? "ServerPort" : "ClientPort", data) && !data.GetInt(number)) {
                    *port = number;
                }
            }
            DMStringVector children;
            if (value(registration, "MNC", data) && !data.GetNodeValue(children)) {
                for (int i = 0; i < children.size(); ++i) {
                    const std::string code = std::string("MNC/") + (children[i].c_str() != nullptr ? children[i].c_str() : "") + "/Code";
                    facts.operators += string(registration, code.c_str()).size() >= 5;
                }
            }
        }
        // What the registration SMS names the device by.
        for (const char* node : {"./DevInfo/Man", "./DevInfo/Mod", "./DevDetail/SwV"}) {
            const std::string path(node);
            PDmtTree tree;
            const size_t slash = path.rfind('/');
            if (DmtTreeFactory::GetSubtree(principal, path.substr(0, slash).c_str(), tree) ||
                string(tree, path.substr(slash + 1).c_str()).empty()) {
                facts.emptyIdentity.push_back(path);
            }
        }
    }
    DmtTreeFactory::Uninitialize();
    return facts;
}

std::string notConfigured(const TreeFacts& facts)
{
    if (!facts.readable) {
        return "the tree holds no registration settings";
    }
    std::string missing;
    const auto add = [&missing](const std::string& what) { missing += (missing.empty() ? "" : "; ") + what; };
    if (facts.operators == 0) {
        add("no operator code of 5 digits or more is set under MNC");
    }
    if (facts.serverNumber.empty()) {
        add("no ServerNumber is set");
    }
    for (const long long* port : {&facts.serverPort, &facts.clientPort}) {
        const std::string name = port == &facts.serverPort ? "ServerPort" : "ClientPort";
        if (*port == TreeFacts::kNotSet) {
            add(name + " is not set");
        } else if (*port < 0 || *port > 65535) {
            add(name + " " + std::to_string(*port) + " is no port (0 to 65535)");
        }
    }
    for (const std::string& node : facts.emptyIdentity) {
        add(node + " is empty");
    }
    if (!facts.enabled) {
        add("Enable is not true");
    }
    return missing;
}

}  // namespace service
