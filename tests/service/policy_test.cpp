// The parts of dmregd that decide, each from a table and with the test's own clock: the lifetime
// policy and its record, the filter of the journal, the comparison of numbers, the settings.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "lifetime.h"
#include "numbers.h"
#include "settings.h"
#include "trace_sink.h"

namespace {

const std::string kWork = DMREG_TEST_WORK;

using service::Lifetime;

std::string render(const Lifetime::Next& next)
{
    switch (next.step) {
    case Lifetime::Step::RunFlow: return "run";
    case Lifetime::Step::Listen: return "listen until " + std::to_string(next.untilMs);
    case Lifetime::Step::Wait: return "wait until " + std::to_string(next.untilMs);
    default: return "exit " + std::to_string(next.exitStatus);
    }
}

struct Story {
    const char* title;
    service::Limits limits;
    // "<ms> <event>": next=<what next() must answer>, sent, failed (a send made), ended (the flow,
    // nothing recorded), registered (the flow ended with the SIM registered), no-modem, not-ready
    // (the flow ended for a fault before it decided), reply,
    // stop, restart (a new process on the saved record, same boot and SIM), reboot, new-sim, unread-sim.
    std::vector<std::string> steps;
};

const service::Limits kLimits{2, 10000, 100000};

const Story kStories[] = {
    {"the first send is confirmed", kLimits,
     {"0 next=run", "0 next=wait until -1", "0 sent", "5 ended", "5 next=listen until 100000", "99999 reply", "99999 next=exit 0"}},
    {"a send that fails is tried again later and later, then given up", kLimits,
     {"0 next=run", "0 failed", "0 ended", "0 next=wait until 10000", "10000 next=run", "10000 failed", "10000 ended",
      "10000 next=wait until 30000", "29999 next=wait until 30000", "30000 next=run", "30000 failed", "30000 ended",
      "30000 next=exit 1", "30001 next=exit 1"}},
    {"a reply that never comes: sent again after reply_wait, counted as a try", kLimits,
     {"0 next=run", "0 sent", "100000 next=listen until 100000", "100000 ended", "100000 next=run", "100000 sent",
      "200000 ended", "200000 next=run", "200000 sent", "300000 ended", "300000 next=exit 1"}},
    {"a late reply within reply_wait", kLimits, {"0 next=run", "0 sent", "90000 reply", "90000 ended", "90000 next=exit 0"}},
    {"the reply recorded by the flow itself while it is awaited", kLimits,
     {"0 next=run", "0 sent", "5 registered", "5 next=exit 0"}},
    {"the flow ends without a send, the SIM registered already", kLimits, {"0 next=run", "0 registered", "0 next=exit 0"}},
    {"nothing to register", kLimits, {"0 next=run", "0 ended", "0 next=exit 0"}},
    {"the flow ended unsent for a modem not ready: a failed try, tried again later", kLimits,
     {"0 next=run", "0 not-ready", "0 next=wait until 10000", "10000 next=run"}},
    {"no modem", kLimits, {"0 next=run", "0 no-modem", "0 next=exit 75"}},
    {"stopped before the first try", kLimits, {"0 stop", "0 next=exit 0"}},
    {"stopped while trying", kLimits, {"0 next=run", "0 stop", "0 sent", "0 ended", "0 next=exit 0"}},
    {"stopped while waiting for the next try", kLimits,
     {"0 next=run", "0 failed", "0 ended", "0 next=wait until 10000", "5 stop", "5 next=exit 0"}},
    {"stopped while awaiting the reply", kLimits, {"0 next=run", "0 sent", "5 stop", "6 reply", "6 next=exit 0"}},
    {"a crash during the send or after it: the reply is awaited, nothing is sent again", kLimits,
     {"0 next=run", "0 sent", "1000 restart", "1000 next=listen until 100000", "100000 ended", "100000 next=run"}},
    {"a crash loop after failed sends keeps the count and the time", kLimits,
     {"0 next=run", "0 failed", "10 restart", "10 next=wait until 10000", "10000 next=run", "10000 failed", "10001 restart",
      "10001 next=wait until 30000"}},
    {"a restart that first looks after the reply's wait has passed tries again", kLimits,
     {"0 next=run", "0 sent", "1000 restart", "150000 next=run"}},
    {"a new boot starts afresh, as a handset does", kLimits, {"0 next=run", "0 failed", "5 reboot", "5 next=run"}},
    {"another SIM starts afresh", kLimits, {"0 next=run", "0 sent", "5 new-sim", "5 next=run"}},
    {"a SIM not read yet keeps the record", kLimits, {"0 next=run", "0 sent", "5 unread-sim", "5 next=listen until 100000"}},
    {"no retries: one try", {0, 10000, 100000}, {"0 next=run", "0 failed", "0 ended", "0 next=exit 1"}},
};

TEST(Lifetime, FollowsItsStatesWithTheInjectedClock)
{
    const std::string path = kWork + "/lifetime.state";
    for (const Story& story : kStories) {
        SCOPED_TRACE(story.title);
        unlink(path.c_str());
        std::string error;
        auto life = std::make_unique<Lifetime>(story.limits, service::Record(), "boot-1", "001010123456789", 0);
        for (const std::string& step : story.steps) {
            SCOPED_TRACE(step);
            std::istringstream words(step);
            long long now = 0;
            std::string event;
            words >> now >> event;
            if (event.compare(0, 5, "next=") == 0) {
                EXPECT_EQ(render(life->next(now)), step.substr(step.find('=') + 1));
            } else if (event == "sent" || event == "failed") {
                life->sendStarting("001010123456789", now);
                ASSERT_TRUE(service::saveRecord(path, life->record(), error)) << error;
                if (event == "failed") {
                    life->sendFailed(now, "refused");
                    ASSERT_TRUE(service::saveRecord(path, life->record(), error)) << error;
                }
            } else if (event == "ended" || event == "registered" || event == "no-modem" || event == "not-ready") {
                life->flowEnded(event == "registered", event != "no-modem", now, event == "not-ready" ? "no IMSI" : "");
            } else if (event == "reply") {
                life->replyRecorded();
            } else if (event == "stop") {
                life->stop();
            } else {
                const service::Record stored = service::loadRecord(path, error);
                EXPECT_EQ(error, "");
                life = std::make_unique<Lifetime>(story.limits, stored, event == "reboot" ? "boot-2" : "boot-1",
                                                  event == "new-sim" ? "001019999999999" : event == "unread-sim" ? "" : "001010123456789", now);
            }
        }
    }
}

TEST(Lifetime, RecordSurvivesOnlyWhole)
{
    const std::string path = kWork + "/record.state";
    std::string error;
    const service::Record record{"001010123456789", "7f3c", 2, 120000, 60000, "the modem refused\nthe send"};
    ASSERT_TRUE(service::saveRecord(path, record, error)) << error;
    std::ofstream(path + ".new") << "imsi=1\n";  // a write cut short by a crash leaves its file beside
    service::Record read = service::loadRecord(path, error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(read.imsi + " " + read.boot + " " + std::to_string(read.tries) + " " + std::to_string(read.sentAt) + " " +
                  std::to_string(read.failedAt) + " " + read.failure,
              "001010123456789 7f3c 2 120000 60000 the modem refused\\x0Athe send");
    std::ofstream(path) << "imsi=001010123456789\nboot=x\ntries=1000\nsent=-1\nfailed=1\n";  // an earlier version's, each field at its bound
    EXPECT_EQ(service::loadRecord(path, error).tries, 1000) << error;
    for (const char* bad : {"imsi=1\nboot=x\n", "tries=many\n", "imsi=1\nboot=x\ntries=1\nsent=1\nfailed=1\nextra=1\n", "",
                            "imsi=0010101234567890\nboot=x\ntries=1\nsent=1\nfailed=1\n", "imsi=1\nboot=x\ntries=1001\nsent=1\nfailed=1\n",
                            "imsi=1\nboot=x\ntries=1\nsent=1\nfailed=-2\n", "imsi=1\nboot=x\ntries=-1\nsent=1\nfailed=1\n",
                            "failure\n", "sent=1x\n", "imsi=1a\n", "boot=bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb\n"}) {
        std::ofstream(path) << bad;
        read = service::loadRecord(path, error);
        EXPECT_EQ(read.tries, 0) << bad;
        EXPECT_NE(error.find("started afresh"), std::string::npos) << bad;
    }
    EXPECT_FALSE(service::saveRecord(kWork + "/no-such-folder/record", record, error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
}

TEST(TraceSink, HoldsBackThePinWaitAfterItsFirstMinutes)
{
    const std::string enter = "{5} DM_RegLaunch.cpp:58, launchDmListener()\tENTER\t";
    const std::string pinOn = "{5} DM_RegLaunch.cpp:61, launchDmListener()\tPIN is ON, check after 10 second";
    const std::string other = "{5} DM_RegUtility.cpp:321, dmNeedRegister()\tSIM card IMSI is not same as the file, need register";
    const long long minute = 60000;
    const struct {
        long long at;
        std::string line;
        std::vector<std::string> written;
    } lines[] = {
        {0, enter, {enter}},
        {10000, pinOn, {pinOn}},
        {4 * minute, enter, {enter}},                // within the first minutes everything goes on
        {6 * minute, enter, {enter}},                // the first after them goes on, once an hour
        {7 * minute, enter, {}},                     // then each one is held back
        {8 * minute, pinOn, {"[dmregd] 1 more lines of the PIN wait held back", pinOn}},  // once an hour too
        {9 * minute, "zavtapi-at: /dev/dmreg-modem has gone away", {"zavtapi-at: /dev/dmreg-modem has gone away"}},
        {60 * minute, enter, {}},
        {66 * minute, enter, {"[dmregd] 1 more lines of the PIN wait held back", enter}},
        {67 * minute, enter, {}},
        {68 * minute, other, {"[dmregd] 1 more lines of the PIN wait held back", other}},  // the wait is over
        {69 * minute, enter, {enter}},               // a wait that comes later starts open again
        // text from outside, a reply's say, neither steers a terminal nor forges a line
        {70 * minute, "<4>[dmregd] reply '\x1B[2J\r[dmregd] ok'", {"[dmregd] reply '\\x1B[2J\\x0D[dmregd] ok'"}},
    };
    service::TraceSink sink;
    for (const auto& l : lines) {
        std::vector<std::string> written;
        for (const service::TraceSink::Line& line : sink.take(l.line, l.at)) {
            written.push_back(line.text);
        }
        EXPECT_EQ(written, l.written) << "at " << l.at << ": " << l.line;
    }
}

// The journal's priority of each line: the platform's errors, the frames of its accessors and
// the modem's warnings, or the priority a line of dmregd's own names.
TEST(TraceSink, GivesEachLineItsJournalPriority)
{
    using namespace service;
    const std::pair<const char*, int> lines[] = {
        {"{2} DM_RegUtility.cpp:50, dmSaveRegFlag()\tsave reg flag fail", kErr}, {"{3} DM_RegServer.cpp:90, f()\tx", kErr},
        {"dmnative: the tree cannot be read", kErr}, {"dmregd: a setting", kErr}, {"{5} DM_RegLaunch.cpp:26, f()\tENTER\t", kDebug},
        {"{5} DM_RegLaunch.cpp:27, f()\tLEAVE\t", kDebug}, {"{5} DM_RegLaunch.cpp:47, f()\tThe SIM card is valid.", kInfo},
        {"{5} no frame", kInfo}, {"zavtapi-at: /dev/dmreg-modem has gone away", kWarning}, {"<2>[dmregd] own", 2},
        {"<8>[dmregd] no priority", kInfo}, {"</>[dmregd] none", kInfo}, {"<5]x", kInfo}, {"<5>", kInfo}, {"[dmregd] plain", kInfo}};
    TraceSink sink;
    for (const auto& [line, priority] : lines) {
        const std::vector<TraceSink::Line> written = sink.take(line, 0);
        ASSERT_EQ(written.size(), 1u) << line;
        EXPECT_EQ(written[0].priority, priority) << line;
    }
}

TEST(Numbers, SameSubscriberAcrossInternationalAndNationalForms)
{
    const struct {
        const char* a;
        const char* b;
        const char* home;  // the home country, whose national numbers the national forms are
        bool same;
    } pairs[] = {
        {"+15550100200", "+15550100200", "", true},
        {"+15550100200", "15550100200", "", true},     // the type of number lost, the digits kept
        {"+15550100200", "5550100200", "1", true},     // national, country code 1
        {"5550100200", "+445550100200", "1", false},   // the national number is one of the home country's
        {"5550100200", "+865550100200", "1", false},
        {"+15550100200", "5550100200", "", false},     // no home country known: no national number matches
        {"+4915123456789", "015123456789", "49", true},  // national with its trunk prefix
        {"004915123456789", "+4915123456789", "", true},
        {"+49 151 2345-6789", "+4915123456789", "", true},
        {"+1 (555) 010.0200", "+15550100200", "", true},
        {"+1555+0100200", "+15550100200", "", false},  // a + within the digits is no layout
        {"++15550100200", "+15550100200", "", false},
        {"+123456789012345678901", "+123456789012345678901", "", false},  // longer than any number
        {"015123456789", "15123456789", "", true},
        {"+4915123456789", "+4415123456789", "49", false},  // another country
        {"+4915123456789", "5123456789", "49", false},      // the country code is 49: a digit of the number is missing
        {"+74951234567", "84951234567", "7", true},         // Russia's trunk prefix is 8
        {"+74951234567", "04951234567", "7", true},         // and 0, as most countries', is taken everywhere
        {"+390612345678", "0612345678", "39", true},        // Italy keeps the 0 in the number
        {"+15550100200", "0100200", "1", false},            // too few digits to stand for the number
        {"+44123", "0123", "44", false},                    // a short code stands for no subscriber
        {"012345", "12345", "", false},                     // nor in two national forms
        {"+15550100200", "+15550100201", "1", false},
        {"+15550100200", "sipgate", "1", false},            // alphanumeric: never a number
        {"12345", "12345", "", true},
        {"", "", "", false},
    };
    for (const auto& p : pairs) {
        const std::vector<std::string> home = {p.home};
        EXPECT_EQ(service::sameNumber(p.a, p.b, home), p.same) << p.a << " and " << p.b << " at home in " << p.home;
        EXPECT_EQ(service::sameNumber(p.b, p.a, home), p.same) << p.b << " and " << p.a << " at home in " << p.home;
    }
    const struct {
        const char* from;
        const char* country;
    } countries[] = {{"+15550100200", "1"}, {"+44 20 7946 0000", "44"}, {"00493012345678", "49"}, {"+3725123456", "372"},
                     {"5550100200", ""}, {"sipgate", ""}};
    for (const auto& c : countries) {
        EXPECT_EQ(service::countryCode(c.from), c.country) << c.from;
    }
    const struct {
        const char* mcc;
        const char* country;
    } mccs[] = {{"310", "1"}, {"234", "44"}, {"262", "49"}, {"460", "86"}, {"250", "7"}, {"724", "55"}, {"001", ""}, {"99", ""}, {"31a", ""}};
    for (const auto& m : mccs) {
        EXPECT_EQ(service::countryOfMcc(m.mcc), m.country) << m.mcc;
    }
}

TEST(Settings, EveryOneIsCheckedAndNamesItsLine)
{
    using namespace std::string_literals;
    const struct {
        std::string text;
        const char* error;  // after "FILE:", or "" when read
    } cases[] = {
        {"modem = /dev/ttyUSB2\nbaud = 57600  # the modem's own\nrtscts = yes\nframing = strict\nreply_from = +1555, 0049151\n"
         "retries = 0\nretry_interval = 60\nreply_wait = 600\nlist_interval = 10\ntree = /etc/maker/tree.txt\n",
         ""},
        {"modem = /dev/ttyUSB2\nbaud = 12345\n", "2: baud is none of the serial speeds"},
        {"modem = /dev/ttyUSB2\nbaud = fast\n", "2: baud is none of the serial speeds"},
        {"# the modem\nmodme = /dev/ttyUSB2\n", "2: unknown setting: modme = /dev/ttyUSB2"},
        {"modem = /dev/ttyUSB2\nrtscts = maybe\n", "2: rtscts is yes or no: rtscts = maybe"},
        {"modem = /dev/ttyUSB2\nrtscts = no\nframing = loose\n", "3: framing is strict or permissive"},
        {"modem /dev/ttyUSB2\n", "1: expected 'key = value': modem /dev/ttyUSB2"},
        {"modem = ttyUSB2\n", "1: modem must be an absolute path"},
        {"modem = /dev/a\nmodem = /dev/b\n", "2: given twice: modem = /dev/b"},
        {"modem = /dev/a\nreply_from = +1555, server\n", "2: reply_from: 'server' is no telephone number"},
        {"modem = /dev/a\nretries = 101", "2: retries is a number from 0 to 100"},
        {"modem = /dev/a\nretries = 4294967296001\n", "2: retries is a number from 0 to 100"},
        {"retry_interval = 0\n", "1: retry_interval is a number of seconds from 1 to 2678400"},
        {"reply_wait = 0\n", "1: reply_wait is a number of seconds from 1 to 2678400"},
        {"list_interval = 86401\n", "1: list_interval is a number of seconds from 1 to 86400"},
        {"modem = /dev/a\nreply_wait =\n", "2: no value: reply_wait ="},
        {"modem = /dev/a\0b\n"s, "1: a NUL byte in the line: modem = /dev/a\\x00b"},
        {"modem = /" + std::string(70000, 'x') + "\n", "1: a line longer than 4096 bytes: modem = /xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx..."},
    };
    const std::string path = kWork + "/settings.conf";
    for (const auto& c : cases) {
        std::ofstream(path) << c.text;
        service::Settings settings;
        std::string error;
        const bool read = service::readSettings(path, settings, error);
        const std::string want = *c.error == '\0' ? "" : path + ":" + c.error;
        EXPECT_EQ(error.substr(0, want.size()), want) << c.text.substr(0, 80);
        EXPECT_LT(error.size(), path.size() + 200) << "a line echoed whole";
        EXPECT_EQ(read, *c.error == '\0') << error;
        if (read) {  // each setting where it belongs
            EXPECT_EQ(settings.modem, "/dev/ttyUSB2");
            EXPECT_EQ(settings.baud, 57600);
            EXPECT_TRUE(settings.rtscts && settings.strictFraming);
            EXPECT_EQ(settings.replyFrom, (std::vector<std::string>{"+1555", "0049151"}));
            EXPECT_EQ(settings.retries, 0);
            EXPECT_EQ(settings.retryIntervalMs, 60000);
            EXPECT_EQ(settings.replyWaitMs, 600000);
            EXPECT_EQ(settings.listIntervalMs, 10000);
            EXPECT_EQ(settings.tree, "/etc/maker/tree.txt");
        }
    }
    service::Settings defaults;
    std::string error;
    EXPECT_TRUE(service::readSettings(kWork + "/no-such-folder/dmregd.conf", defaults, error, true)) << "a missing default file";
    EXPECT_EQ(defaults.modem + " " + defaults.tree, "/dev/dmreg-modem " + kWork + "/no-such-folder/tree.txt");
    EXPECT_FALSE(service::readSettings(kWork + "/no-such-folder/dmregd.conf", defaults, error));
    EXPECT_FALSE(service::readSettings(path + "/dmregd.conf", defaults, error, true)) << "a default file that is not missing";
}

}  // namespace
