#include "settings.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

#include "at_channel.h"
#include "dmt.hpp"
#include "numbers.h"

namespace service {
namespace {

constexpr long long kSecond = 1000;
constexpr long long kMonth = 31LL * 86400;

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
    out = std::stoll(value);
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

}  // namespace

bool readSettings(const std::string& path, Settings& settings, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::set<std::string> given;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = trim(line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        const size_t eq = text.find('=');
        const std::string key = eq == std::string::npos ? "" : trim(text.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : trim(text.substr(eq + 1));
        std::string wrong = eq == std::string::npos ? "expected 'key = value'"
                            : value.empty()         ? "no value"
                            : given.count(key) != 0 ? "given twice"
                                                    : apply(key, value, settings);
        if (!wrong.empty()) {
            error = path + ":" + std::to_string(number) + ": " + wrong + ": " + text;
            return false;
        }
        given.insert(key);
    }
    if (settings.modem.empty()) {
        error = path + ": no modem given (modem = /dev/dmreg-modem, say)";
        return false;
    }
    return true;
}

TreeFacts readTreeFacts()
{
    TreeFacts facts;
    if (!DmtTreeFactory::Initialize()) {
        return facts;
    }
    {
        PDmtTree tree;
        const DmtPrincipal principal("localhost");
        if (!DmtTreeFactory::GetSubtree(principal, "./DevDetail/Ext/Conf/PMF/Agents/Registration", tree) && tree) {
            facts.readable = true;
            const auto value = [&tree](const char* path, DmtData& data) {
                PDmtNode node;
                return !tree->GetNode(path, node) && node && !node->GetValue(data);
            };
            DmtData data;
            bool enabled = false;
            facts.enabled = value("Enable", data) && !data.GetBoolean(enabled) && enabled;
            DMString text;
            if (value("ServerNumber", data) && !data.GetString(text) && text.c_str() != nullptr) {
                facts.serverNumber = text.c_str();
            }
            DMStringVector children;
            if (value("MNC", data) && !data.GetNodeValue(children)) {
                for (int i = 0; i < children.size(); ++i) {
                    const std::string code = std::string("MNC/") + (children[i].c_str() != nullptr ? children[i].c_str() : "") + "/Code";
                    facts.operators += value(code.c_str(), data) && !data.GetString(text) && text.length() >= 5;
                }
            }
        }
    }
    DmtTreeFactory::Uninitialize();
    return facts;
}

std::string notConfigured(const TreeFacts& facts)
{
    return !facts.readable             ? "the tree holds no registration settings"
           : facts.operators == 0      ? "no operator code of 5 digits or more is set under MNC"
           : facts.serverNumber.empty() ? "no ServerNumber is set"
           : !facts.enabled            ? "Enable is not true"
                                       : "";
}

}  // namespace service
