// SMS-SUBMIT encoding and SMS-DELIVER decoding. Every octet read is bounds-checked: a PDU comes
// from a modem, and a corrupt one is reported, never read beyond.
#include "sms_pdu.h"

#include <cstdio>

namespace atmodem {
namespace {

const char kHexDigits[] = "0123456789ABCDEF";
constexpr size_t kMaxAddressDigits = 20;
constexpr size_t kMaxSegments = 255;

void putOctet(std::string& out, unsigned value)
{
    out += kHexDigits[(value >> 4) & 0x0F];
    out += kHexDigits[value & 0x0F];
}

// A number as its type of address (international with "+") and its digits; false when it holds
// anything else.
bool splitNumber(const std::string& number, unsigned& type, std::string& digits)
{
    const bool international = !number.empty() && number[0] == '+';
    type = international ? 0x91 : 0x81;
    digits = number.substr(international ? 1 : 0);
    return !digits.empty() && digits.size() <= kMaxAddressDigits &&
           digits.find_first_not_of("0123456789") == std::string::npos;
}

// The GSM 7-bit default alphabet, and its extension table behind the escape 0x1B, in UTF-8.
const char* const kGsm7[128] = {
    "@", "\xC2\xA3", "$", "\xC2\xA5", "\xC3\xA8", "\xC3\xA9", "\xC3\xB9", "\xC3\xAC", "\xC3\xB2", "\xC3\x87", "\n",
    "\xC3\x98", "\xC3\xB8", "\r", "\xC3\x85", "\xC3\xA5", "\xCE\x94", "_", "\xCE\xA6", "\xCE\x93", "\xCE\x9B",
    "\xCE\xA9", "\xCE\xA0", "\xCE\xA8", "\xCE\xA3", "\xCE\x98", "\xCE\x9E", "", "\xC3\x86", "\xC3\xA6", "\xC3\x9F",
    "\xC3\x89", " ", "!", "\"", "#", "\xC2\xA4", "%", "&", "'", "(", ")", "*", "+", ",", "-", ".", "/", "0", "1",
    "2", "3", "4", "5", "6", "7", "8", "9", ":", ";", "<", "=", ">", "?", "\xC2\xA1", "A", "B", "C", "D", "E", "F",
    "G", "H", "I", "J", "K", "L", "M", "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z", "\xC3\x84",
    "\xC3\x96", "\xC3\x91", "\xC3\x9C", "\xC2\xA7", "\xC2\xBF", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j",
    "k", "l", "m", "n", "o", "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z", "\xC3\xA4", "\xC3\xB6",
    "\xC3\xB1", "\xC3\xBC", "\xC3\xA0"};

const char* gsm7Extension(unsigned septet)
{
    switch (septet) {
    case 0x0A: return "\f";
    case 0x14: return "^";
    case 0x28: return "{";
    case 0x29: return "}";
    case 0x2F: return "\\";
    case 0x3C: return "[";
    case 0x3D: return "~";
    case 0x3E: return "]";
    case 0x40: return "|";
    case 0x65: return "\xE2\x82\xAC";
    default: return kGsm7[septet];  // an unknown escape reads as the character itself
    }
}

void putUtf8(std::string& out, unsigned code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// count septets packed from bit firstBit of the octets, as UTF-8.
std::string unpackGsm7(const std::vector<unsigned>& octets, size_t firstBit, size_t count)
{
    std::string text;
    bool escape = false;
    for (size_t i = 0; i < count; ++i) {
        const size_t bit = firstBit + 7 * i;
        unsigned septet = octets[bit / 8] >> (bit % 8);
        if (bit % 8 > 1 && bit / 8 + 1 < octets.size()) {
            septet |= octets[bit / 8 + 1] << (8 - bit % 8);
        }
        septet &= 0x7F;
        if (septet == 0x1B && !escape) {
            escape = true;
            continue;
        }
        text += escape ? gsm7Extension(septet) : kGsm7[septet];
        escape = false;
    }
    return text;
}

// Semi-octet digits; the filler F is dropped.
std::string bcdDigits(const std::vector<unsigned>& octets, size_t from, size_t digits)
{
    std::string out;
    for (size_t i = 0; i < digits; ++i) {
        const unsigned nibble = (octets[from + i / 2] >> (i % 2 == 0 ? 0 : 4)) & 0x0F;
        if (nibble != 0x0F) {
            out += "0123456789*#abc"[nibble];
        }
    }
    return out;
}

// Reads the PDU's octets in order, failing once one is asked for beyond the end.
struct Octets {
    std::vector<unsigned> bytes;
    size_t pos = 0;
    bool take(size_t count, size_t& at)
    {
        at = pos;
        if (count > bytes.size() - pos) {
            return false;
        }
        pos += count;
        return true;
    }
};

bool fail(std::string& error, const std::string& reason)
{
    error = reason;
    return false;
}

}  // namespace

std::string encodeAddressDigits(const std::string& digits)
{
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        out += i + 1 < digits.size() ? digits[i + 1] : 'F';
        out += digits[i];
    }
    return out;
}

bool encodeSubmit(const Submit& message, std::vector<EncodedPdu>& pdus, std::string& error)
{
    pdus.clear();
    unsigned type = 0;
    std::string digits;
    std::string centre = "00";  // the SIM's own service centre
    if (!message.serviceCentre.empty()) {
        if (!splitNumber(message.serviceCentre, type, digits)) {
            return fail(error, "service centre '" + message.serviceCentre + "' is not a number");
        }
        centre.clear();
        putOctet(centre, 1 + (digits.size() + 1) / 2);
        putOctet(centre, type);
        centre += encodeAddressDigits(digits);
    }
    if (!splitNumber(message.destination, type, digits)) {
        return fail(error, "destination '" + message.destination + "' is not a number");
    }
    const size_t size = message.data.size();
    const size_t segments = size <= kSingleDataOctets ? 1 : (size + kSegmentDataOctets - 1) / kSegmentDataOctets;
    if (segments > kMaxSegments) {
        return fail(error, "message of " + std::to_string(size) + " octets is too long");
    }
    for (size_t i = 0; i < segments; ++i) {
        const std::string chunk = segments == 1 ? message.data : message.data.substr(i * kSegmentDataOctets, kSegmentDataOctets);
        std::string tpdu;
        // SMS-SUBMIT, relative validity, user-data header present
        putOctet(tpdu, 0x51 | (message.statusReport ? 0x20 : 0) | (message.replyPath ? 0x80 : 0));
        putOctet(tpdu, 0x00);  // message reference: the modem's
        putOctet(tpdu, digits.size());
        putOctet(tpdu, type);
        tpdu += encodeAddressDigits(digits);
        putOctet(tpdu, 0x00);  // protocol identifier
        putOctet(tpdu, 0x04);  // 8-bit data
        putOctet(tpdu, message.validity);
        const unsigned headerOctets = segments == 1 ? 6 : 11;
        putOctet(tpdu, 1 + headerOctets + chunk.size());
        putOctet(tpdu, headerOctets);
        putOctet(tpdu, 0x05);  // application ports, 16 bits
        putOctet(tpdu, 4);
        putOctet(tpdu, message.destPort >> 8);
        putOctet(tpdu, message.destPort & 0xFF);
        putOctet(tpdu, message.srcPort >> 8);
        putOctet(tpdu, message.srcPort & 0xFF);
        if (segments > 1) {
            putOctet(tpdu, 0x00);  // concatenation, 8-bit reference
            putOctet(tpdu, 3);
            putOctet(tpdu, message.reference);
            putOctet(tpdu, segments);
            putOctet(tpdu, i + 1);
        }
        for (char c : chunk) {
            putOctet(tpdu, static_cast<unsigned char>(c));
        }
        pdus.push_back({centre + tpdu, tpdu.size() / 2});
    }
    return true;
}

bool decodeDeliver(const std::string& hex, Deliver& m, std::string& error)
{
    m = Deliver();
    Octets pdu;
    if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
        return fail(error, "not hex");
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        pdu.bytes.push_back(static_cast<unsigned>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    size_t at = 0;
    if (!pdu.take(1, at) || !pdu.take(pdu.bytes[at], at)) {
        return fail(error, "service-centre address beyond the end");
    }
    if (at < pdu.pos) {  // a service centre is given
        const size_t length = pdu.pos - at;
        m.serviceCentre = ((pdu.bytes[at] & 0x70) == 0x10 ? "+" : "") + bcdDigits(pdu.bytes, at + 1, 2 * (length - 1));
    }
    if (!pdu.take(1, at) || (pdu.bytes[at] & 0x03) != 0) {
        return fail(error, "not an SMS-DELIVER");
    }
    const bool header = (pdu.bytes[at] & 0x40) != 0;
    size_t oa = 0;
    if (!pdu.take(2, oa) || !pdu.take((pdu.bytes[oa] + 1) / 2, at)) {
        return fail(error, "originator address beyond the end");
    }
    if ((pdu.bytes[oa + 1] & 0x70) == 0x50) {  // alphanumeric, 7-bit
        m.originator = unpackGsm7(pdu.bytes, 8 * (oa + 2), pdu.bytes[oa] * 4 / 7);
    } else {
        m.originator = ((pdu.bytes[oa + 1] & 0x70) == 0x10 ? "+" : "") + bcdDigits(pdu.bytes, oa + 2, pdu.bytes[oa]);
    }
    size_t fields = 0;
    if (!pdu.take(10, fields)) {
        return fail(error, "time stamp beyond the end");
    }
    const unsigned dcs = pdu.bytes[fields + 1];
    char stamp[96];
    const auto bcd = [&](size_t i) { return (pdu.bytes[fields + 2 + i] & 0x0F) * 10 + (pdu.bytes[fields + 2 + i] >> 4); };
    const unsigned zone = pdu.bytes[fields + 8];
    snprintf(stamp, sizeof(stamp), "%02u-%02u-%02u %02u:%02u:%02u%c%02u", bcd(0), bcd(1), bcd(2), bcd(3), bcd(4), bcd(5),
             (zone & 0x08) != 0 ? '-' : '+', (zone & 0x07) * 10 + (zone >> 4));
    m.timestamp = stamp;
    if ((dcs & 0x80) == 0) {  // general data coding
        if ((dcs & 0x20) != 0 || (dcs & 0x0C) == 0x0C) {
            return fail(error, "compressed or reserved data coding");
        }
        m.coding = static_cast<Deliver::Coding>((dcs >> 2) & 0x03);
    } else if ((dcs & 0xF0) == 0xF0) {
        m.coding = (dcs & 0x04) != 0 ? Deliver::kData8 : Deliver::kGsm7;
    } else if ((dcs & 0xF0) == 0xC0 || (dcs & 0xF0) == 0xD0 || (dcs & 0xF0) == 0xE0) {  // message waiting
        m.coding = (dcs & 0xF0) == 0xE0 ? Deliver::kUcs2 : Deliver::kGsm7;
    } else {
        return fail(error, "reserved data coding group");
    }
    const size_t length = pdu.bytes[fields + 9];
    const size_t octets = m.coding == Deliver::kGsm7 ? (length * 7 + 7) / 8 : length;
    if (length > (m.coding == Deliver::kGsm7 ? 160u : 140u) || !pdu.take(octets, at)) {
        return fail(error, "user data longer than the PDU");
    }
    size_t headerOctets = 0;
    if (header) {
        headerOctets = 1 + (octets > 0 ? pdu.bytes[at] : octets);
        if (octets == 0 || headerOctets > octets) {
            return fail(error, "user-data header longer than the user data");
        }
        for (size_t i = at + 1; i < at + headerOctets; i += 2 + pdu.bytes[i + 1]) {
            const unsigned element = pdu.bytes[i];
            const size_t size = i + 1 < at + headerOctets ? pdu.bytes[i + 1] : 255;
            const auto value = [&](size_t k) { return pdu.bytes[i + 2 + k]; };
            if (i + 2 + size > at + headerOctets) {
                return fail(error, "user-data header element beyond the header");
            }
            const size_t wanted = element == 0x00 ? 3 : element == 0x08 || element == 0x05 ? 4 : element == 0x04 ? 2 : size;
            if (size != wanted) {
                return fail(error, "user-data header element " + std::to_string(element) + " of the wrong size");
            }
            if (element == 0x00 || element == 0x08) {
                const size_t wide = element == 0x08 ? 1 : 0;
                m.concatRef = static_cast<int>(wide ? value(0) << 8 | value(1) : value(0));
                m.concatTotal = static_cast<int>(value(1 + wide));
                m.concatSeq = static_cast<int>(value(2 + wide));
            } else if (element == 0x04 || element == 0x05) {
                const size_t wide = element == 0x05 ? 1 : 0;
                m.destPort = static_cast<int>(wide ? value(0) << 8 | value(1) : value(0));
                m.srcPort = static_cast<int>(wide ? value(2) << 8 | value(3) : value(1));
            }
        }
        if (m.concatRef >= 0 && (m.concatSeq == 0 || m.concatSeq > m.concatTotal)) {
            return fail(error, "segment " + std::to_string(m.concatSeq) + " of " + std::to_string(m.concatTotal));
        }
    }
    if (m.coding == Deliver::kGsm7) {
        const size_t firstBit = 8 * headerOctets + (7 - 8 * headerOctets % 7) % 7;
        if (firstBit / 7 > length) {
            return fail(error, "user-data header longer than the user data");
        }
        m.text = unpackGsm7(std::vector<unsigned>(pdu.bytes.begin() + static_cast<long>(at), pdu.bytes.begin() + static_cast<long>(at + octets)),
                            firstBit, length - firstBit / 7);
        return true;
    }
    for (size_t i = at + headerOctets; i < at + octets; ++i) {
        if (m.coding == Deliver::kData8) {
            m.text += static_cast<char>(pdu.bytes[i]);
            continue;
        }
        if (i + 1 >= at + octets) {
            return fail(error, "UCS-2 data of an odd length");
        }
        unsigned code = pdu.bytes[i] << 8 | pdu.bytes[i + 1];
        const unsigned low = i + 3 < at + octets ? pdu.bytes[i + 2] << 8 | pdu.bytes[i + 3] : 0;
        i += 1;
        if (code >= 0xD800 && code < 0xDC00 && low >= 0xDC00 && low < 0xE000) {  // a surrogate pair
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        putUtf8(m.text, code >= 0xD800 && code < 0xE000 ? 0xFFFD : code);  // a lone surrogate
    }
    return true;
}

}  // namespace atmodem
