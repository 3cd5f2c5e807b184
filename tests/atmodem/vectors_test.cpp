// Real SMS PDUs and real modem answers, observed in the public test suites of open-source modem
// stacks (data/sms-pdus.txt, data/at-answers.txt; their headers give the format). What the
// receiver must read is checked field by field against the decodes the files give; the rest is at
// least recognised for what it is: refused when the file says so, never misread.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>

#include "at_answers.h"
#include "at_tokenizer.h"
#include "sms_pdu.h"

namespace {

using Vector = std::map<std::string, std::string>;

std::vector<Vector> readVectors(const std::string& path)
{
    std::vector<Vector> all;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 2 && line[0] == '[' && line.back() == ']') {
            all.push_back({{"id", line.substr(1, line.size() - 2)}});
        } else if (!all.empty() && !line.empty() && line[0] != '#' && line.find(": ") != std::string::npos) {
            all.back()[line.substr(0, line.find(": "))] = line.substr(line.find(": ") + 2);
        }
    }
    return all;
}

const std::vector<Vector> kPdus = readVectors(DMREG_VECTORS "/sms-pdus.txt");
const std::vector<Vector> kAnswers = readVectors(DMREG_VECTORS "/at-answers.txt");

const Vector& byId(const std::vector<Vector>& vectors, const std::string& id)
{
    static const Vector none;
    for (const Vector& v : vectors) {
        if (v.at("id") == id) {
            return v;
        }
    }
    return none;
}

// The first word of a field ("+31624000000 [international...]"), the text of a quoted one, "" for
// an absent or empty address.
std::string value(const std::string& field)
{
    if (field.compare(0, 1, "\"") == 0) {
        return field.substr(1, field.find('"', 1) - 1);
    }
    const std::string word = field.substr(0, field.find(' '));
    return word == "absent" || word == "(empty)" ? "" : word;
}

// The C-style escapes of the files: \r \n \f \" \\.
std::string unescaped(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 'f' ? '\f' : c;
    }
    return out;
}

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

// The header as the file writes it: "concat8 ref=76 total=2 seq=1; iei=70 len=1 data=00".
std::string header(const atmodem::Sms& m)
{
    if (!m.header) {
        return "none";
    }
    std::string out;
    for (const atmodem::Sms::Element& e : m.elements) {
        out += out.empty() ? "" : "; ";
        // What the decoder made of the elements it reads, the others as they stand.
        if ((e.iei == 0x00 && e.data.size() == 3) || (e.iei == 0x08 && e.data.size() == 4)) {
            out += std::string(e.iei == 0 ? "concat8" : "concat16") + " ref=" + std::to_string(m.concatRef) +
                   " total=" + std::to_string(m.concatTotal) + " seq=" + std::to_string(m.concatSeq);
        } else if (e.iei == 0x05 && e.data.size() == 4) {
            out += "port16 dst=" + std::to_string(m.destPort) + " src=" + std::to_string(m.srcPort);
        } else {
            out += "iei=" + hex(std::string(1, static_cast<char>(e.iei))) + " len=" + std::to_string(e.data.size()) + " data=" + hex(e.data);
        }
    }
    return out.empty() ? "present but empty (UDHL=00)" : out;
}

