// dmregd's records through crashes, failing disks and power cuts, as SQLite tests its journal: one
// whole registration on the simulated modem, with the disk shim (fsshim.cpp) killing dmregd
// before and after each call that changes a file of its state folder, failing each such call
// with EIO and with ENOSPC, and cutting the power before each. dmregd is then started again
// (after a power cut in a new boot) and the server's reply delivered. After every point:
//   - the tree parses, and the status file and the tree agree;
//   - the registration is recorded in the end: no start is refused for good;
//   - at most one registration SMS a boot;
//   - a reply deleted from the modem was recorded on the disk: a power cut never takes it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "dmreg_config.h"
#include "files.h"
#include "lifetime.h"
#include "modem.h"
#include "records.h"
#include "settings.h"
#include "trace.h"

namespace {

const std::string kWork = DMREG_TEST_WORK;
const std::string kState = service::folderOf(DMREG_STATUS_FILE);
const std::string kTree = kState + "/tree.txt";
const std::string kImsi = "001010123456789";
const std::string kAck = modem::reply("IMEI:490154203237518/1");

class Crash : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir((kWork + "/crash").c_str(), 0755);
        std::ifstream tree(DMREG_TEST_SUPPORT "/../../examples/trees/handset.txt");
        std::ofstream(kWork + "/crash/tree.txt") << tree.rdbuf();
        std::ofstream(kWork + "/crash/dmregd.conf") << "modem = " << m_modem.device << "\ntree = " << kWork
                                                     << "/crash/tree.txt\nretry_interval = 1\n";
        chmod(kState.c_str(), 0700);
    }

    struct Run {
        int status;
        std::string trace;
    };
    // dmregd with the shim at point ("MODE:N", or "none"); the reply is delivered once it listens.
    Run run(const std::string& point)
    {
        trace::Program dmregd({DMREG_TEST_BIN "/dmregd", "--fast", "--config", kWork + "/crash/dmregd.conf"}, environment(point));
        if (dmregd.waitFor("listenAndProcess()\tENTER")) {
            m_modem.control("deliver " + kAck);
        }
        const int status = dmregd.end();
        return {status, dmregd.seen()};
    }

    void fresh()
    {
        m_modem.control("reset");
        for (const char* file : {"/zav_dmregstatus.cfg", "/dmregd.state", "/tree.txt"}) {
            unlink((kState + file).c_str());
        }
        unlink((kWork + "/crash/calls.log").c_str());
        std::ofstream(kWork + "/crash/boot_id") << "boot-1\n";
        m_recordFrom = m_modem.record().size();
    }

    size_t recorded(const std::string& start) const
    {
        const std::vector<std::string> record = m_modem.record();
        return static_cast<size_t>(std::count_if(record.begin() + static_cast<long>(std::min(m_recordFrom, record.size())), record.end(),
                                                 [&](const std::string& l) { return l.compare(0, start.size(), start) == 0; }));
    }

    // One point: the faulty run, the start after it, and the invariants.
    void point(const std::string& mode, long n)
    {
        SCOPED_TRACE(mode + " at call " + std::to_string(n) + ": " + call(n));
        fresh();
        const Run first = run(mode + ":" + std::to_string(n));
        const service::Registration cut = service::readRegistration(DMREG_STATUS_FILE, kTree);
        const bool deleted = recorded("cmd AT+CMGD") > 0;
        // Whatever is on the disk now is whole: the old record or the new one.
        std::string error;
        const service::Record saved = service::loadRecord(kState + "/dmregd.state", error);
        EXPECT_EQ(error, "") << first.trace;
        EXPECT_TRUE(recorded("pdu ") == 0 || saved.tries > 0 || cut.statusImsi == kImsi)
            << "an SMS went out without the record of its try on the disk";
        // A failure is never passed over in silence; only a leftover's removal before a write,
        // and setting a new file's mode, are no more than attempts.
        const bool attempt = call(n).find(" unlink ") != std::string::npos || call(n).find(" fchmod ") != std::string::npos;
        if ((mode == "eio" || mode == "enospc") && !attempt) {
            EXPECT_NE(first.trace.find(strerror(mode == "eio" ? EIO : ENOSPC)), std::string::npos) << first.trace;
        }
        struct stat st;
        EXPECT_TRUE(stat(kTree.c_str(), &st) != 0 || parses()) << "the tree does not parse";
        if (mode == "powercut") {
            std::ofstream(kWork + "/crash/boot_id") << "boot-2\n";
        }
        const Run second = run("none");
        EXPECT_EQ(second.status, 0) << first.trace << "\n---- started again ----\n" << second.trace;
        EXPECT_TRUE(parses()) << "the tree does not parse";
        const service::Registration r = service::readRegistration(DMREG_STATUS_FILE, kTree);
        EXPECT_TRUE(service::agree(r)) << r.statusImsi << " / " << r.treeStatus << " " << r.treeImsi;
        EXPECT_EQ(r.statusImsi, kImsi) << "not registered in the end";
        EXPECT_LE(recorded("pdu "), mode == "powercut" ? 2u : 1u) << "more than one registration SMS a boot";
        if (deleted) {
            EXPECT_EQ(cut.statusImsi, kImsi) << "the reply left the modem before its registration was on the disk";
        }
    }

    static bool parses()
    {
        setenv("DMNATIVE_TREE", kTree.c_str(), 1);
        return service::readTreeFacts().readable;
    }

    // What call n was, as the count run logged it.
    std::string call(long n) const { return n > 0 && static_cast<size_t>(n) <= m_calls.size() ? m_calls[n - 1] : "?"; }

    // The calls of a whole registration without a fault.
    long count()
    {
        fresh();
        const Run clean = run("none:0");
        EXPECT_EQ(clean.status, 0) << clean.trace;
        std::ifstream log(kWork + "/crash/calls.log");
        m_calls.clear();
        for (std::string line; std::getline(log, line);) {
            m_calls.push_back(line);
        }
        return static_cast<long>(m_calls.size());
    }

    void everyPoint(const std::string& mode)
    {
        const long calls = count();
        ASSERT_GE(calls, 20) << "the shim saw too few calls to change files";
        for (long n = 1; n <= calls; ++n) {
            point(mode, n);
        }
        RecordProperty("points", static_cast<int>(calls));
    }

    std::vector<std::string> environment(const std::string& point) const
    {
        return {"LD_PRELOAD=" DMREG_TEST_LIB "/libdmreg_fsshim.so", "DMREG_SHIM_WATCH=" + kState, "DMREG_SHIM_POINT=" + point,
                "DMREG_SHIM_LOG=" + kWork + "/crash/calls.log", "DMREG_SHIM_BOOT_ID=" + kWork + "/crash/boot_id",
                "DMREG_SHIM_FAULTS=" + m_faults};
    }

    modem::Simulator m_modem{kWork + "/crash-modem"};
    size_t m_recordFrom = 0;
    std::vector<std::string> m_calls;
    std::string m_faults;
};

