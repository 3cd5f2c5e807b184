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

namespace {

// Two semi-octets a field, as time stamps carry them: "YY-MM-DD hh:mm:ss +hh:mm", the zone given
// in quarter hours with its sign in the tens' nibble.
std::string timeStamp(const std::vector<unsigned>& o, size_t at)
{
    const auto bcd = [&](size_t i) { return (o[at + i] & 0x0F) * 10 + (o[at + i] >> 4); };
    const unsigned zone = o[at + 6];
    const unsigned quarters = (zone & 0x07) * 10 + (zone >> 4);
    char stamp[96];
    snprintf(stamp, sizeof(stamp), "%02u-%02u-%02u %02u:%02u:%02u %c%02u:%02u", bcd(0), bcd(1), bcd(2), bcd(3), bcd(4),
             bcd(5), (zone & 0x08) != 0 ? '-' : '+', quarters / 4, quarters % 4 * 15);
    return stamp;
}

// TP-OA, TP-DA, TP-RA: the number of digits, the type of address, the digits in semi-octets (or
// GSM 7-bit text for an alphanumeric address).
bool readAddress(Octets& pdu, Sms& m, std::string& error)
{
    size_t header = 0;
    size_t digits = 0;
    if (!pdu.take(2, header)) {
        return fail(error, "address beyond the end");
    }
    if (pdu.bytes[header] > kMaxAddressDigits) {
        return fail(error, "address length out of range");
    }
    if (!pdu.take((pdu.bytes[header] + 1) / 2, digits)) {
        return fail(error, "address beyond the end");
    }
    const unsigned type = pdu.bytes[header + 1];
    m.alphanumeric = (type & 0x70) == 0x50;
    m.address = m.alphanumeric ? unpackGsm7(pdu.bytes, 8 * digits, pdu.bytes[header] * 4 / 7)
                               : ((type & 0x70) == 0x10 ? "+" : "") + bcdDigits(pdu.bytes, digits, pdu.bytes[header]);
    return true;
}

// TP-DCS of TS 23.038 4: the alphabet, the class, compression. Reserved codings read as GSM 7-bit.
void readCoding(Sms& m)
{
    const unsigned dcs = m.dcs;
    if ((dcs & 0x80) == 0) {  // general data coding, with or without automatic deletion
        m.compressed = (dcs & 0x20) != 0;
        const unsigned alphabet = (dcs >> 2) & 0x03;
        m.coding = alphabet == 1 ? Sms::kData8 : alphabet == 2 ? Sms::kUcs2 : Sms::kGsm7;
        m.messageClass = (dcs & 0x10) != 0 ? static_cast<int>(dcs & 0x03) : -1;
    } else if ((dcs & 0xF0) == 0xF0) {  // data coding and message class
        m.coding = (dcs & 0x04) != 0 ? Sms::kData8 : Sms::kGsm7;
        m.messageClass = static_cast<int>(dcs & 0x03);
    } else {  // message waiting (UCS-2 in group E), and the reserved groups
        m.coding = (dcs & 0xF0) == 0xE0 ? Sms::kUcs2 : Sms::kGsm7;
    }
}

// The header's elements (TS 23.040 9.2.3.24): one of an unknown kind is kept as it is; one of
// the wrong size is ignored, and one that reaches beyond the header ends its reading.
void readElements(const std::vector<unsigned>& o, size_t from, size_t end, Sms& m)
{
    for (size_t i = from; i + 2 <= end && i + 2 + o[i + 1] <= end; i += 2 + o[i + 1]) {
        Sms::Element element{o[i], ""};
        for (size_t k = 0; k < o[i + 1]; ++k) {
            element.data += static_cast<char>(o[i + 2 + k]);
        }
        const auto v = [&](size_t k) { return static_cast<int>(o[i + 2 + k]); };
        const size_t size = o[i + 1];
        if ((element.iei == 0x00 && size == 3) || (element.iei == 0x08 && size == 4)) {
            const size_t wide = element.iei == 0x08 ? 1 : 0;
            const int total = v(1 + wide);
            const int seq = v(2 + wide);
            if (total > 0 && seq > 0 && seq <= total) {  // a segment that cannot be is no segment
                m.concatRef = wide != 0 ? v(0) << 8 | v(1) : v(0);
                m.concatTotal = total;
                m.concatSeq = seq;
            }
        } else if ((element.iei == 0x04 && size == 2) || (element.iei == 0x05 && size == 4)) {
            const bool wide = element.iei == 0x05;
            m.destPort = wide ? v(0) << 8 | v(1) : v(0);
            m.srcPort = wide ? v(2) << 8 | v(3) : v(1);
        }
        m.elements.push_back(element);
    }
}

// TP-UDL and TP-UD: the header, then the text in its alphabet. Octets beyond what TP-UDL covers
// are ignored.
bool readUserData(Octets& pdu, Sms& m, std::string& error)
{
    size_t at = 0;
    if (!pdu.take(1, at)) {
        return fail(error, "user-data length beyond the end");
    }
    const size_t length = pdu.bytes[at];
    const size_t octets = m.coding == Sms::kGsm7 && !m.compressed ? (length * 7 + 7) / 8 : length;
    if (octets > 140 || !pdu.take(octets, at)) {
        return fail(error, "user data longer than the PDU");
    }
    size_t headerOctets = 0;
    if (m.header) {
        headerOctets = octets > 0 ? 1 + pdu.bytes[at] : 1;
        if (headerOctets > octets) {
            return fail(error, "user-data header longer than the user data");
        }
        readElements(pdu.bytes, at + 1, at + headerOctets, m);
    }
    if (m.compressed) {
        return true;  // recognised, not read
    }
    if (m.coding == Sms::kGsm7) {
        const size_t headerSeptets = (headerOctets * 8 + 6) / 7;
        if (headerSeptets > length) {
            return fail(error, "user-data header longer than the user data");
        }
        m.text = unpackGsm7(std::vector<unsigned>(pdu.bytes.begin() + static_cast<long>(at),
                                                  pdu.bytes.begin() + static_cast<long>(at + octets)),
                            headerSeptets * 7, length - headerSeptets);
        return true;
    }
    for (size_t i = at + headerOctets; i < at + octets; ++i) {
        if (m.coding == Sms::kData8) {
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

}  // namespace

bool decodeSms(const std::string& hex, Sms& m, std::string& error, int tpduOctets)
{
    m = Sms();
    Octets pdu;
    if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
        return fail(error, "not hex");
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        pdu.bytes.push_back(static_cast<unsigned>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    size_t at = 0;
    if (tpduOctets < 0 || pdu.bytes.size() != static_cast<size_t>(tpduOctets)) {  // the service centre first
        if (!pdu.take(1, at) || pdu.bytes[at] > 11 || !pdu.take(pdu.bytes[at], at)) {
            return fail(error, "service-centre address beyond the end");
        }
        if (at < pdu.pos) {  // its type, and the digits
            m.serviceCentre = ((pdu.bytes[at] & 0x70) == 0x10 ? "+" : "") + bcdDigits(pdu.bytes, at + 1, 2 * (pdu.pos - at - 1));
        }
    }
    size_t first = 0;
    if (!pdu.take(1, first)) {
        return fail(error, "no TPDU");
    }
    const unsigned firstOctet = pdu.bytes[first];
    m.header = (firstOctet & 0x40) != 0;
    size_t fields = 0;
    switch (firstOctet & 0x03) {
    case 0:  // SMS-DELIVER: TP-OA, TP-PID, TP-DCS, TP-SCTS, the user data
        if (!readAddress(pdu, m, error) || !pdu.take(9, fields)) {
            return error.empty() ? fail(error, "time stamp beyond the end") : false;
        }
        m.protocol = pdu.bytes[fields];
        m.dcs = pdu.bytes[fields + 1];
        m.timestamp = timeStamp(pdu.bytes, fields + 2);
        readCoding(m);
        return readUserData(pdu, m, error);
    case 1: {  // SMS-SUBMIT: TP-MR, TP-DA, TP-PID, TP-DCS, TP-VP of the format TP-VPF gives, the user data
        m.type = Sms::kSubmit;
        const unsigned format = (firstOctet >> 3) & 0x03;
        if (!pdu.take(1, fields)) {
            return fail(error, "message reference beyond the end");
        }
        m.reference = pdu.bytes[fields];
        if (!readAddress(pdu, m, error) || !pdu.take(2 + (format == 0 ? 0 : format == 2 ? 1 : 7), fields)) {
            return error.empty() ? fail(error, "validity period beyond the end") : false;
        }
        m.protocol = pdu.bytes[fields];
        m.dcs = pdu.bytes[fields + 1];
        readCoding(m);
        return readUserData(pdu, m, error);
    }
    case 2:  // SMS-STATUS-REPORT: TP-MR, TP-RA, TP-SCTS, TP-DT, TP-ST; what follows is not needed
        m.type = Sms::kStatusReport;
        m.header = false;
        if (!pdu.take(1, fields)) {
            return fail(error, "message reference beyond the end");
        }
        m.reference = pdu.bytes[fields];
        if (!readAddress(pdu, m, error) || !pdu.take(15, fields)) {
            return error.empty() ? fail(error, "status beyond the end") : false;
        }
        m.timestamp = timeStamp(pdu.bytes, fields);
        m.discharged = timeStamp(pdu.bytes, fields + 7);
        m.status = pdu.bytes[fields + 14];
        return true;
    default:
        return fail(error, "reserved message type");
    }
}

}  // namespace atmodem