TEST(PduVectors, DecodedFieldByFieldOrRefused)
{
    ASSERT_GT(kPdus.size(), 60u) << "the vectors are not found";
    for (const Vector& v : kPdus) {
        SCOPED_TRACE(v.at("id"));
        const auto field = [&v](const char* key) { return v.count(key) != 0 ? v.at(key) : std::string(); };
        const std::string tpdu = std::regex_search(field("smsc_prefix"), std::regex("tpdu_len=")) ? field("smsc_prefix").substr(field("smsc_prefix").find("tpdu_len=") + 9) : "-1";
        // A TPDU alone is known by its length equal to all the octets.
        const int length = field("smsc_prefix").compare(0, 2, "no") == 0 ? std::stoi(tpdu) : -1;
        atmodem::Sms m;
        std::string error;
        const bool decoded = atmodem::decodeSms(field("pdu"), m, error, length);
        if (v.count("expect") != 0 && field("expect").compare(0, 6, "reject") == 0) {
            EXPECT_FALSE(decoded) << "refused: " << field("expect");
            continue;
        }
        ASSERT_TRUE(decoded) << error;
        const std::string dir = field("dir");
        EXPECT_EQ(m.type, dir == "submit" ? atmodem::Sms::kSubmit : dir == "status-report" ? atmodem::Sms::kStatusReport : atmodem::Sms::kDeliver);
        if (v.count("smsc") != 0) {
            EXPECT_EQ(m.serviceCentre, value(field("smsc")));
        }
        EXPECT_EQ(m.address, value(field(dir == "deliver" ? "originator" : dir == "submit" ? "destination" : "recipient")));
        for (const char* stamp : {"scts", "discharge"}) {
            if (v.count(stamp) != 0) {
                EXPECT_EQ(std::string(stamp) == "scts" ? m.timestamp : m.discharged, field(stamp).substr(2)) << stamp;
            }
        }
        if (v.count("mr") != 0) {
            EXPECT_EQ(std::to_string(m.reference), field("mr"));
        }
        if (v.count("status") != 0) {
            EXPECT_EQ(hex(std::string(1, static_cast<char>(m.status))), field("status"));
        }
        if (dir == "status-report") {
            continue;
        }
        const std::string dcs = field("dcs");
        EXPECT_NE(dcs.find(m.coding == atmodem::Sms::kGsm7 ? "gsm7" : m.coding == atmodem::Sms::kData8 ? "8bit" : "ucs2"), std::string::npos);
        if (dcs.find("class=") != std::string::npos) {
            EXPECT_NE(dcs.find("class=" + (m.messageClass < 0 ? std::string("none") : std::to_string(m.messageClass))), std::string::npos);
        }
        const std::string udh = header(m);
        const std::string wanted = field("udh");
        EXPECT_EQ(udh.substr(0, wanted.find("...") == std::string::npos ? std::string::npos : wanted.find("...")),
                  wanted.substr(0, wanted.find("...")));
        if (v.count("text") != 0) {
            EXPECT_EQ(m.text, unescaped(field("text").substr(1, field("text").size() - 2)));
        } else if (v.count("data") != 0) {
            EXPECT_EQ(hex(m.text), field("data") == "(empty)" ? "" : field("data"));
        }
    }
}

// What the file expects of an answer, in the words it uses: "final=CME:14", "lock=sim-pin",
// "imei=...", "urc=[a | b]", "index=1 stat=0 length=23".
std::string expected(const std::string& expect, const std::string& key)
{
    std::smatch match;
    return std::regex_search(expect, match, std::regex("(^|[ \\[;])" + key + "=(\\[[^\\]]*\\]|\"[^\"]*\"|[^ ;\\]]*)")) ? match[2].str() : "";
}

int32_t finalOf(const std::string& word)
{
    if (word == "OK") {
        return 0;
    }
    if (word.compare(0, 4, "CME:") == 0 || word.compare(0, 4, "CMS:") == 0) {
        const bool cms = word[2] == 'S';
        const std::string rest = word.substr(4);
        return (cms ? atmodem::kFinalCmsError : atmodem::kFinalCmeError) +
               (isdigit(static_cast<unsigned char>(rest[0])) != 0 ? std::stoi(rest) : cms ? 500 : 100);
    }
    return word == "NO" ? atmodem::kFinalNoCarrier : atmodem::kFinalError;
}

