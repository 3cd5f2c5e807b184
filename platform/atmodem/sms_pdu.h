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

// A received message, SMS-DELIVER.
struct Deliver {
    enum Coding { kGsm7, kData8, kUcs2 };
    std::string serviceCentre;
    std::string originator;
    std::string timestamp;  // "YY-MM-DD hh:mm:ss+QQ": the zone in quarter hours, signed
    Coding coding = kGsm7;
    std::string text;       // the data's octets for 8-bit data, UTF-8 otherwise
    int destPort = -1;      // -1 without application ports
    int srcPort = -1;
    int concatRef = -1;     // -1 unless a segment of a concatenated message
    int concatTotal = 0;
    int concatSeq = 0;
};

// Decodes the hex text of an SMS-DELIVER PDU; false, with the reason, when it is corrupt.
bool decodeDeliver(const std::string& hex, Deliver& message, std::string& error);

// Semi-octet address digits, as TP-DA and the service-centre address carry them.
std::string encodeAddressDigits(const std::string& digits);

}  // namespace atmodem
#pragma GCC visibility pop

#endif
