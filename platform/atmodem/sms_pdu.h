// SMS PDUs as 3GPP TS 23.040 lays them out and AT+CMGF=0 carries them: hex text of the
// service-centre address followed by the TPDU.
#ifndef ATMODEM_SMS_PDU_H
#define ATMODEM_SMS_PDU_H

#include <cstdint>
#include <string>
#include <vector>

// Exported for the programs of a Linux device (the service, its receiver) and the tests.
#pragma GCC visibility push(default)
namespace atmodem {

// A port-addressed message of 8-bit data to send.
struct Submit {
    std::string serviceCentre;  // "" for the SIM's default
    std::string destination;    // digits, "+" first for an international number
    uint16_t destPort = 0;
    uint16_t srcPort = 0;
    uint8_t validity = 0;       // relative validity, TP-VP
    bool statusReport = false;  // TP-SRR
    bool replyPath = false;     // TP-RP
    std::string data;
    uint8_t reference = 0;      // of the concatenated message, when the data needs more than one
};

struct EncodedPdu {
    std::string hex;      // service-centre address and TPDU
    size_t tpduOctets;    // the length AT+CMGS is given
};

// Data octets of one message: with the port element alone 133 fit; longer data goes as segments
// of 128 with the concatenation element after the port element.
constexpr size_t kSingleDataOctets = 133;
constexpr size_t kSegmentDataOctets = 128;

// The SMS-SUBMIT PDUs of a message, in order; false, with the reason, when it cannot be encoded.
bool encodeSubmit(const Submit& message, std::vector<EncodedPdu>& pdus, std::string& error);

// A message as the modem's storage or an indication holds it: SMS-DELIVER in full, SMS-SUBMIT
// and SMS-STATUS-REPORT recognised with their main fields (TS 23.040 9.2.2).
struct Sms {
    enum Type { kDeliver, kSubmit, kStatusReport };
    enum Coding { kGsm7, kData8, kUcs2 };
    struct Element {       // an information element of the user-data header
        unsigned iei;
        std::string data;  // its octets
    };
    Type type = kDeliver;
    std::string serviceCentre;
    std::string address;    // the originator of a DELIVER, destination of a SUBMIT, recipient of a report
    bool alphanumeric = false;
    unsigned reference = 0;  // TP-MR of a SUBMIT or a report
    unsigned protocol = 0;   // TP-PID
    unsigned dcs = 0;
    Coding coding = kGsm7;
    int messageClass = -1;   // 0 to 3, -1 for none
    bool compressed = false; // the text is not decoded
    std::string timestamp;   // "YY-MM-DD hh:mm:ss +hh:mm", the service centre's (TP-SCTS)
    std::string discharged;  // a report's TP-DT, in the same form
    unsigned status = 0;     // a report's TP-ST
    bool header = false;     // TP-UDHI: the user data starts with a header
    std::vector<Element> elements;
    std::string text;        // the data's octets for 8-bit data, UTF-8 otherwise
    int destPort = -1;       // -1 without application ports
    int srcPort = -1;
    int concatRef = -1;      // -1 unless a segment of a concatenated message
    int concatTotal = 0;
    int concatSeq = 0;
};

// Decodes the hex text of a PDU as AT+CMGF=0 gives it, the service-centre address first. With
// tpduOctets (the <length> of +CMGR:, +CMGL:, +CMT:) and a PDU of exactly that many octets, the
// modem gave the TPDU alone. False, with the reason, when the PDU is corrupt or of the reserved
// type; what TS 23.040 says to ignore (an unknown or malformed header element, a reserved coding
// group, octets beyond the user data) is ignored.
bool decodeSms(const std::string& hex, Sms& message, std::string& error, int tpduOctets = -1);

// Semi-octet address digits, as TP-DA and the service-centre address carry them.
std::string encodeAddressDigits(const std::string& digits);

}  // namespace atmodem
#pragma GCC visibility pop

#endif