TEST(AnswerVectors, TokenizedAndReadAsTheStacksReadThem)
{
    ASSERT_GT(kAnswers.size(), 60u) << "the vectors are not found";
    const std::map<std::string, int> locks = {{"none", atmodem::kSimReady}, {"sim-pin", atmodem::kSimPinRequired},
                                              {"sim-pin2", atmodem::kSimReady}, {"sim-puk2", atmodem::kSimReady},
                                              {"sim-puk", atmodem::kSimLocked}, {"ph-net-pin", atmodem::kSimLocked},
                                              {"ph-sim-pin", atmodem::kSimLocked}, {"unknown", -1}};
    for (const Vector& v : kAnswers) {
        SCOPED_TRACE(v.at("id"));
        const std::string cmd = v.at("cmd").substr(0, v.at("cmd").find(' '));
        std::string stream = unescaped(v.at("stream"));
        for (const auto& [placeholder, id] : {std::pair<std::string, std::string>{"<pdu A>", "cmgl-no-alpha-field"}}) {
            for (size_t at; (at = stream.find(placeholder)) != std::string::npos;) {
                const std::string listed = unescaped(byId(kAnswers, id).at("stream"));
                stream.replace(at, placeholder.size(), listed.substr(listed.rfind('\n') + 1));
            }
        }
        if (stream.find("<pdu of sms vector gm-sms-26>") != std::string::npos) {
            stream.replace(stream.find("<pdu of"), 29, byId(kPdus, "gm-sms-26").at("pdu"));
        }
        if (stream.find("C27...") != std::string::npos) {  // the PDU of cmgl-one, cut short in the file
            const std::string listed = unescaped(byId(kAnswers, "cmgl-one").at("stream"));
            stream.replace(stream.find("0791"), std::string::npos, listed.substr(listed.rfind('\n') + 1));
        }
        // The vectors of echo follow ModemManager's rule, the strict one: all before the first CR LF is echo.
        const bool echo = v.at("id").compare(0, 5, "echo-") == 0;
        // A vector of two streams ("a   /   b") expects two things ("x / y").
        const size_t second = stream.find("   /   ");
        const std::vector<std::pair<std::string, std::string>> alternatives =
            second == std::string::npos ? std::vector<std::pair<std::string, std::string>>{{stream, v.at("expect")}}
                                        : std::vector<std::pair<std::string, std::string>>{
                                              {stream.substr(0, second), v.at("expect").substr(0, v.at("expect").find(" / "))},
                                              {stream.substr(second + 7), v.at("expect").substr(v.at("expect").find(" / ") + 3)}};
        for (const auto& [alternative, expect] : alternatives) {
            atmodem::Tokenizer tokenizer(echo ? atmodem::Framing::Strict : atmodem::Framing::Permissive);
            if (cmd.compare(0, 2, "AT") == 0 || cmd == "(any)") {
                tokenizer.expectCommand(cmd == "(any)" ? "ATD" : cmd);
            }
            std::vector<atmodem::Token> tokens;
            const bool ended = !alternative.empty() && (alternative.back() == '\r' || alternative.back() == '\n');
            tokenizer.feed(alternative.data(), alternative.size(), tokens);
            if (!ended) {
                tokenizer.feed("\r\n", 2, tokens);  // the end a listing cut short never got
            }
            atmodem::Lines lines;
            std::vector<std::string> urcs;
            std::vector<atmodem::Token> unsolicited;
            int32_t final = -1;
            for (const atmodem::Token& t : tokens) {
                if (t.kind == atmodem::Token::Final && final < 0) {
                    final = t.result;
                } else if ((t.kind == atmodem::Token::Line || t.kind == atmodem::Token::Pdu) && final < 0) {
                    lines.push_back(t.text);
                } else if (t.kind == atmodem::Token::Unsolicited) {
                    urcs.push_back(t.text);
                    unsolicited.push_back(t);
                }
            }
            const std::string wantFinal = expected(expect, "final");
            if (!wantFinal.empty()) {
                EXPECT_EQ(final, wantFinal == "NONE" ? -1 : finalOf(wantFinal)) << expect;
            }
            const std::string wantUrcs = expected(expect, "urc");
            if (wantUrcs.compare(0, 1, "[") == 0 && wantUrcs.find('=') == std::string::npos) {
                std::vector<std::string> listed;
                std::string rest = wantUrcs.substr(1, wantUrcs.size() - 2);
                for (size_t bar; (bar = rest.find(" | ")) != std::string::npos; rest.erase(0, bar + 3)) {
                    listed.push_back(rest.substr(0, bar));
                }
                listed.push_back(rest);
                EXPECT_EQ(urcs, listed);
            } else if (wantUrcs.compare(0, 1, "[") == 0) {  // registration states, each an indication of its own
                EXPECT_EQ(urcs.size(), 2u);
            } else if (!wantUrcs.empty()) {
                ASSERT_FALSE(unsolicited.empty()) << "no unsolicited result in " << v.at("stream");
                std::string storage;
                int index = -1;
                bool report = false;
                if (atmodem::newMessage(unsolicited[0].text, storage, index, report)) {
                    EXPECT_EQ(report, wantUrcs == "new-status-report");
                    EXPECT_EQ(storage, expected(expect, "storage"));
                    EXPECT_EQ(std::to_string(index), expected(expect, "index"));
                } else {  // a message with its PDU: decoded, or refused when it is garbage
                    atmodem::Sms m;
                    std::string error;
                    EXPECT_EQ(atmodem::decodeSms(unsolicited[0].pdu, m, error), expect.find("undecodable") == std::string::npos) << error;
                }
            }
            const std::string lock = expected(expect, "lock");
            if (!lock.empty()) {
                EXPECT_EQ(atmodem::simStatus(lines), locks.at(lock)) << lines.size();
            }
            char text[64] = {};
            if (!expected(expect, "sc_lock").empty()) {
                EXPECT_EQ(atmodem::pinLock(lines), 1);
            }
            // The stacks' fixtures hold IMEIs whose check digit is wrong (TS 23.003): found, and refused.
            const std::string imei = expected(expect, "imei");
            if (!imei.empty() || expect.find("parse failure") != std::string::npos) {
                const atmodem::Imei read = atmodem::imei(lines, text);
                const bool valid = imei.size() == 15 && atmodem::luhnDigit(imei) == imei[14];
                EXPECT_EQ(read, valid ? atmodem::Imei::Read : imei.size() == 15 ? atmodem::Imei::WrongCheckDigit : atmodem::Imei::None);
                if (valid) {
                    EXPECT_EQ(std::string(text), imei);
                }
            }
            if (!expected(expect, "imsi").empty()) {
                EXPECT_TRUE(atmodem::imsi(lines, text));
                EXPECT_EQ(std::string(text), expected(expect, "imsi"));
            }
            const std::string smsc = expected(expect, "smsc");
            if (!smsc.empty()) {
                const bool read = atmodem::serviceCentre(lines, text);
                EXPECT_EQ(read ? std::string(text) : "(none)", smsc);
            }
            if (cmd.compare(0, 7, "AT+CMGL") == 0 || cmd.compare(0, 7, "AT+CMGR") == 0) {
                const int asked = cmd[6] == 'R' ? std::stoi(cmd.substr(8)) : -1;
                const std::vector<atmodem::Stored> stored = atmodem::storedMessages(lines, asked);
                std::smatch count;
                const std::string entries = std::regex_search(expect, count, std::regex("^(\\d+) entries")) ? count[1].str()
                                            : expect.find("entries=[]") != std::string::npos ? "0" : "1";
                ASSERT_EQ(std::to_string(stored.size()), entries) << expect;
                if (stored.empty()) {
                    continue;
                }
                std::smatch indexes;
                if (std::regex_search(expect, indexes, std::regex("indexes ([0-9,]+)"))) {
                    std::string found;
                    for (const atmodem::Stored& s : stored) {
                        found += (found.empty() ? "" : ",") + std::to_string(s.index);
                    }
                    EXPECT_EQ(found, indexes[1].str());
                }
                const std::string index = expected(expect, "index");
                EXPECT_EQ(stored[0].index, index.empty() ? (asked < 0 ? stored[0].index : asked) : std::stoi(index));
                const std::string status = expected(expect, "stat");
                EXPECT_EQ(stored[0].textMode, status.compare(0, 1, "\"") == 0);
                if (!stored[0].textMode && !expected(expect, "length").empty()) {
                    EXPECT_EQ(stored[0].status, status.empty() || status == "(absent)" ? -1 : std::stoi(status));
                    EXPECT_EQ(std::to_string(stored[0].length), expected(expect, "length"));
                    atmodem::Sms m;
                    std::string error;
                    std::smatch text;
                    if (std::regex_search(expect, text, std::regex("decodes to \"([^\"]*)\""))) {
                        EXPECT_TRUE(atmodem::decodeSms(stored[0].pdu, m, error, stored[0].length)) << error;
                        EXPECT_EQ(m.text, text[1].str());
                    }
                }
            }
            if (expect.compare(0, 12, "echo removed") == 0 || expect.compare(0, 9, "unchanged") == 0) {
                EXPECT_EQ(lines, expect[0] == 'e' ? atmodem::Lines{"this is valid"} : atmodem::Lines{});
            }
            for (const std::string& line : lines) {  // whatever else is listed is the answer's, or no line at all
                EXPECT_NE(line.compare(0, 5, "+CMTI"), 0) << "an unsolicited result taken for the answer";
            }
        }
    }
}

}  // namespace
