#include "at_answers.h"

#include <cstdlib>
#include <cstring>

namespace atmodem {
namespace {

// The text after a "+TAG:" prefix and its blanks, or null when the line has another.
const char* after(const std::string& line, const char* tag)
{
    if (line.compare(0, strlen(tag), tag) != 0) {
        return nullptr;
    }
    const char* rest = line.c_str() + strlen(tag);
    return rest + strspn(rest, " ");
}

// A decimal number at text, ended by the end of the text or by one of ends.
bool number(const char* text, long& value, const char* ends = "")
{
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    value = strtol(text, &end, 10);
    return strchr(ends, *end) != nullptr;  // the terminator is found in every ends
}

}  // namespace

int simStatus(const Lines& lines)
{
    for (const std::string& line : lines) {
        const char* state = after(line, "+CPIN:");
        if (state != nullptr) {
            return strcmp(state, "READY") == 0 ? kSimReady : strcmp(state, "SIM PIN") == 0 ? kSimPinRequired : kSimLocked;
        }
    }
    return -1;
}

int pinLock(const Lines& lines)
{
    for (const std::string& line : lines) {
        const char* state = after(line, "+CLCK:");
        if (state != nullptr && (strcmp(state, "0") == 0 || strcmp(state, "1") == 0)) {
            return *state - '0';
        }
    }
    return -1;
}

bool imsi(const Lines& lines, char* out)
{
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        const char* digits = after(*line, "+CIMI:");
        digits = digits != nullptr ? digits : line->c_str();
        const size_t length = strlen(digits);
        if (length >= 5 && length <= 15 && strspn(digits, "0123456789") == length) {
            memcpy(out, digits, length + 1);
            return true;
        }
    }
    return false;
}

bool imei(const Lines& lines, char* out)
{
    for (const std::string& line : lines) {
        const char* text = after(line, "+CGSN:");
        text = text != nullptr ? text : after(line, "IMEI") != nullptr ? after(line, "IMEI") : line.c_str();
        text += strspn(text, ": \"");
        const size_t digits = strspn(text, "0123456789");
        if (digits >= 14 && (text[digits] == '\0' || text[digits] == '"')) {
            const size_t kept = digits < 15 ? digits : 15;
            memcpy(out, text, kept);
            out[kept] = '\0';
            return true;
        }
    }
    return false;
}

bool serviceCentre(const Lines& lines, char* out)
{
    for (const std::string& line : lines) {
        const char* quoted = after(line, "+CSCA:");
        const char* close = quoted != nullptr && *quoted == '"' ? strchr(quoted + 1, '"') : nullptr;
        if (close != nullptr && close - quoted - 1 <= 41) {
            memcpy(out, quoted + 1, static_cast<size_t>(close - quoted - 1));
            out[close - quoted - 1] = '\0';
            return true;
        }
    }
    return false;
}

int messageReference(const Lines& lines)
{
    for (const std::string& line : lines) {
        long value = 0;
        if (number(after(line, "+CMGS:"), value, ",") && value <= 255) {
            return static_cast<int>(value);
        }
    }
    return -1;
}

std::vector<Stored> storedMessages(const Lines& lines, int readIndex)
{
    std::vector<Stored> stored;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        long index = readIndex;
        const char* listed = after(lines[i], readIndex < 0 ? "+CMGL:" : "+CMGR:");
        if (listed != nullptr && (readIndex >= 0 || number(listed, index, ","))) {
            stored.push_back({static_cast<int>(index), lines[++i]});
        }
    }
    return stored;
}

int newMessageIndex(const std::string& line)
{
    const char* rest = after(line, "+CMTI:");
    const char* comma = rest != nullptr ? strchr(rest, ',') : nullptr;
    long index = -1;
    return comma != nullptr && number(comma + 1, index) && index <= 65535 ? static_cast<int>(index) : -1;
}

}  // namespace atmodem
