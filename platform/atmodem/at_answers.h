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

// AT+CPIN?: READY; SIM PIN; PIN2 and PUK2, which leave the card usable (ready); another PIN or PUK
// that keeps the card from being used. With or without "+CPIN:" and quotes.
int simStatus(const Lines& lines);
// AT+CLCK="SC",2: whether the SIM PIN is asked for, "+CLCK: <status>[,<class>]".
int pinLock(const Lines& lines);
// AT+CIMI: the last line of 5 to 15 digits, "+CIMI:" dropped; into a buffer of 16.
bool imsi(const Lines& lines, char* out);

// AT+CGSN or AT+GSN: the IMEI of TS 23.003, TAC and SNR and the Luhn check digit. A line of 14
// digits gets its check digit, one of 16 (an IMEISV, whose last two digits are the software
// version) gives its first 14 and the check digit, one of 15 must carry the right one. Tags,
// quotes and a serial number after a comma are dropped; hexadecimal ESN and MEID are no IMEI.
enum class Imei { Read, None, WrongCheckDigit };
Imei imei(const Lines& lines, char* out);
// The Luhn check digit of the 14 digits of TAC and SNR.
char luhnDigit(const std::string& fourteenDigits);

// AT+CSCA?: the number of +CSCA: with its type (145: international, "+" added when missing),
// quoted or not, in UCS-2 hex when the character set is UCS2; at most 41 characters, into a buffer
// of 42. An empty number is no service centre.
bool serviceCentre(const Lines& lines, char* out);
// AT+CMGS: the message reference of +CMGS:.
int messageReference(const Lines& lines);

// A message that AT+CMGL or AT+CMGR listed.
struct Stored {
    int index = -1;        // its place in storage (+CMGL, and +CMGR in the +CMGL shape)
    int status = -1;       // 0 received unread, 1 received read, 2 stored unsent, 3 stored sent; -1 not given
    int length = -1;       // octets of the TPDU, -1 not given
    bool textMode = false; // a header of text mode: no PDU to decode
    std::string pdu;
};
// "+CMGL: <index>,<stat>,[<alpha>],<length>" with the PDU on the next line (or behind a blank on
// the same line); for AT+CMGR=<index>, "+CMGR: <stat>,[<alpha>],<length>" and its shorter forms,
// for the index asked for.
std::vector<Stored> storedMessages(const Lines& lines, int readIndex = -1);
// AT+CPMS? and AT+CPMS=<mem1>: how many messages the first storage holds, -1 when the answer
// does not say; with total, how many it can hold (-1 when not said).
int storageUsed(const Lines& lines, int* total = nullptr);
// AT+CPMS=?: the memories the modem takes for each of the command's parameters, one, two or three
// lists ("+CPMS: ("ME","SM"),("ME","SM"),("ME","SM")"); empty when the answer says nothing.
std::vector<std::vector<std::string>> storageChoices(const Lines& lines);
// +CMTI: "<storage>",<index> of a new message (+CDSI: of a new status report, with statusReport
// set); false for another line.
bool newMessage(const std::string& line, std::string& storage, int& index, bool& statusReport);

}  // namespace atmodem
#pragma GCC visibility pop

#endif
