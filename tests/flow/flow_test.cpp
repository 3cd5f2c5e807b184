// Whole registrations and single calls of the library, run case by case from flows.txt: each
// case's handset, what it must write to the trace (whole lines, the source line number aside),
// the SMS it sent, and the status file and tree it leaves.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>

#include "DM_RegLaunch.h"
#include "dmnative_control.h"
#include "dmreg_config.h"
#include "handset.h"
#include "seam.h"
#include "trace.h"
#include "zavtapi_control.h"

using trace::Lines;

namespace {

struct Case {
    std::string title;
    int line;
    std::multimap<std::string, std::string> setup;  // directive, the rest of its line
    Lines expected;
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << "flows.txt:" << c.line << ": " << c.title;
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t star = text.find('*', i);
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 's' ? ' ' : c;
        } else if (text[i] == '{' && star != std::string::npos && star + 2 < text.size() && text[star + 2] == '}') {
            out.append(std::stoul(text.substr(i + 1, star - i - 1)), text[star + 1]);
            i = star + 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The cases of flows.txt, each with its expected trace in full.
class Table {
public:
    Table()
    {
        std::ifstream in(DMREG_FLOWS);
        Lines* fragment = nullptr;
        bool inTrace = false;
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            line.erase(line.find_last_not_of(' ') + 1);
            const std::string word = line.substr(0, line.find(' '));
            const std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
            const std::string name = rest.substr(0, rest.find(' '));
            if (line.empty() || word == "#") {
            } else if (word == "set") {
                m_values[name] = rest.substr(name.size() + 1);
            } else if (word == "def" || word == "case") {
                fragment = word == "def" ? &m_fragments[name] : nullptr;
                inTrace = false;
                if (word == "case") {
                    m_cases.push_back(Case{rest, number, {}, {}});
                }
            } else if (fragment != nullptr) {
                fragment->push_back(line);
            } else if (inTrace) {
                expand(line, {}, m_cases.back().expected);
            } else {
                inTrace = line == "trace";
                m_cases.back().setup.emplace(word, substitute(rest, {}));
            }
        }
    }

    std::vector<Case> m_cases;

private:
    // $NAME, $S and fragment arguments $1.. replaced; an empty argument handed on stays one.
    std::string substitute(const std::string& text, const Lines& args) const
    {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            size_t end = i + 1;
            while (text[i] == '$' && end < text.size() && isalnum(static_cast<unsigned char>(text[end]))) {
                ++end;
            }
            const std::string name = text.substr(i + 1, end - i - 1);
            std::string value = text.substr(i, 1);
            if (text[i] == '$' && isdigit(static_cast<unsigned char>(name[0]))) {
                value = std::stoul(name) <= args.size() ? args[std::stoul(name) - 1] : "<no $" + name + ">";
                value = value.empty() && text[0] == '+' ? "\"\"" : value;
            } else if (text[i] == '$') {
                value = name == "S" ? DMREG_SOCKET_PATH : m_values.count(name) ? m_values.at(name) : "<no $" + name + ">";
            }
            out += value;
            i = text[i] == '$' ? end - 1 : i;
        }
        return out;
    }

    void expand(const std::string& raw, const Lines& args, Lines& out) const
    {
        static const std::map<std::string, std::string> files = {
            {"launch", "DM_RegLaunch.cpp"}, {"util", "DM_RegUtility.cpp"}, {"send", "DM_RegSendSMS.cpp"},
            {"server", "DM_RegServer.cpp"}};
        const std::string line = substitute(raw, args);
        std::istringstream words(line.substr(1));
        if (line[0] == '+') {
            std::string name;
            Lines inner;
            for (words >> name; words >> inner.emplace_back();) {
                inner.back() = inner.back() == "\"\"" ? "" : inner.back();
            }
            inner.pop_back();
            for (const std::string& l : m_fragments.count(name) ? m_fragments.at(name) : Lines{"<no fragment " + name + ">"}) {
                expand(l, inner, out);
            }
            return;
        }
        const size_t first = line.find(' ');
        const size_t second = line.find(' ', first + 1);
        const std::string module = line.substr(0, first);
        const std::string function = line.substr(first + 1, second - first - 1);
        const std::string file = files.count(module) ? files.at(module) : "<no module " + module + ">";
        const std::string message = escaped(line.substr(std::min(second + 1, line.size())));
        out.push_back(line[0] == '|'    ? escaped(line.substr(1))
                      : function[0] == '!' ? "{" + function.substr(1) + "} " + file + ":#\t" + message
                                           : "{5} " + file + ":#, " + function + "()\t" + message);
    }

    std::map<std::string, std::string> m_values;
    std::map<std::string, Lines> m_fragments;
};

