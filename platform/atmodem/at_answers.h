// What the modem's answers mean: each reads the lines of one command's answer (without echo,
// unsolicited results and final result), and answers -1 or false for one it cannot read.
#ifndef ATMODEM_AT_ANSWERS_H
#define ATMODEM_AT_ANSWERS_H

#include <string>
#include <vector>

// Exported for the programs of a Linux device (the service, its receiver) and the tests.
#pragma GCC visibility push(default)
namespace atmodem {

using Lines = std::vector<std::string>;

// Card statuses of the telephony service.
enum { kSimPinRequired = 0, kSimAbsent = 1, kSimFailure = 2, kSimReady = 3, kSimLocked = 4 };

// AT+CPIN?: READY, SIM PIN, or another PIN or PUK that keeps the card from being used.
int simStatus(const Lines& lines);
// AT+CLCK="SC",2: whether the SIM PIN is asked for.
int pinLock(const Lines& lines);
// AT+CIMI: the last line of 5 to 15 digits, "+CIMI:" dropped; into a buffer of 16.
bool imsi(const Lines& lines, char* out);
// AT+CGSN or AT+GSN: "+CGSN:", "IMEI" and quotes dropped, the first 15 digits of 14 or more; into 16.
bool imei(const Lines& lines, char* out);
// AT+CSCA?: the quoted number of +CSCA:, at most 41 characters; into a buffer of 42.
bool serviceCentre(const Lines& lines, char* out);
// AT+CMGS: the message reference of +CMGS:.
int messageReference(const Lines& lines);

// A message that AT+CMGL or AT+CMGR listed: its index in storage and its PDU.
struct Stored {
    int index;
    std::string pdu;
};
// AT+CMGL=4 lists "+CMGL: <index>,..." with the PDU on the next line; AT+CMGR=<index> gives
// "+CMGR: ..." and the PDU, for the index asked for.
std::vector<Stored> storedMessages(const Lines& lines, int readIndex = -1);
// +CMTI: "<storage>",<index> of a new message; -1 for another line.
int newMessageIndex(const std::string& line);

}  // namespace atmodem
#pragma GCC visibility pop

#endif
