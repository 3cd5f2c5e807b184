#include "numbers.h"

#include <algorithm>
#include <cstdlib>

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

// Mobile country codes (E.212) and the country codes (E.164) of their countries.
const struct {
    short mcc;
    short country;
} kMccCountries[] = {
    {202, 30},  {204, 31},  {206, 32},  {208, 33},  {212, 377}, {213, 376}, {214, 34},  {216, 36},  {218, 387}, {219, 385},
    {220, 381}, {221, 383}, {222, 39},  {225, 39},  {226, 40},  {228, 41},  {230, 420}, {231, 421}, {232, 43},  {234, 44},
    {235, 44},  {238, 45},  {240, 46},  {242, 47},  {244, 358}, {246, 370}, {247, 371}, {248, 372}, {250, 7},   {255, 380},
    {257, 375}, {259, 373}, {260, 48},  {262, 49},  {266, 350}, {268, 351}, {270, 352}, {272, 353}, {274, 354}, {276, 355},
    {278, 356}, {280, 357}, {282, 995}, {283, 374}, {284, 359}, {286, 90},  {288, 298}, {290, 299}, {292, 378}, {293, 386},
    {294, 389}, {295, 423}, {297, 382}, {302, 1},   {308, 508}, {310, 1},   {311, 1},   {312, 1},   {313, 1},   {314, 1},
    {315, 1},   {316, 1},   {330, 1},   {334, 52},  {338, 1},   {340, 590}, {342, 1},   {344, 1},   {346, 1},   {348, 1},
    {350, 1},   {352, 1},   {354, 1},   {356, 1},   {358, 1},   {360, 1},   {362, 599}, {363, 297}, {364, 1},   {365, 1},
    {366, 1},   {368, 53},  {370, 1},   {372, 509}, {374, 1},   {376, 1},   {400, 994}, {401, 7},   {402, 975}, {404, 91},
    {405, 91},  {406, 91},  {410, 92},  {412, 93},  {413, 94},  {414, 95},  {415, 961}, {416, 962}, {417, 963}, {418, 964},
    {419, 965}, {420, 966}, {421, 967}, {422, 968}, {424, 971}, {425, 972}, {426, 973}, {427, 974}, {428, 976}, {429, 977},
    {430, 971}, {431, 971}, {432, 98},  {434, 998}, {436, 992}, {437, 996}, {438, 993}, {440, 81},  {441, 81},  {450, 82},
    {452, 84},  {454, 852}, {455, 853}, {456, 855}, {457, 856}, {460, 86},  {461, 86},  {466, 886}, {467, 850}, {470, 880},
    {472, 960}, {502, 60},  {505, 61},  {510, 62},  {514, 670}, {515, 63},  {520, 66},  {525, 65},  {528, 673}, {530, 64},
    {536, 674}, {537, 675}, {539, 676}, {540, 677}, {541, 678}, {542, 679}, {543, 681}, {544, 1},   {545, 686}, {546, 687},
    {547, 689}, {548, 682}, {549, 685}, {550, 691}, {551, 692}, {552, 680}, {553, 688}, {555, 683}, {602, 20},  {603, 213},
    {604, 212}, {605, 216}, {606, 218}, {607, 220}, {608, 221}, {609, 222}, {610, 223}, {611, 224}, {612, 225}, {613, 226},
    {614, 227}, {615, 228}, {616, 229}, {617, 230}, {618, 231}, {619, 232}, {620, 233}, {621, 234}, {622, 235}, {623, 236},
    {624, 237}, {625, 238}, {626, 239}, {627, 240}, {628, 241}, {629, 242}, {630, 243}, {631, 244}, {632, 245}, {633, 248},
    {634, 249}, {635, 250}, {636, 251}, {637, 252}, {638, 253}, {639, 254}, {640, 255}, {641, 256}, {642, 257}, {643, 258},
    {645, 260}, {646, 261}, {647, 262}, {648, 263}, {649, 264}, {650, 265}, {651, 266}, {652, 267}, {653, 268}, {654, 269},
    {655, 27},  {657, 291}, {659, 211}, {702, 501}, {704, 502}, {706, 503}, {708, 504}, {710, 505}, {712, 506}, {714, 507},
    {716, 51},  {722, 54},  {724, 55},  {730, 56},  {732, 57},  {734, 58},  {736, 591}, {738, 592}, {740, 593}, {744, 595},
    {746, 597}, {748, 598}, {750, 500},
};

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

bool sameNumber(const std::string& a, const std::string& b, const std::vector<std::string>& homeCountries)
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
        const std::string& international = x.international ? x.digits : y.digits;
        const std::string country = international.substr(0, countryCodeLength(international));
        return std::find(homeCountries.begin(), homeCountries.end(), country) != homeCountries.end() &&
               nationalOf(international, x.international ? y.digits : x.digits);
    }
    // Two national forms, one with the trunk prefix and one without.
    const auto trunkless = [](const std::string& d) { return d[0] == '0' ? d.substr(1) : d; };
    return !x.international && trunkless(x.digits).size() >= kMinSignificantDigits && trunkless(x.digits) == trunkless(y.digits);
}

std::string countryCode(const std::string& number)
{
    const Number n = read(number);
    return n.valid && n.international ? n.digits.substr(0, countryCodeLength(n.digits)) : "";
}

std::string countryOfMcc(const std::string& mcc)
{
    const long code = mcc.size() == 3 && mcc.find_first_not_of("0123456789") == std::string::npos ? strtol(mcc.c_str(), nullptr, 10) : -1;
    for (const auto& known : kMccCountries) {
        if (known.mcc == code) {
            return std::to_string(known.country);
        }
    }
    return "";
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
