// The tokenizer's state machine, from a table of byte streams fed in the pieces a serial port
// gives ("=>AT..." between them: a command sent there), one line of comment a stream. Tokens are
// written L:line F:final P E:echo U:unsolicited|pdu D:pdu O:overlong.
#include <gtest/gtest.h>

#include "at_tokenizer.h"

namespace {

using atmodem::Framing;

struct Stream {
    const char* comment;
    Framing framing;
    const char* command;  // "" for none
    std::vector<std::string> pieces;
    std::string tokens;
};

const std::string kLong(1100, 'x');

const Stream kStreams[] = {
    // V.250 framing, an answer and its final result
    {"framed answer", Framing::Strict, "AT+CIMI", {"\r\n001010123456789\r\n\r\nOK\r\n"}, "L:001010123456789 F:0"},
    // the same, one byte at a time
    {"byte by byte", Framing::Strict, "AT+CIMI", {"\r", "\n", "0", "0", "1", "\r", "\n", "O", "K", "\r", "\n"}, "L:001 F:0"},
    // strict: the command line coming back, ended by S3 alone, is echo
    {"strict echo", Framing::Strict, "AT+CIMI", {"AT+CIMI\r\r\n0010\r\n\r\nOK\r\n"}, "E:AT+CIMI L:0010 F:0"},
    // strict: a line held while only its CR has come
    {"strict CR pending", Framing::Strict, "AT+CSQ", {"\r\n+CSQ: 9\r"}, ""},
    // permissive: bare CR and bare LF end lines, LF CR too
    {"permissive ends", Framing::Permissive, "AT+CPMS=\"SM\"", {"+CPMS: 0,30\rOK\n\r"}, "L:+CPMS: 0,30 F:0"},
    // permissive: echo is the command repeated, an answer glued to it is kept
    {"glued echo", Framing::Permissive, "AT+CIMI", {"AT+CIMI001010\r\nOK\r\n"}, "E:AT+CIMI001010 L:001010 F:0"},
    // the prompt with a blank, as V.250 modems give it
    {"prompt", Framing::Strict, "AT+CMGS=23", {"\r\n> "}, "P"},
    // the prompt alone, no blank: given at once, since nothing follows until the data
    {"bare prompt", Framing::Permissive, "AT+CMGS=23", {"\r\n>"}, "P"},
    // the prompt with a line end, and the blank after it in the next read
    {"prompt pieces", Framing::Permissive, "AT+CMGS=23", {"AT+CMGS=23\r", "\r\n>", " ", "\r\n+CMGS: 4\r\n\r\nOK\r\n"}, "E:AT+CMGS=23 P L:+CMGS: 4 F:0"},
    // the prompt ended by a bare line feed
    {"prompt, LF", Framing::Permissive, "AT+CMGS=23", {"\r\n>\n+CMGS: 4\r\n"}, "P L:+CMGS: 4"},
    // a refusal instead of the prompt is a final result
    {"refusal before prompt", Framing::Strict, "AT+CMGS=23", {"\r\n+CMS ERROR: 331\r\n"}, "F:2331"},
    // while the prompt is awaited, ">" with more after it begins a line, and is no prompt
    {"line after >", Framing::Permissive, "AT+CMGS=23", {"\r\n>5\r\n"}, "L:>5"},
    // ">" in a line where no prompt is expected is text
    {"no prompt expected", Framing::Permissive, "AT", {"> 5\r\n"}, "L:> 5"},
    // a URC inside an answer, and +CMT with its PDU line bound to it
    {"urcs", Framing::Strict, "AT+CGSN", {"\r\nRING\r\n\r\n+CMT: ,24\r\n0791\r\n490154203237518\r\nOK\r\n"},
     "U:RING| U:+CMT: ,24|0791 L:490154203237518 F:0"},
    // a +CMT whose PDU comes after a command was sent ("=>"): the PDU is still the +CMT's
    {"+CMT across a command", Framing::Strict, "", {"\r\n+CMT: ,24\r\n", "=>AT+CGSN", "0791\r\n\r\n4901\r\n\r\nOK\r\n"},
     "U:+CMT: ,24|0791 L:4901 F:0"},
    // a +CMT whose PDU never came before a final result is handed on without it
    {"+CMT without its PDU", Framing::Strict, "AT", {"\r\n+CMT: ,24\r\n\r\nOK\r\n"}, "U:+CMT: ,24| F:0"},
    // a status report and a broadcast message carry their PDUs as +CMT does
    {"+CDS and +CBM", Framing::Strict, "", {"\r\n+CDS: 24\r\n0791\r\n\r\n+CBM: 88\r\n0011\r\n"}, "U:+CDS: 24|0791 U:+CBM: 88|0011"},
    // the command's own name is its answer, not a URC
    {"solicited +CREG", Framing::Strict, "AT+CREG?", {"\r\n+CREG: 0,1\r\n\r\nOK\r\n"}, "L:+CREG: 0,1 F:0"},
    // +CMGL lines and their PDUs: a URC between a header and its PDU is a URC (no hex), a line of
    // nothing known is the PDU, corrupt as it is
    {"listing", Framing::Permissive, "AT+CMGL=4",
     {"+CMGL: 1,0,,3\r\n00AB12\r\n+CMGL: 2,1,,1\r\n^RSSI: 17\r\n00\r\n+CMGL: 3,1,,1\r\nZZ\r\nOK\r\n"},
     "L:+CMGL: 1,0,,3 D:00AB12 L:+CMGL: 2,1,,1 U:^RSSI: 17| D:00 L:+CMGL: 3,1,,1 D:ZZ F:0"},
    // a PDU on its header's own line: no PDU line after it
    {"same-line PDU", Framing::Permissive, "AT+CMGR=0", {"+CMGR: 1,,3 0011AA\r\nOK\r\n"}, "L:+CMGR: 1,,3 0011AA F:0"},
    // a listing cut by its final result
    {"listing cut short", Framing::Permissive, "AT+CMGL=4", {"+CMGL: 1,0,,3\r\nOK\r\n"}, "L:+CMGL: 1,0,,3 F:0"},
    // the kinds of final result, texts mapped to their numbers
    {"finals", Framing::Permissive, "AT", {"NO CARRIER\nBUSY\n+CME ERROR: SIM busy\n+CMS ERROR: network timeout\nMODEM ERROR: 5\n"},
     "F:6 F:6 F:1014 F:2332 F:1"},
    // an error number of four digits is none the standard gives: the unknown error, 500
    {"four-digit error", Framing::Permissive, "AT", {"+CMS ERROR: 1234\n"}, "F:2500"},
    // not final: a colon with nothing after it, and a vendor's error without its number
    {"not final", Framing::Permissive, "AT", {"+CME ERROR:\nMODEM ERROR: apple\n"}, "L:+CME ERROR: L:MODEM ERROR: apple"},
    // a line longer than any answer is dropped, and what follows it is read
    {"overlong", Framing::Permissive, "", {kLong + "\r\nRING\r\n"}, "O U:RING|"},
    // bytes of no meaning, NUL among them, are a stray line
    {"binary noise", Framing::Permissive, "", {std::string("\x01\x00\xFF", 3) + "\r\n"}, "L:" + std::string("\x01\x00\xFF", 3)},
};

std::string render(const std::vector<atmodem::Token>& tokens)
{
    std::string out;
    for (const atmodem::Token& t : tokens) {
        static const char* const kinds[] = {"L:", "F:", "P", "U:", "D:", "E:", "O"};
        out += (out.empty() ? "" : " ") + std::string(kinds[t.kind]);
        out += t.kind == atmodem::Token::Final     ? std::to_string(t.result)
               : t.kind == atmodem::Token::Unsolicited ? t.text + "|" + t.pdu
               : t.kind == atmodem::Token::Prompt || t.kind == atmodem::Token::Overlong ? ""
                                                        : t.text;
    }
    return out;
}

TEST(Tokenizer, CutsByteStreamsIntoWhatTheyMean)
{
    for (const Stream& s : kStreams) {
        SCOPED_TRACE(s.comment);
        atmodem::Tokenizer tokenizer(s.framing);
        if (*s.command != '\0') {
            tokenizer.expectCommand(s.command, std::string(s.command).compare(0, 8, "AT+CMGS=") == 0);
        }
        std::vector<atmodem::Token> tokens;
        for (const std::string& piece : s.pieces) {
            if (piece.compare(0, 2, "=>") == 0) {
                tokenizer.expectCommand(piece.substr(2));
            } else {
                tokenizer.feed(piece.data(), piece.size(), tokens);
            }
        }
        EXPECT_EQ(render(tokens), s.tokens);
    }
}

TEST(Tokenizer, ForgetsAPartialLineWhenReset)
{
    atmodem::Tokenizer tokenizer;
    std::vector<atmodem::Token> tokens;
    tokenizer.feed("00101", 5, tokens);
    tokenizer.reset();
    tokenizer.feed("OK\r\n", 4, tokens);
    EXPECT_EQ(render(tokens), "F:0");
}

}  // namespace
