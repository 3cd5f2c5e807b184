// The SMS PDU codec, with vectors from outside this project: each known-good vector was decoded
// by Wireshark's GSM SMS dissector as well, or comes from ModemManager's own tests.
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

struct Decoding {
    const char* comment;
    std::string pdu;
    std::string fields;  // centre|originator|time stamp|coding|ports|segment|text, or the error
};

std::string fields(const atmodem::Deliver& m)
{
    return m.serviceCentre + "|" + m.originator + "|" + m.timestamp + "|" + std::to_string(m.coding) + "|" +
           std::to_string(m.destPort) + "<" + std::to_string(m.srcPort) + "|" + std::to_string(m.concatRef) + ":" +
           std::to_string(m.concatSeq) + "/" + std::to_string(m.concatTotal) + "|" + m.text;
}

const Decoding kDecodings[] = {
    // 7-bit "hellohello", a national originator, zone +2 h (the classic example)
    {"7-bit", "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
     "+27381000015|27838890001|99-03-29 15:16:59+08|0|-1<-1|-1:0/0|hellohello"},
    // 8-bit with 16-bit ports 16998 -> 16999: an acknowledgement
    {"8-bit to a port", "00400B915155100002F00004622160010300401D06050442674266494D45493A3439303135343230333233373531382F31",
     "|+15550100200|26-12-06 10:30:00+04|1|16999<16998|-1:0/0|IMEI:490154203237518/1"},
    // 7-bit behind a header of ports and an 8-bit concatenation: the fill bits
    {"7-bit segment", "07915155100001F0400B915155100002F0000062216001030080240B05044267426600037F0201249BC5A48E9683C56A34196C269BDD6A31DC2B06",
     "+15550100100|+15550100200|26-12-06 10:30:00+08|0|16999<16998|127:1/2|IMEI:490154203237518/1"},
    // UCS-2 behind a 16-bit concatenation and 8-bit ports
    {"UCS-2 segment", "00400D91945121436587F9000862216001030048190A0804123402020402C8090047007200FC00DF0065002020AC",
     "|+4915123456789|26-12-06 10:30:00-04|2|200<9|4660:2/2|Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"},
    // an alphanumeric originator
    {"alphanumeric originator", "000406D0DAB01D00006221600103000002EF35", "|Zav|26-12-06 10:30:00+00|0|-1<-1|-1:0/0|ok"},
    {"odd hex", "0040F", "not hex"},
    {"an SMS-SUBMIT", "0051000191F10004", "not an SMS-DELIVER"},
    {"cut in the originator", "00400B9151", "originator address beyond the end"},
    {"cut in the time stamp", "00400191F1000462", "time stamp beyond the end"},
    {"cut in the user data", "00400191F10004622160010300400A0605", "user data longer than the PDU"},
    {"header beyond the data", "00400191F10004622160010300400107", "user-data header longer than the user data"},
    {"element beyond the header", "00400191F10004622160010300400302050A", "user-data header element beyond the header"},
    {"port element of 3 octets", "00400191F1000462216001030040050405020102", "user-data header element 5 of the wrong size"},
    {"segment 3 of 2", "00400191F1000462216001030040060500030A0203", "segment 3 of 2"},
    {"compressed text", "00400191F10024622160010300400100", "compressed or reserved data coding"},
    {"UCS-2 of an odd length", "00000191F10008622160010300400300410A", "UCS-2 data of an odd length"},
};

TEST(PduDecoder, ReadsDeliversAndReportsCorruptOnes)
{
    for (const Decoding& d : kDecodings) {
        SCOPED_TRACE(d.comment);
        atmodem::Deliver message;
        std::string error;
        EXPECT_EQ(atmodem::decodeDeliver(d.pdu, message, error) ? fields(message) : error, d.fields);
    }
}

TEST(AtAnswers, ListedAndAnnouncedMessages)
{
    const atmodem::Lines listed = {"+CMGL: 2,0,,24", "0791AB", "+CMGL: x,1", "junk", "+CMGL: 7,1,,3", "00FF"};
    const std::vector<atmodem::Stored> stored = atmodem::storedMessages(listed);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].index, 7);
    EXPECT_EQ(stored[1].pdu, "00FF");
    EXPECT_EQ(atmodem::storedMessages({"+CMGR: 0,,24", "0791AB"}, 5)[0].index, 5);
    EXPECT_EQ(atmodem::newMessageIndex("+CMTI: \"ME\",12"), 12);
    EXPECT_EQ(atmodem::newMessageIndex("+CMTI: \"ME\",x"), -1);
    EXPECT_EQ(atmodem::newMessageIndex("RING"), -1);
}

}  // namespace