// Where a sandbox hides the kernel's boot id, the service's mark in its runtime folder tells a
// restart from a new boot: a stop or a crash while the reply is awaited sends nothing more.
TEST_F(Crash, ARestartInTheSameBootSendsNothingMoreWhereTheBootIdIsHidden)
{
    fresh();
    unlink((kWork + "/crash/boot_id").c_str());
    const std::string mark = service::folderOf(DMREG_SOCKET_PATH) + "/boot";
    unlink(mark.c_str());
    const std::vector<std::string> argv = {DMREG_TEST_BIN "/dmregd", "--fast", "--config", kWork + "/crash/dmregd.conf"};
    const char* const awaiting = "[dmregd] awaiting the server's reply to the registration sent before";
    for (int run = 0; run < 3; ++run) {  // stopped, then killed, then confirmed
        trace::Program dmregd(argv, environment("none:0"));
        ASSERT_TRUE(dmregd.waitFor(run == 0 ? "listenAndProcess()\tENTER" : awaiting)) << dmregd.seen();
        if (run < 2) {
            dmregd.stop(run == 0 ? SIGTERM : SIGKILL);
            continue;
        }
        m_modem.control("deliver " + kAck);
        EXPECT_EQ(dmregd.end(), 0) << dmregd.seen();
    }
    EXPECT_EQ(recorded("pdu "), 1u);
    EXPECT_EQ(std::ifstream(mark).peek(), 'm') << "the mark of this boot";
}

