// The SMS PDU codec and the readers of AT answers. The codec's vectors come from outside this
// project: each known-good one was decoded by Wireshark's GSM SMS dissector as well, or comes
// from ModemManager's own tests.
#include <gtest/gtest.h>

#include "at_answers.h"
#include "modem.h"
#include "sms_pdu.h"

namespace {

struct Encoding {
    const char* comment;
    atmodem::Submit message;
    std::vector<std::string> pdus;  // or the error
};

const std::string kSegmentData(134, 'x');

std::string repeat(const std::string& text, size_t times)
{
    std::string out;
    while (times-- > 0) {
        out += text;
    }
    return out;
}

const Encoding kEncodings[] = {
    // SMS-SUBMIT, 8-bit, VP 24 h, ports 2948/9200, "Hello": the SIM's service centre
    {"WAP push ports", {"", "+15555551234", 2948, 9200, 0xA7, false, false, "Hello", 0},
     {"0051000B915155551532F40004A70C0605040B8423F048656C6C6F"}},
    // +19037029920 -> 0B919130079229F0 (ModemManager's vector), one hour, status report, reply path
    {"international destination", {"+15550100100", "+19037029920", 16998, 16999, 11, true, true, "A", 0},
     {"07915155100001F0F1000B919130079229F000040B08060504426642674" "1"}},
    // 9037029920 -> 0A810973209902 (ModemManager's vector)
    {"national destination", {"", "9037029920", 1, 2, 11, false, false, "", 0},
     {"0051000A81097320990200040B0706050400010002"}},
    // 134 octets: two segments of 128 and 6, the port element first, reference 0x2A
    {"concatenated", {"", "+1", 16998, 16999, 11, false, false, kSegmentData, 0x2A},
     {"0051000191F100040B8C0B0504426642670003" "2A0201" + repeat("78", 128),
      "0051000191F100040B120B0504426642670003" "2A0202" + repeat("78", 6)}},
    {"destination with a dash", {"", "12-34", 1, 2, 11, false, false, "", 0}, {"destination '12-34' is not a number"}},
    {"no destination", {"", "", 1, 2, 11, false, false, "", 0}, {"destination '' is not a number"}},
    {"destination of 21 digits", {"", std::string(21, '1'), 1, 2, 11, false, false, "", 0},
     {"destination '" + std::string(21, '1') + "' is not a number"}},
    {"service centre with letters", {"+1555abc", "+1", 1, 2, 11, false, false, "", 0},
     {"service centre '+1555abc' is not a number"}},
    {"more than 255 segments", {"", "+1", 1, 2, 11, false, false, std::string(255 * 128 + 1, 'x'), 0},
     {"message of 32641 octets is too long"}},
};

TEST(PduEncoder, EncodesSubmitsAndRefusesWhatCannotBeSent)
{
    std::vector<std::string> sent;
    for (const Encoding& e : kEncodings) {
        SCOPED_TRACE(e.comment);
        std::vector<atmodem::EncodedPdu> pdus;
        std::string error;
        const bool encoded = atmodem::encodeSubmit(e.message, pdus, error);
        std::vector<std::string> hex;
        for (const atmodem::EncodedPdu& p : pdus) {
            hex.push_back(p.hex);
            EXPECT_EQ(p.tpduOctets * 2 + (p.hex.substr(0, 2) == "00" ? 2 : 16), p.hex.size());
            sent.push_back(p.hex);
        }
        EXPECT_EQ(encoded ? hex : std::vector<std::string>{error}, e.pdus);
    }
    const std::vector<std::string> decoded = modem::decodedByWireshark(sent);
    if (decoded.empty()) {
        GTEST_SKIP() << "tshark is not installed: the PDUs were not decoded by Wireshark";
    }
    ASSERT_EQ(decoded.size(), 5u) << "no PDU of the refusals";
    EXPECT_EQ(decoded[0], "1|1|15555551234|4|2|167|2948|9200||||") << "the WAP ports give the data to another dissector";
    EXPECT_EQ(decoded[1], "1|1|19037029920|4|2|11|16998|16999||||41");
    EXPECT_EQ(decoded[2], "1|1|9037029920|4|2|11|1|2||||<MISSING>") << "no user data";
    EXPECT_EQ(decoded[3], "1|1|1|4|2|11|16998|16999|42|2|1|" + repeat("78", 128));
    EXPECT_EQ(decoded[4], "1|1|1|4|2|11|16998|16999|42|2|2|" + repeat("78", 6));
}

// Decodes that TS 23.040 and 23.038 ask of a receiver, beyond the collected vectors.
struct Decoding {
    const char* comment;
    std::string pdu;
    std::string fields;  // originator|coding|ports|segment|text, or the error
};

std::string fields(const atmodem::Sms& m)
{
    return m.address + "|" + std::to_string(m.coding) + "|" + std::to_string(m.destPort) + "<" + std::to_string(m.srcPort) +
           "|" + std::to_string(m.concatRef) + ":" + std::to_string(m.concatSeq) + "/" + std::to_string(m.concatTotal) + "|" + m.text;
}

const Decoding kDecodings[] = {
    // 8-bit with 16-bit ports 16998 -> 16999: the server's acknowledgement
    {"acknowledgement", "00400B915155100002F00004622160010300401D06050442674266494D45493A3439303135343230333233373531382F31",
     "+15550100200|1|16999<16998|-1:0/0|IMEI:490154203237518/1"},
    // a reserved coding group (1000) reads as the GSM 7-bit alphabet
    {"reserved coding group", "00040181F100806221600103004002EF35", "1|0|-1<-1|-1:0/0|ok"},
    // the reserved alphabet of the general group reads as 7-bit too
    {"reserved alphabet", "00040181F1000C6221600103004002EF35", "1|0|-1<-1|-1:0/0|ok"},
    // a concatenation element of the wrong size is ignored; the ports and the text stay
    {"malformed element", "00440181F10004622160010300400E0A05044267426600020101414243", "1|1|16999<16998|-1:0/0|ABC"},
    // a segment that cannot be (3 of 2) is no segment
    {"segment 3 of 2", "00440181F1000462216001030040070500030A020341", "1|1|-1<-1|-1:0/0|A"},
    // segment 0, or a set of none, is no segment either
    {"segment 0 of 2", "00440181F1000462216001030040070500030A020041", "1|1|-1<-1|-1:0/0|A"},
    {"segment 1 of 0", "00440181F1000462216001030040070500030A000141", "1|1|-1<-1|-1:0/0|A"},
    // a 16-bit concatenation element or a port element of the wrong size is ignored
    {"short 16-bit concatenation element", "00440181F10004622160010300400705080312340241", "1|1|-1<-1|-1:0/0|A"},
    {"16-bit ports of two octets", "00440181F100046221600103004006040502102041", "1|1|-1<-1|-1:0/0|A"},
    {"8-bit ports of three octets", "00440181F10004622160010300400705040310203041", "1|1|-1<-1|-1:0/0|A"},
    // a 16-bit concatenation reference keeps its high octet
    {"16-bit reference", "00440181F1000462216001030040080608041234020141", "1|1|-1<-1|4660:1/2|A"},
    // an element that reaches beyond the header ends the header's reading, not the message's
    {"element beyond the header", "00440181F10004622160010300400402050541", "1|1|-1<-1|-1:0/0|A"},
    // compressed text is recognised and left unread
    {"compressed", "00040181F10020622160010300400100", "1|0|-1<-1|-1:0/0|"},
    // an escape that names no extension character reads as the character after it
    {"unknown escape", "00040181F1000062216001030040029B20", "1|0|-1<-1|-1:0/0|A"},
    // UCS-2 in the message-waiting group E: a surrogate pair is one character, a lone one is U+FFFD
    {"surrogates", "00040181F100E06221600103004008D83DDE00D8000041", "1|2|-1<-1|-1:0/0|\xF0\x9F\x98\x80\xEF\xBF\xBD" "A"},
    // a high surrogate before a character beyond the low ones is lone
    {"surrogate before U+E000", "00040181F100086221600103004004D800E000", "1|2|-1<-1|-1:0/0|\xEF\xBF\xBD\xEE\x80\x80"},
    // 8-bit application ports
    {"8-bit ports", "00440181F100046221600103004006040402102041", "1|1|16<32|-1:0/0|A"},
    // what ends too early says where, in each kind of message
    {"no TPDU", "00", "no TPDU"},
    {"service centre too long", "0C91", "service-centre address beyond the end"},
    {"deliver cut in its address", "0004", "address beyond the end"},
    {"deliver cut in its time stamp", "00040181F10000", "time stamp beyond the end"},
    {"deliver cut before its length", "00040181F1000062216001030040", "user-data length beyond the end"},
    {"8-bit header longer than the data", "00440181F1000462216001030040010541", "user-data header longer than the user data"},
    {"7-bit header longer than the text", "00440181F1000062216001030040020100", "user-data header longer than the user data"},
    {"submit cut before its reference", "0001", "message reference beyond the end"},
    {"submit cut in its validity", "0011000181F10000", "validity period beyond the end"},
    {"submit cut in its absolute validity", "0019000181F1000001", "validity period beyond the end"},
    {"status report cut before its reference", "0002", "message reference beyond the end"},
    {"status report cut in its status", "0002000181F16221600103004062", "status beyond the end"},
    {"cut in the user data", "00040181F10004622160010300400A0605", "user data longer than the PDU"},
    {"8-bit user data beyond 140 octets", "00040181F10004622160010300408D" + repeat("41", 141), "user data longer than the PDU"},
    {"UCS-2 of an odd length", "00040181F10008622160010300400300410A", "UCS-2 data of an odd length"},
};

TEST(PduDecoder, IgnoresWhatTheStandardSaysToIgnore)
{
    for (const Decoding& d : kDecodings) {
        SCOPED_TRACE(d.comment);
        atmodem::Sms message;
        std::string error;
        EXPECT_EQ(atmodem::decodeSms(d.pdu, message, error) ? fields(message) : error, d.fields);
    }
}

}  // namespace

