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

std::string trimmed(const std::string& text, const char* blanks = " ")
{
    const size_t first = text.find_first_not_of(blanks);
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A decimal number of a whole field.
bool number(const std::string& field, long& value)
{
    const std::string text = trimmed(field);
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = strtol(text.c_str(), nullptr, 10);
    return true;
}

// The comma-separated fields of an answer, quotes kept; a comma inside quotes is no separator.
std::vector<std::string> fields(const char* text)
{
    std::vector<std::string> out(1);
    for (bool quoted = false; *text != '\0'; ++text) {
        if (*text == '"') {
            quoted = !quoted;
        }
        if (*text == ',' && !quoted) {
            out.emplace_back();
        } else {
            out.back() += *text;
        }
    }
    return out;
}

std::string unquoted(const std::string& field)
{
    const std::string text = trimmed(field);
    return text.size() >= 2 && text.front() == '"' && text.back() == '"' ? text.substr(1, text.size() - 2) : text;
}

// A number written in UCS-2 hex ("002B0034..."), as modems give it when the character set is
// UCS2; the text itself when it is no such thing.
std::string fromUcs2(const std::string& text)
{
    if (text.empty() || text.size() % 4 != 0) {
        return text;
    }
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        const std::string unit = text.substr(i, 4);
        if (unit.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
            return text;
        }
        const long code = strtol(unit.c_str(), nullptr, 16);
        if (code != '+' && (code < '0' || code > '9')) {
            return text;
        }
        out += static_cast<char>(code);
    }
    return out;
}

}  // namespace

int simStatus(const Lines& lines)
{
    static const char* const usable[] = {"READY", "SIM PIN2", "SIM PUK2"};  // PIN2 guards no SMS
    static const char* const locks[] = {"SIM PUK",     "PH-SIM PIN",  "PH-FSIM PIN", "PH-FSIM PUK", "PH-NET PIN",
                                        "PH-NET PUK",  "PH-NETSUB PIN", "PH-NETSUB PUK", "PH-SP PIN", "PH-SP PUK",
                                        "PH-CORP PIN", "PH-CORP PUK"};
    for (const std::string& line : lines) {
        const char* tagged = after(line, "+CPIN:");
        const std::string state = unquoted(tagged != nullptr ? tagged : line);
        if (state == "SIM PIN") {
            return kSimPinRequired;
        }
        for (const char* word : usable) {
            if (state == word) {
                return kSimReady;
            }
        }
        for (const char* word : locks) {
            if (state == word) {
                return kSimLocked;
            }
        }
    }
    return -1;
}

int pinLock(const Lines& lines)
{
    for (const std::string& line : lines) {
        const char* state = after(line, "+CLCK:");
        long value = -1;
        if (state != nullptr && number(fields(state)[0], value) && value <= 1) {
            return static_cast<int>(value);
        }
    }
    return -1;
}

bool imsi(const Lines& lines, char* out)
{
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        const char* tagged = after(*line, "+CIMI:");
        const std::string digits = trimmed(tagged != nullptr ? tagged : *line, " \"");
        if (digits.size() >= 5 && digits.size() <= 15 && digits.find_first_not_of("0123456789") == std::string::npos) {
            memcpy(out, digits.c_str(), digits.size() + 1);
            return true;
        }
    }
    return false;
}

