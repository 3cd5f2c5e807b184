// The modem's byte stream cut into what it means (3GPP TS 27.007 and 27.005 over ITU-T V.250):
// information lines, final results, the "> " prompt, unsolicited results (with the PDU line that
// follows +CMT: and +CDS:), the PDU lines of +CMGR: and +CMGL:, and echo. A byte-level state
// machine, fed whatever bytes arrive, in any pieces, and told by the channel what to expect next.
//
// Two framings. Strict, for modems that follow V.250: a response line is ended by CR LF, and text
// ended by a bare CR is the echo of the command line. Permissive, for those that do not: CR, LF,
// CR LF and LF CR all end a line, and echo is a line that repeats the command sent.
#ifndef ATMODEM_AT_TOKENIZER_H
#define ATMODEM_AT_TOKENIZER_H

#include <cstdint>
#include <string>
#include <vector>

#pragma GCC visibility push(default)
namespace atmodem {

// Final results beyond 0 (OK): the telephony service's result codes of the calls they end.
constexpr int32_t kFinalError = 1;         // ERROR, and the vendors' words for it
constexpr int32_t kFinalNoCarrier = 6;     // NO CARRIER, BUSY, NO ANSWER, NO DIALTONE
constexpr int32_t kFinalCmeError = 1000;   // + n for +CME ERROR: n (texts mapped to their numbers)
constexpr int32_t kFinalCmsError = 2000;   // + n for +CMS ERROR: n

struct Token {
    enum Kind {
        Line,         // an information line of the command running (or a stray one)
        Final,        // a final result: result holds its code
        Prompt,       // "> ": the modem waits for data
        Unsolicited,  // an unsolicited result; pdu holds the line that follows +CMT:, +CDS:, +CBM:
        Pdu,          // the PDU line after a +CMGR: or +CMGL: line
        Echo,         // the command line coming back
        Overlong      // a line beyond kMaxLine bytes, dropped; text holds its start
    };
    Kind kind;
    std::string text;
    std::string pdu;
    int32_t result = 0;
};

enum class Framing { Strict, Permissive };

class Tokenizer {
public:
    static constexpr size_t kMaxLine = 1024;  // longer than any answer or PDU line a modem sends

    explicit Tokenizer(Framing framing = Framing::Permissive) : m_framing(framing) {}

    // A command line has been sent: its echo may come back, and the answer's own lines are told
    // from unsolicited ones by its name (AT+CREG? is answered by +CREG:). With prompt, a ">" at
    // the start of a line is the prompt for data.
    void expectCommand(const std::string& sent, bool prompt = false);
    // No command runs: whatever comes is unsolicited, stray, or a late answer.
    void expectNothing();
    // Cuts the bytes into tokens, appended to out. Bytes may come in any pieces: a line is held
    // until its end comes; a prompt is given as soon as it is seen, since the modem sends no
    // more after it.
    void feed(const char* bytes, size_t size, std::vector<Token>& out);
    // Forgets a partial line and what was expected (after a resynchronisation, a new opening).
    void reset();

private:
    // Where the machine stands between two bytes.
    enum class State {
        LineStart,       // nothing of a line yet
        InLine,          // within a line's text
        CarriageReturn,  // a CR ended the text: a LF may follow and belongs to it
        PromptSeen,      // a ">" at the start of a line while the prompt is expected
        AfterPrompt      // the prompt was given: a blank or line end that follows belongs to it
    };
    // Takes one byte; false when the byte is to be taken again in the state it led to.
    bool step(char c, std::vector<Token>& out);
    void endLine(std::vector<Token>& out, bool byBareCarriageReturn);
    Token classify(const std::string& line) const;

    const Framing m_framing;
    State m_state = State::LineStart;
    std::string m_line;
    bool m_overlong = false;
    std::string m_sent;          // the command line sent, "" when none runs
    std::string m_solicited;     // its name with a colon, "+CREG:", whose lines are its answer
    bool m_prompt = false;
    bool m_echoPossible = false;  // strict: no response header has come since the command
    bool m_pduNext = false;      // the next line is a PDU
    Token m_pduOwner{Token::Line, "", "", 0};  // the unsolicited header a PDU line belongs to, or a solicited one
};

// The number that the text of a +CME ERROR: or +CMS ERROR: stands for (TS 27.007 9.2, TS 27.005
// 3.2.5); the unknown error's (100, 500) for a text no table holds.
int32_t errorNumber(bool cms, const std::string& text);

}  // namespace atmodem
#pragma GCC visibility pop

#endif