// Calls interrupted, or failing where the disk is sound: every interruption is ridden out, and
// every failure is told and ends in a registration or in an exit that says why.
TEST_F(Crash, RidesOutInterruptedCallsAndTellsFailedOnes)
{
    const char* const confirmed = "[dmregd] the registration of SIM 001010123456789 is confirmed\n";
    const struct {
        const char* faults;
        bool bootHidden;
        std::vector<std::string> modem;  // its settings and messages before the start
        int status;
        std::string told;  // a whole line of the trace
    } cases[] = {
        {"poll:*:EINTR,read:*:EINTR,write:*:EINTR,recv:*:EINTR,send:*:EINTR,connect:*:EINTR,accept4:*:EINTR", false, {}, 0, confirmed},
        {"write:1:EINTR,recv:1:EINTR", false, {}, 0,  // the journal's first line and the listener's first answer interrupted
         "[dmregd] registering over the modem " + m_modem.device + ", tree " + kWork + "/crash/tree.txt, replies from +15550100200\n"},
        {"pipe2:1:EMFILE", false, {}, 0, confirmed},  // no journal stream: the lines go out bare
        {"dup:1:EMFILE", false, {}, 0, confirmed},
        {"getrandom:1:ENOSYS", true, {}, 0, "[dmregd] this boot cannot be told from the next: a restart sends again\n"},
        {"connect:2:ECONNREFUSED", false, {}, 0, "[dmregd] receiver: the listener does not take messages now; they wait in storage\n"},
        {"flock:1:ENOLCK", false, {}, 74, "dmregd: cannot lock " + kState + ": No locks available\n"},
        {"", false, {"reply SM +15550100200 IMEI:490154203237518/1", "set answer AT+CMGD=0 = ERROR"}, 0,
         "[dmregd] the server's replies in the modem's storage could not all be deleted: one of them may be taken for the reply to "
         "this SIM's registration\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        fresh();
        if (c.bootHidden) {
            unlink((kWork + "/crash/boot_id").c_str());
            unlink((service::folderOf(DMREG_SOCKET_PATH) + "/boot").c_str());
        }
        for (const std::string& line : c.modem) {
            m_modem.control(line);
        }
        m_faults = c.faults;
        const Run r = run("none:0");
        m_faults = "";
        EXPECT_EQ(r.status, c.status) << r.trace;
        EXPECT_NE(("\n" + r.trace).find("\n" + c.told), std::string::npos) << r.trace;
        EXPECT_EQ(recorded("pdu "), c.status == 0 ? 1u : 0u) << r.trace;
        // The listener is asked for its port once: an interrupted answer is awaited, not taken for a refusal.
        EXPECT_TRUE(strstr(c.faults, "connect") != nullptr || r.trace.find("<GetPort>") == r.trace.rfind("<GetPort>")) << r.trace;
    }
}

TEST_F(Crash, KilledBeforeEveryFileChangingCall) { everyPoint("kill-before"); }
TEST_F(Crash, KilledAfterEveryFileChangingCall) { everyPoint("kill-after"); }
TEST_F(Crash, EveryFileChangingCallFailsWithAnIoError) { everyPoint("eio"); }
TEST_F(Crash, EveryFileChangingCallFindsTheDiskFull) { everyPoint("enospc"); }
TEST_F(Crash, ThePowerFailsBeforeEveryFileChangingCall) { everyPoint("powercut"); }

}  // namespace
