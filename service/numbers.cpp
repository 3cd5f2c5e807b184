#include "numbers.h"

#include <algorithm>

namespace service {
namespace {

constexpr size_t kMinSignificantDigits = 6;  // fewer: a short code, never a subscriber's number
constexpr size_t kMaxDigits = 20;

struct Number {
    bool valid = false;
    bool international = false;
    std::string digits;
};

// "+44...", "0044...": international; blanks, dashes, dots and brackets are layout.
Number read(const std::string& text)
{
    Number n;
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (c == '+' && digits.empty() && !n.international) {
            n.international = true;
        } else if (c != ' ' && c != '-' && c != '.' && c != '(' && c != ')') {
            return n;  // a letter: alphanumeric, never a number
        }
    }
    if (!n.international && digits.compare(0, 2, "00") == 0) {
        n.international = true;
        digits.erase(0, 2);
    }
    n.digits = digits;
    n.valid = !digits.empty() && digits.size() <= kMaxDigits;
    return n;
}

// The length of the country code that starts international digits (ITU-T E.164 assignments):
// one digit for 1 and 7, two for the codes listed, three for the rest.
size_t countryCodeLength(const std::string& digits)
{
    static const char* const twoDigits[] = {"20", "27", "30", "31", "32", "33", "34", "36", "39", "40", "41", "43",
                                            "44", "45", "46", "47", "48", "49", "51", "52", "53", "54", "55", "56",
                                            "57", "58", "60", "61", "62", "63", "64", "65", "66", "81", "82", "84",
                                            "86", "90", "91", "92", "93", "94", "95", "98"};
    if (digits[0] == '1' || digits[0] == '7') {
        return 1;
    }
    for (const char* code : twoDigits) {
        if (digits.compare(0, 2, code) == 0) {
            return 2;
        }
    }
    return 3;
}

// Does a national number name the subscriber of international digits? The national significant
// number is what follows the country code; the national form writes it bare, or after the trunk
// prefix (0; 1 in North America, 8 in Russia).
bool nationalOf(const std::string& international, const std::string& national)
{
    const std::string significant = international.substr(std::min(international.size(), countryCodeLength(international)));
    if (significant.size() < kMinSignificantDigits) {
        return false;
    }
    const char trunk = international[0] == '1' ? '1' : international[0] == '7' ? '8' : '0';
    return national == significant || (national[0] == trunk && national.compare(1, std::string::npos, significant) == 0) ||
           (national[0] == '0' && national.compare(1, std::string::npos, significant) == 0);
}

}  // namespace

bool sameNumber(const std::string& a, const std::string& b)
{
    const Number x = read(a);
    const Number y = read(b);
    if (!x.valid || !y.valid) {
        return false;
    }
    if (x.digits == y.digits) {
        return true;
    }
    if (x.international != y.international) {
        return x.international ? nationalOf(x.digits, y.digits) : nationalOf(y.digits, x.digits);
    }
    // Two national forms, one with the trunk prefix and one without.
    const auto trunkless = [](const std::string& d) { return d[0] == '0' ? d.substr(1) : d; };
    return !x.international && trunkless(x.digits).size() >= kMinSignificantDigits && trunkless(x.digits) == trunkless(y.digits);
}

bool parseNumbers(const std::string& text, std::vector<std::string>& numbers, std::string& error)
{
    numbers.clear();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        std::string entry = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        entry.erase(0, entry.find_first_not_of(' '));
        entry.erase(entry.find_last_not_of(' ') + 1);
        if (!read(entry).valid) {
            error = "'" + entry + "' is no telephone number";
            return false;
        }
        numbers.push_back(entry);
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

}  // namespace service