// The calls that a registration never makes, by name; each answers its result as text.
std::string call(const std::string& name, const std::string& arg)
{
    char buffer[DMREG_VALUE_BUFFER_SIZE] = {};
    const auto yes = [](bool b) { return std::string(b ? "true" : "false"); };
    std::string result;
    if (name == "dmRegSuccess") {
        result = yes(dmRegSuccess(arg == "null" ? nullptr : arg.c_str()));
    } else if (name == "getDmAckString") {
        getDmAckString(buffer);
        result = buffer;
    } else if (name == "null-buffers") {
        getDmAckString(nullptr);
        getDmRegString(nullptr);
        result = yes(DM_SimUtility::GetSimIMSI(nullptr));
        result += " " + yes(DM_SimUtility::GetLocalIMEI(nullptr));
    } else if (name == "need-and-record") {
        result = yes(dmNeedRegister());
        result += " " + yes(recordSimIMSIToDMT());
    } else if (name == "RecordIMSI") {
        result = yes(DM_SimUtility::RecordIMSI(arg == "null" ? nullptr : arg.c_str()));
    } else if (name == "CheckIMSI") {
        result = yes(DM_SimUtility::CheckIMSI());
    } else if (name == "GetLocalIMSI") {
        result = DM_SimUtility::GetLocalIMSI(buffer) ? buffer : "false";
    } else if (name == "GetDevId-and-status") {
        int code = -1;
        result = std::string(DM_DmtUtility::GetDevId(buffer) ? buffer : "false") + " ";
        result += DM_DmtUtility::GetRegStatusCode(code) ? std::to_string(code) : "false";
    }
    return result;
}

class Flow : public handset::Handset, public ::testing::WithParamInterface<Case> {
protected:
    std::string given(const std::string& directive) const
    {
        const auto it = GetParam().setup.find(directive);
        return it == GetParam().setup.end() ? "" : it->second;
    }
};

TEST_P(Flow, WritesItsTraceAndLeavesItsRecords)
{
    const Case& c = GetParam();
    SCOPED_TRACE("flows.txt:" + std::to_string(c.line) + ": " + c.title);
    const std::string outbox = handset::workDir() + "/outbox.txt";
    std::string tree = handset::kTree;
    std::string scenario = "outbox = " + outbox + "\n";
    unlink(outbox.c_str());
    for (const auto& [directive, rest] : c.setup) {
        std::istringstream words(rest);
        std::string first, second;
        words >> first >> second;
        if (directive == "tree") {  // replaces the node's line, or adds it; "-" removes it
            const size_t at = tree.find("\n" + first + " ") + 1;
            const size_t end = at == 0 ? 0 : tree.find('\n', at) + 1;
            tree.replace(at == 0 ? tree.size() : at, end - at, second == "-" ? "" : escaped(rest) + "\n");
        } else if (directive == "tapi") {
            scenario += rest + "\n";
        } else if (directive == "status") {
            std::ofstream(handset::kStatusFile) << escaped(rest);
        } else if (directive == "fail") {
            dmnative::failOn(first == "Initialize" ? dmnative::Op::Initialize : dmnative::Op::GetSubtree,
                             second == "\"\"" ? "" : second.c_str(), rest.substr(first.size() + second.size() + 2).c_str());
        } else if (directive == "posix") {
            for (int f = 0; f < static_cast<int>(seam::Posix::Count); ++f) {
                if (first == seam::name(static_cast<seam::Posix>(f))) {
                    seam::failPosix(static_cast<seam::Posix>(f), std::stoi(second), EIO);
                }
            }
        } else if (directive == "fail-new") {
            seam::nothrowNewFailures = std::stoi(first);
        }
    }
    useTree(tree);
    ASSERT_TRUE(zavtapi::loadScenario(handset::writeFile("scenario.txt", scenario).c_str()));

    trace::Capture capture;
    if (c.setup.count("call")) {
        const std::string name = given("call").substr(0, given("call").find(' '));
        EXPECT_EQ(call(name, escaped(given("call").substr(std::min(name.size() + 1, given("call").size())))),
                  escaped(given("result")));
    } else {
        handset::ListenerThread host([] { DM_RegLaunch().activateDmRegister(); });
        const auto clients = c.setup.equal_range("client");
        for (auto it = clients.first; host.waitUntilListening() && it != clients.second; ++it) {
            const std::string answer = it->second.find("<GetPort>") != std::string::npos ? "\nN\n16999" : "";
            EXPECT_EQ(handset::request(escaped(it->second)), answer);
        }
    }
    EXPECT_TRUE(trace::same(capture.finish(), c.expected));

    std::string asked;
    for (unsigned s : seam::sleeps()) {
        asked += (asked.empty() ? "" : " ") + std::to_string(s);
    }
    EXPECT_TRUE(given("sleeps").empty() || asked == given("sleeps")) << asked;
    const std::string sms = given("sms");
    EXPECT_TRUE(sms.empty() || handset::readFile(outbox) == (sms == "none" ? "<absent>" : escaped(sms) + "\n"));
    EXPECT_TRUE(given("after-status").empty() || handset::readFile(handset::kStatusFile) == given("after-status"));
    const auto lines = c.setup.equal_range("after-tree");
    for (auto it = lines.first; it != lines.second; ++it) {
        const std::string line = escaped(it->second);
        EXPECT_EQ(treeLine(line.substr(0, line.find(' '))), line.back() == '-' ? "" : line);
    }
    expectTreeReleased();
}

std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    std::string name = "line" + std::to_string(info.param.line) + "_";
    for (char ch : info.param.title.substr(0, 40)) {
        name += isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, Flow, ::testing::ValuesIn(Table().m_cases), caseName);

}  // namespace
