#include "at_tokenizer.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace atmodem {
namespace {

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// Results a modem sends on its own, at any moment.
const char* const kUnsolicited[] = {"+CMTI:", "+CMT:",   "+CDSI:",  "+CDS:",  "+CBM:",    "+CREG:", "+CGREG:",
                                    "+CEREG:", "+CUSD:", "+CIEV:",  "+CRING:", "+CLIP:", "+CPIN:",
                                    "RING",   "RDY",     "^BOOT",   "^RSSI",  "^MODE",    "+PACSP", "SMS DONE",
                                    "SMS Ready", "PB DONE", "+QIND:", "+CFUN:", "^SIMST", "+STIN:", "^SMMEMFULL"};

struct Text {
    const char* text;
    int number;
};

// TS 27.007 9.2.1 and 9.2.2.
const Text kCmeTexts[] = {
    {"phone failure", 0},        {"no connection to phone", 1}, {"phone-adaptor link reserved", 2},
    {"operation not allowed", 3}, {"operation not supported", 4}, {"PH-SIM PIN required", 5},
    {"SIM not inserted", 10},    {"SIM PIN required", 11},      {"SIM PUK required", 12},
    {"SIM failure", 13},         {"SIM busy", 14},              {"SIM wrong", 15},
    {"incorrect password", 16},  {"SIM PIN2 required", 17},     {"SIM PUK2 required", 18},
    {"memory full", 20},         {"invalid index", 21},         {"not found", 22},
    {"memory failure", 23},      {"no network service", 30},    {"network timeout", 31},
    {"network not allowed - emergency calls only", 32},         {"unknown", 100}};

// TS 27.005 3.2.5.
const Text kCmsTexts[] = {
    {"ME failure", 300},          {"SMS service of ME reserved", 301}, {"operation not allowed", 302},
    {"operation not supported", 303}, {"invalid PDU mode parameter", 304}, {"invalid text mode parameter", 305},
    {"(U)SIM not inserted", 310}, {"SIM not inserted", 310},          {"(U)SIM PIN required", 311},
    {"SIM PIN required", 311},    {"PH-(U)SIM PIN required", 312},    {"(U)SIM failure", 313},
    {"SIM failure", 313},         {"(U)SIM busy", 314},               {"SIM busy", 314},
    {"(U)SIM wrong", 315},        {"SIM wrong", 315},                 {"memory failure", 320},
    {"invalid memory index", 321}, {"memory full", 322},              {"SMSC address unknown", 330},
    {"no network service", 331},  {"network timeout", 332},           {"no +CNMA acknowledgement expected", 340},
    {"unknown error", 500}};

// "+CME ERROR: n" and its kin; false for a line of another kind. "+CME ERROR:" with nothing after
// the colon, not even a blank, is no final result.
bool errorResult(const std::string& line, const char* tag, bool cms, int32_t& result)
{
    const size_t length = strlen(tag);
    if (line.compare(0, length, tag) != 0 || line.size() == length) {
        return false;
    }
    std::string value = line.substr(length);
    value.erase(0, value.find_first_not_of(' '));
    value.erase(value.find_last_not_of(' ') + 1);
    const int32_t base = cms ? kFinalCmsError : kFinalCmeError;
    if (!value.empty() && value.size() <= 3 && value.find_first_not_of("0123456789") == std::string::npos) {
        result = base + static_cast<int32_t>(strtol(value.c_str(), nullptr, 10));
    } else {
        result = base + errorNumber(cms, value);
    }
    return true;
}

bool isFinal(const std::string& line, int32_t& result)
{
    static const char* const noCarrier[] = {"NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE"};
    if (line == "OK" || line == "ERROR" || line == "COMMAND NOT SUPPORT") {
        result = line == "OK" ? 0 : kFinalError;
        return true;
    }
    for (const char* word : noCarrier) {
        if (line == word) {
            result = kFinalNoCarrier;
            return true;
        }
    }
    // A vendor's form, final only with its number.
    if (startsWith(line, "MODEM ERROR: ") && line.size() > 13 &&
        line.find_first_not_of("0123456789", 13) == std::string::npos) {
        result = kFinalError;
        return true;
    }
    return errorResult(line, "+CME ERROR:", false, result) || errorResult(line, "+CMS ERROR:", true, result);
}

bool isHex(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

}  // namespace

int32_t errorNumber(bool cms, const std::string& text)
{
    const Text* begin = cms ? std::begin(kCmsTexts) : std::begin(kCmeTexts);
    const Text* end = cms ? std::end(kCmsTexts) : std::end(kCmeTexts);
    for (const Text* known = begin; known != end; ++known) {
        if (strcasecmp(known->text, text.c_str()) == 0) {
            return known->number;
        }
    }
    return cms ? 500 : 100;
}

void Tokenizer::expectCommand(const std::string& sent, bool prompt)
{
    m_sent = sent;
    m_prompt = prompt;
    // A +CMT whose PDU has not come yet keeps waiting for it: a modem writes an unsolicited
    // result whole before it answers what was sent after its header, and a +CMT is stored nowhere.
    m_pduNext = m_pduNext && m_pduOwner.kind == Token::Unsolicited;
    // "AT+CREG?" is answered by "+CREG:": its lines are no unsolicited results.
    const size_t name = sent.compare(0, 3, "AT+") == 0 ? sent.find_first_of("=?", 3) : std::string::npos;
    m_solicited = name != std::string::npos ? sent.substr(2, name - 2) + ":" : sent.size() > 3 && sent[2] == '+' ? sent.substr(2) + ":" : "";
    if (m_framing == Framing::Strict && m_state == State::LineStart && !m_pduNext) {
        m_echoPossible = true;  // the PDU a +CMT awaits comes before any echo
    }
}

void Tokenizer::expectNothing()
{
    m_sent.clear();
    m_solicited.clear();
    m_prompt = false;
    m_echoPossible = false;
}

void Tokenizer::reset()
{
    expectNothing();
    m_state = State::LineStart;
    m_line.clear();
    m_overlong = false;
    m_pduNext = false;
}

Token Tokenizer::classify(const std::string& line) const
{
    Token token{Token::Line, line, "", 0};
    if (isFinal(line, token.result)) {
        token.kind = Token::Final;
        return token;
    }
    if (!m_solicited.empty() && startsWith(line, m_solicited.c_str())) {
        return token;  // the command's own answer, whatever its name
    }
    for (const char* prefix : kUnsolicited) {
        if (startsWith(line, prefix)) {
            token.kind = Token::Unsolicited;
            return token;
        }
    }
    return token;
}

void Tokenizer::endLine(std::vector<Token>& out, bool byBareCarriageReturn)
{
    std::string line;
    line.swap(m_line);
    const bool overlong = m_overlong;
    m_overlong = false;
    const bool echoPossible = m_echoPossible;
    m_echoPossible = false;
    if (line.empty()) {
        return;
    }
    if (overlong) {
        m_pduNext = false;
        out.push_back({Token::Overlong, line.substr(0, 32), "", 0});
        return;
    }
    // V.250 echo: the command line and S3 (CR), before the response's own CR LF.
    const bool echo = m_framing == Framing::Strict ? echoPossible || (byBareCarriageReturn && !m_sent.empty())
                                                   : !m_sent.empty() && line.compare(0, m_sent.size(), m_sent) == 0;
    if (echo) {
        out.push_back({Token::Echo, line, "", 0});
        if (m_framing == Framing::Permissive && line.size() > m_sent.size()) {
            m_line = line.substr(m_sent.size());  // an answer glued to the echo
            endLine(out, false);
        }
        return;
    }
    Token token = classify(line);
    // An unsolicited result may come between a header and its PDU (^RSSI on some modules): a PDU
    // is hex, a result is not.
    if (m_pduNext && token.kind == Token::Unsolicited && !isHex(line)) {
        out.push_back(token);
        return;
    }
    if (m_pduNext && token.kind != Token::Final) {
        m_pduNext = false;
        if (m_pduOwner.kind == Token::Unsolicited) {
            m_pduOwner.pdu = line;
            out.push_back(m_pduOwner);
        } else {
            out.push_back({Token::Pdu, line, "", 0});
        }
        return;
    }
    if (m_pduNext && m_pduOwner.kind == Token::Unsolicited) {
        out.push_back(m_pduOwner);  // a header whose PDU never came
    }
    m_pduNext = false;
    // The lines that a PDU follows: +CMT:, +CDS:, +CBM: on their own, and the stored messages that
    // AT+CMGR and AT+CMGL list, unless the PDU came on the header's own line after a blank.
    if (token.kind == Token::Unsolicited && (startsWith(line, "+CMT:") || startsWith(line, "+CDS:") || startsWith(line, "+CBM:"))) {
        m_pduNext = true;
        m_pduOwner = token;
        return;
    }
    if (token.kind == Token::Line && (startsWith(line, "+CMGR:") || startsWith(line, "+CMGL:"))) {
        const std::string last = line.substr(line.rfind(',') == std::string::npos ? 6 : line.rfind(',') + 1);
        const size_t blank = last.find(' ', last.find_first_not_of(' '));
        m_pduNext = blank == std::string::npos || !isHex(last.substr(blank + 1));
        m_pduOwner = token;
    }
    out.push_back(token);
}

bool Tokenizer::step(char c, std::vector<Token>& out)
{
    switch (m_state) {
    case State::AfterPrompt:
        if (c == ' ' || c == '\r' || c == '\n') {
            m_state = c == '\n' ? State::LineStart : State::AfterPrompt;
            return true;
        }
        m_state = State::LineStart;
        return false;
    case State::LineStart:
        if (c == '\r' || c == '\n') {
            m_echoPossible = false;  // a response's header: what follows is no echo
            m_state = c == '\r' ? State::CarriageReturn : State::LineStart;
            return true;
        }
        if (c == '>' && m_prompt) {
            m_state = State::PromptSeen;
            return true;
        }
        m_state = State::InLine;
        return false;
    case State::PromptSeen:
        if (c == ' ' || c == '\r' || c == '\n') {
            m_prompt = false;
            out.push_back({Token::Prompt, ">", "", 0});
            m_state = c == '\n' ? State::LineStart : State::AfterPrompt;
            return true;
        }
        m_line = ">";  // a line that starts with ">"
        m_state = State::InLine;
        return false;
    case State::CarriageReturn:
        m_state = State::LineStart;
        if (c == '\n') {
            if (m_framing == Framing::Strict) {
                endLine(out, false);
            }
            return true;
        }
        if (m_framing == Framing::Strict) {
            endLine(out, true);  // text ended by a bare CR: the command's echo
        }
        return false;  // the byte starts what follows
    case State::InLine:
        break;
    }
    if (c == '\r') {
        if (m_framing == Framing::Permissive) {
            endLine(out, true);
        }
        m_state = State::CarriageReturn;
    } else if (c == '\n') {
        endLine(out, false);
        m_state = State::LineStart;
    } else if (m_line.size() < kMaxLine) {
        m_line += c;
    } else {
        m_overlong = true;
    }
    return true;
}

void Tokenizer::feed(const char* bytes, size_t size, std::vector<Token>& out)
{
    for (size_t i = 0; i < size; ++i) {
        while (!step(bytes[i], out)) {
        }
    }
    if (m_state == State::PromptSeen) {  // nothing more comes until the data is sent
        m_prompt = false;
        out.push_back({Token::Prompt, ">", "", 0});
        m_state = State::AfterPrompt;
    }
}

}  // namespace atmodem