namespace {

// Answers no modem should give, and the edges of those it may: each reader takes what it can
// vouch for and nothing else.
struct Reading {
    const char* comment;
    const char* reader;
    std::string lines;  // '|' between lines
    std::string read;
};

std::string readAs(const std::string& reader, const atmodem::Lines& lines)
{
    char out[64] = "";
    int total = -2;
    if (reader == "lock") {
        return std::to_string(atmodem::pinLock(lines));
    }
    if (reader == "cpin") {
        return std::to_string(atmodem::simStatus(lines));
    }
    if (reader == "reference") {
        return std::to_string(atmodem::messageReference(lines));
    }
    if (reader == "used") {
        const int used = atmodem::storageUsed(lines, &total);
        return std::to_string(used) + "/" + std::to_string(total);
    }
    if (reader == "imei") {
        const atmodem::Imei read = atmodem::imei(lines, out);
        return read == atmodem::Imei::Read ? out : read == atmodem::Imei::WrongCheckDigit ? "wrong check digit" : "none";
    }
    if (reader == "centre") {
        return atmodem::serviceCentre(lines, out) ? out : "none";
    }
    std::string read;
    if (reader == "choices") {
        for (const std::vector<std::string>& memories : atmodem::storageChoices(lines)) {
            read += "(";
            for (const std::string& memory : memories) {
                read += memory + ",";
            }
            read += ")";
        }
        return read;
    }
    if (reader == "list") {
        for (const atmodem::Stored& m : atmodem::storedMessages(lines)) {
            read += std::to_string(m.index) + ":" + std::to_string(m.status) + ":" + std::to_string(m.length) + ":" + m.pdu + ";";
        }
        return read;
    }
    std::string storage;
    int index = -1;
    bool report = false;
    return atmodem::newMessage(lines[0], storage, index, report) ? storage + ":" + std::to_string(index) + (report ? " report" : "")
                                                                 : "none";
}

const Reading kReadings[] = {
    {"a lock state beyond 0 and 1", "lock", "+CLCK: 2|+CLCK: x", "-1"},
    {"a lock state after a stray line", "lock", "+CLCK: 7|+CLCK: 1", "1"},
    {"a SIM state no standard names", "cpin", "+CPIN: BOGUS", "-1"},
    {"a SIM held by the network's lock", "cpin", "+CPIN: PH-NET PIN", "4"},
    {"a message reference beyond an octet", "reference", "+CMGS: 256", "-1"},
    {"a message reference with a time stamp after it", "reference", "+CMGS: 7,\"26/12/07\"", "7"},
    // the set command's answer names no memory; a capacity that is no number is not made up
    {"storage of the set command", "used", "+CPMS: 3,20,3,20,3,20", "3/20"},
    {"storage without a capacity", "used", "+CPMS: \"SM\",3,x", "3/-1"},
    {"storage without figures", "used", "+CPMS: \"SM\"", "-1/-2"},
    {"memories: three lists at most, an empty name dropped", "choices",
     "+CPMS: (\"SM\",\"\"),(\"ME\"),(\"MT\"),(\"SR\")", "(SM,)(ME,)(MT,)"},
    {"memories: a list never closed", "choices", "+CPMS: (\"SM\",\"ME\"),(\"SM\"", "(SM,ME,)"},
    {"an index beyond what storage has", "new", "+CMTI: \"SM\",65536", "none"},
    {"a new message without its memory", "new", "+CMTI: \"\",3", "none"},
    {"a new message without its index", "new", "+CMTI: \"SM\"", "none"},
    {"a status report stored", "new", "+CDSI: \"SR\",2", "SR:2 report"},
    {"an international centre that has its +", "centre", "+CSCA: \"+4478\",145", "+4478"},
    {"no centre", "centre", "+CSCA: \"\",129|OK", "none"},
    // an IMEI ends at a quote, a comma or a blank; more than 16 digits, or a letter after them, is no IMEI
    {"an IMEI with a serial number after it", "imei", "+CGSN: \"352099001761481\",77", "352099001761481"},
    {"17 digits", "imei", "35209900176148111", "none"},
    {"digits with a letter after them", "imei", "352099001761481A", "none"},
    {"no centre line", "centre", "OK", "none"},
    {"a centre without its type", "centre", "+CSCA: \"4478\"", "4478"},
    {"a centre after a stray line", "centre", "RING|+CSCA: \"4478\",145", "+4478"},
    {"a centre in UCS-2 hex", "centre", "+CSCA: \"002B00340034\",145", "+44"},
    {"UCS-2 hex that spells a letter is kept as it came", "centre", "+CSCA: \"0031004A\",129", "0031004A"},
    {"a message reference of ten digits", "reference", "+CMGS: 1234567890", "-1"},
    {"a centre of 42 characters", "centre", "+CSCA: \"+" + std::string(41, '1') + "\",145", "none"},
    // a header whose index is no number is no message; a status beyond 3 is unknown
    {"listing with a broken header", "list", "+CMGL: x,1,,23|0791|+CMGL: 2,9,,23|0792", "2:-1:23:0792;"},
    {"listing whose PDU is on the header's line", "list", "+CMGL: 3,1,,23 0793|+CMGL: 4,0,,23", "3:1:23:0793;4:0:23:;"},
};

TEST(AnswerReaders, TakeOnlyWhatTheyCanVouchFor)
{
    for (const Reading& r : kReadings) {
        SCOPED_TRACE(r.comment);
        atmodem::Lines lines;
        for (size_t from = 0, bar = 0; bar != std::string::npos; from = bar + 1) {
            bar = r.lines.find('|', from);
            lines.push_back(r.lines.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
        }
        EXPECT_EQ(readAs(r.reader, lines), r.read);
    }
}

}  // namespace