char luhnDigit(const std::string& fourteenDigits)
{
    int sum = 0;
    for (size_t i = 0; i < 14 && i < fourteenDigits.size(); ++i) {
        const int digit = fourteenDigits[i] - '0';
        const int weighted = i % 2 == 1 ? digit * 2 : digit;  // every second digit, from the check digit's left
        sum += weighted / 10 + weighted % 10;
    }
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

Imei imei(const Lines& lines, char* out)
{
    Imei found = Imei::None;
    for (const std::string& line : lines) {
        const char* text = after(line, "+CGSN:");
        text = text != nullptr ? text : after(line, "IMEI") != nullptr ? after(line, "IMEI") : line.c_str();
        text += strspn(text, ": \"");
        const size_t digits = strspn(text, "0123456789");
        const char end = text[digits];
        if (digits < 14 || digits > 16 || (end != '\0' && end != '"' && end != ',' && end != ' ')) {
            continue;  // an ESN or MEID, in hex or decimal, or no number at all
        }
        const std::string body(text, 14);
        const char check = luhnDigit(body);
        if (digits == 15 && text[14] != check) {
            found = Imei::WrongCheckDigit;
            continue;
        }
        memcpy(out, body.c_str(), 14);
        out[14] = check;
        out[15] = '\0';
        return Imei::Read;
    }
    return found;
}

bool serviceCentre(const Lines& lines, char* out)
{
    for (const std::string& line : lines) {
        const char* answer = after(line, "+CSCA:");
        if (answer == nullptr) {
            continue;
        }
        const std::vector<std::string> parts = fields(answer);
        std::string address = fromUcs2(unquoted(parts[0]));
        long type = 0;
        if (parts.size() > 1 && number(parts[1], type) && type == 145 && !address.empty() && address[0] != '+') {
            address.insert(0, "+");  // the type says international where the digits do not
        }
        if (address.empty() || address.size() > 41) {
            return false;
        }
        memcpy(out, address.c_str(), address.size() + 1);
        return true;
    }
    return false;
}

int messageReference(const Lines& lines)
{
    for (const std::string& line : lines) {
        long value = 0;
        const char* reference = after(line, "+CMGS:");
        if (reference != nullptr && number(fields(reference)[0], value) && value <= 255) {
            return static_cast<int>(value);
        }
    }
    return -1;
}

std::vector<Stored> storedMessages(const Lines& lines, int readIndex)
{
    std::vector<Stored> stored;
    for (size_t i = 0; i < lines.size(); ++i) {
        const char* header = after(lines[i], readIndex < 0 ? "+CMGL:" : "+CMGR:");
        if (header == nullptr) {
            continue;
        }
        std::vector<std::string> parts = fields(header);
        // The length may have the PDU behind it, after a blank.
        std::string& last = parts.back();
        const size_t blank = trimmed(last).find(' ');
        std::string pdu;
        if (blank != std::string::npos) {
            pdu = trimmed(trimmed(last).substr(blank + 1));
            last = trimmed(last).substr(0, blank);
        }
        Stored message;
        long value = -1;
        // Text mode names the status in words: "REC UNREAD", at the first field of +CMGR and the
        // second of +CMGL.
        static const char* const words[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT"};
        const std::string& named = parts[readIndex < 0 && parts.size() > 1 ? 1 : 0];
        for (int w = 0; w < 4; ++w) {
            if (unquoted(named) == words[w] && trimmed(named)[0] == '"') {
                message.textMode = true;
                message.status = w;
            }
        }
        // +CMGL and a +CMGR in its shape: <index>,<stat>,[<alpha>],<length>; +CMGR: [<stat>,[<alpha>,]]<length>.
        const bool withIndex = readIndex < 0 || (parts.size() == 4 && !message.textMode);
        size_t field = 0;
        if (withIndex) {
            if (!number(parts[field++], value)) {
                continue;
            }
            message.index = static_cast<int>(value);
        } else {
            message.index = readIndex;
        }
        if (parts.size() > field + 1 && !message.textMode) {
            message.status = number(parts[field], value) && value <= 3 ? static_cast<int>(value) : -1;
        }
        if (!message.textMode && number(parts.back(), value)) {
            message.length = static_cast<int>(value);
        }
        const bool nextIsPdu = pdu.empty() && i + 1 < lines.size() && after(lines[i + 1], "+CMGL:") == nullptr &&
                               after(lines[i + 1], "+CMGR:") == nullptr;
        message.pdu = nextIsPdu ? lines[++i] : pdu;
        stored.push_back(message);
    }
    return stored;
}

int storageUsed(const Lines& lines, int* total)
{
    for (const std::string& line : lines) {
        const char* answer = after(line, "+CPMS:");
        long used = -1;
        long capacity = -1;
        const std::vector<std::string> parts = answer != nullptr ? fields(answer) : std::vector<std::string>();
        // The read form "<mem1>",<used1>,<total1>,..., and the set command's <used1>,<total1>,...
        const bool named = parts.size() >= 3 && !trimmed(parts[0]).empty() && trimmed(parts[0])[0] == '"';
        if (parts.size() >= 2 && number(parts[named ? 1 : 0], used)) {
            if (total != nullptr) {
                *total = number(parts[named ? 2 : 1], capacity) ? static_cast<int>(capacity) : -1;
            }
            return static_cast<int>(used);
        }
    }
    return -1;
}

std::vector<std::vector<std::string>> storageChoices(const Lines& lines)
{
    std::vector<std::vector<std::string>> choices;
    for (const std::string& line : lines) {
        const char* answer = after(line, "+CPMS:");
        for (const char* open = answer != nullptr ? strchr(answer, '(') : nullptr; open != nullptr && choices.size() < 3;
             open = strchr(open + 1, '(')) {
            const char* close = strchr(open, ')');
            if (close == nullptr) {
                break;
            }
            std::vector<std::string> memories;
            const std::string list(open + 1, static_cast<size_t>(close - open - 1));
            for (const std::string& memory : fields(list.c_str())) {
                if (!unquoted(memory).empty()) {
                    memories.push_back(unquoted(memory));
                }
            }
            choices.push_back(memories);
        }
    }
    return choices;
}

bool newMessage(const std::string& line, std::string& storage, int& index, bool& statusReport)
{
    const char* rest = after(line, "+CMTI:");
    statusReport = rest == nullptr;
    rest = rest != nullptr ? rest : after(line, "+CDSI:");
    if (rest == nullptr) {
        return false;
    }
    const std::vector<std::string> parts = fields(rest);
    long value = -1;
    if (parts.size() != 2 || !number(parts[1], value) || value > 65535) {
        return false;
    }
    storage = unquoted(parts[0]);
    index = static_cast<int>(value);
    return !storage.empty();
}

}  // namespace atmodem
