// The long fault soak: many lines, thousands of jobs and incoming messages,
// simulated modems that misbehave in every way they know (seeded), and a
// host that takes lines down and up while they work and shuts down with work
// in flight. Checks that every accepted job ends exactly once and only
// reports success for a message the modem took whole, that every incoming
// message is delivered once, intact, or is still on the SIM, and that every
// line still sends and receives at the end.
//
// Label "long": run by scripts/soak.sh, which passes its options through
// QVGSM_SOAK_SEED, QVGSM_SOAK_MINUTES (may be fractional) and QVGSM_SOAK_LINES.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "pdu/PDUCodec.h"
#include "support/DriverHost.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

double EnvNumber(const char* name, double fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atof(v) : fallback;
}

class SoakLong : public DriverFixture {
  protected:
    // Waits of 10 s last 1 s: time-outs happen, but cheaply.
    double TimeScale() override { return 10.0; }
};

// Per job: its marker, its number and its text.
struct SoakJob {
    std::unique_ptr<TestJob> t;
    std::string marker;
};

std::u16string MakeText(std::mt19937& rng, const std::string& marker) {
    const int length = rng() % 8 == 0 ? 161 + rng() % 300 : 1 + rng() % 150;
    const bool ucs2 = rng() % 5 == 0;
    std::u16string text = U16(marker + " ");
    for (int i = 0; i < length; ++i) {
        text.push_back(ucs2 ? static_cast<char16_t>(0x0430 + rng() % 32)
                            : static_cast<char16_t>('a' + rng() % 26));
    }
    return text;
}

// Texts of every SMS-SUBMIT a modem took whole, all parts in order.
std::set<std::u16string> CompleteSubmits(const std::vector<qvsim::Submit>& submits) {
    std::set<std::u16string> out;
    std::u16string building;
    int ref = -2, next = 0, total = 0;
    for (const qvsim::Submit& s : submits) {
        if (s.concatReference < 0) {
            out.insert(s.text);
            next = 0;
            continue;
        }
        if (s.part == 1) {
            building = s.text;
            ref = s.concatReference;
            total = s.total;
            next = 2;
        } else if (next == s.part && s.concatReference == ref && s.total == total) {
            building += s.text;
            ++next;
        } else {
            next = 0;
            continue;
        }
        if (next == total + 1) out.insert(building);
    }
    return out;
}

std::string Marker(const std::u16string& text) {
    const std::string utf8 = U8(text);
    return utf8.substr(0, utf8.find(' '));
}

TEST_F(SoakLong, LinesJobsAndMessagesUnderFaultsAndMisuse) {
    const unsigned seed = static_cast<unsigned>(EnvNumber("QVGSM_SOAK_SEED", 20261208));
    const double minutes = EnvNumber("QVGSM_SOAK_MINUTES", 2);
    const int lines = std::max(1, static_cast<int>(EnvNumber("QVGSM_SOAK_LINES", 16)));
    std::printf("soak: seed %u, %.2f minutes, %d lines\n", seed, minutes, lines);
    std::mt19937 rng(seed);

    std::vector<int> modems;
    for (int i = 0; i < lines; ++i) {
        qvsim::ModemConfig mc;
        mc.capacity = 255;
        mc.seed = seed + 1000 + i;
        // Unsolicited lines at random line ends of answers (QVGSM_SOAK_NOISE,
        // a chance per line end), alpha fields in headers on every other modem.
        mc.noise = EnvNumber("QVGSM_SOAK_NOISE", 0);
        if (mc.noise > 0 && i % 2 == 1) mc.alpha = "BOOK, \"OK\"";
        // New messages stored elsewhere than SM on every other modem
        // (QVGSM_SOAK_STORAGE).
        const char* store = std::getenv("QVGSM_SOAK_STORAGE");
        if (store != nullptr && *store != '\0' && i % 2 == 0) mc.storage = store;
        const int m = AddModem(i + 1, mc);
        if (m < 0) GTEST_SKIP() << "no pseudo-terminal available";
        modems.push_back(m);
    }
    for (int i = 0; i < lines; ++i) BringUp(MakeLineConfig(i + 1, 3));
    if (HasFatalFailure()) return;

    // Every fault the simulator knows, now and then, on every modem.
    const char* faults[] = {
        "AT+CMGS error p=0.02",
        "> error p=0.03",
        "> cms=500 p=0.02",
        "AT+CMGS cms=304 p=0.01",
        "AT+CMGS silent p=0.01",
        "> silent p=0.01",
        "AT+CMGR error p=0.04",
        "AT+CMGR cms=321 p=0.02",
        "AT+CMGR silent p=0.01",
        "AT+CMGD error p=0.03",
        "AT+CMGD cme=10 p=0.01",
        "AT+CMGD mute p=0.01",
        "AT+CMGR mute p=0.01",
        "> mute p=0.005",
        "* chunks=5 p=0.1",
        "* bytes p=0.01",
        "* delay=40 p=0.05",
        "* garbage=%0D%0A%00%FF#~ p=0.03",
        "* garbage=%0D%0A+CMT p=0.02",
        "AT+CMGR reply=%0D%0A+CMGR:%200,,5%0D%0A00%0D%0A%0D%0AOK%0D%0A p=0.01",
        "> cmti p=0.02",
        "AT+CSQ error p=0.2",
    };
    for (int m : modems) {
        for (const char* f : faults) {
            std::string error;
            ASSERT_TRUE(sim->AddFault(m, f, &error)) << f << ": " << error;
        }
    }

    std::vector<SoakJob> jobs;                       // the main thread's
    std::mutex lock;                                 // guards the records below
    std::map<std::string, std::u16string> injected;  // marker -> text
    std::map<std::string, std::u16string> simFull;   // never stored: the SIM was full
    std::map<std::string, int> refused;              // export result -> count
    int hangups = 0, uninits = 0, reinits = 0, readds = 0;

    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int64_t>(minutes * 60000));
    std::atomic<bool> running{true};

    // Incoming traffic.
    std::thread injector([&] {
        std::mt19937 irng(seed + 7);
        for (int n = 0; running; ++n) {
            const int m = modems[irng() % modems.size()];
            qvsim::Incoming in;
            in.sender = "+1555" + std::to_string(1000000 + n);
            const std::string marker = "in-" + std::to_string(n);
            in.text = MakeText(irng, marker);
            const std::vector<int> slots = sim->Inject(m, in);
            {
                // A part that found the SIM full never reached the driver.
                std::lock_guard<std::mutex> g(lock);
                bool stored = !slots.empty();
                for (int slot : slots) stored = stored && slot >= 0;
                (stored ? injected[marker] : simFull[marker]) = in.text;
            }
            // Paces the random load: real time between arrivals is the point.
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + irng() % 60));
        }
    });

    // The host's misuse: unplugged modems, lines taken down and up again
    // while they work.
    std::set<int> removed;  // COM numbers uninitialised and not yet added again
    std::thread chaos([&] {
        std::mt19937 crng(seed + 13);
        while (running) {
            // Paces the random faults in real time.
            std::this_thread::sleep_for(std::chrono::milliseconds(500 + crng() % 1500));
            const int i = static_cast<int>(crng() % modems.size());
            const int com = i + 1;
            std::lock_guard<std::mutex> g(lock);
            switch (crng() % 4) {
                case 0:  // unplugged, plugged in again, then re-initialised
                    sim->HangUp(modems[i]);
                    // Unplugged for a random real time.
                    std::this_thread::sleep_for(std::chrono::milliseconds(crng() % 200));
                    sim->Replug(modems[i]);
                    if (!removed.count(com)) {
                        EXPECT_EQ(host->ReinitLine(com), QV_OK);
                    }
                    ++hangups;
                    break;
                case 1:
                    if (!removed.count(com)) {
                        EXPECT_EQ(host->ReinitLine(com), QV_OK);
                        ++reinits;
                    }
                    break;
                case 2:
                    if (!removed.count(com)) {
                        EXPECT_EQ(host->UninitLine(com), QV_OK);
                        removed.insert(com);
                        ++uninits;
                    }
                    break;
                case 3:
                    if (removed.count(com)) {
                        const GSMLineConfig c = MakeLineConfig(com, 3);
                        EXPECT_EQ(host->AddLine(&c), QV_PENDING);
                        removed.erase(com);
                        ++readds;
                    }
                    break;
            }
        }
    });

    // Jobs, as fast as the lines take them (the waiting list stays short).
    int n = 0;
    while (std::chrono::steady_clock::now() < end) {
        const size_t waiting = jobs.size();
        const size_t ended = EventLog::Get().Count(HOST_SMS_SENT);
        if (waiting - std::min(waiting, ended) > static_cast<size_t>(lines) * 8) {
            // Until the next job ends.
            EventLog::Get().WaitFor(
                [ended](const std::vector<HostEvent>& ev) {
                    size_t k = 0;
                    for (const HostEvent& e : ev) k += e.kind == HOST_SMS_SENT;
                    return k > ended;
                },
                1s);
            continue;
        }
        SoakJob j;
        j.marker = "job-" + std::to_string(n++);
        std::string number = (rng() % 5 == 0) ? "+4917012345" : "017012345";
        number += std::to_string(rng() % 100);
        int line = -1, fixed = 0;
        if (rng() % 6 == 0) line = 1 + static_cast<int>(rng() % lines);
        if (line > 0 && rng() % 2 == 0) fixed = 1;
        j.t = std::make_unique<TestJob>(number, MakeText(rng, j.marker), line, fixed);
        if (rng() % 10 == 0) j.t->job.NoRetry = 1;
        const int rc = host->SendSMS(0, &j.t->job);
        if (rc == QV_PENDING) {
            jobs.push_back(std::move(j));
        } else {
            // A fixed line that is down or gone, or no line at all for a moment.
            EXPECT_TRUE(rc == QV_NOTFOUND || rc == QV_NOTINITIALIZED || rc == QV_NOSENDLINE ||
                        rc == QV_NOINTLLINE || rc == QV_NOINTLSUPPORT)
                << rc;
            EXPECT_EQ(j.t->job.SendData, nullptr);
            refused[std::to_string(rc)]++;
        }
    }
    running = false;
    injector.join();
    chaos.join();

    // Every line back and quiet, then every accepted job must end.
    for (int m : modems) {
        sim->ClearFaults(m);
        if (!sim->Plugged(m)) sim->Replug(m);
    }
    for (int com : removed) {
        const GSMLineConfig c = MakeLineConfig(com, 3);
        EXPECT_EQ(host->AddLine(&c), QV_PENDING);
    }
    // Every line restarts. A line still starting from before reports that
    // start instead; one whose start fails for good (three failed attempts in
    // a row, the modem still coming back) is restarted on that report. A job
    // bound to a line waits for it.
    size_t from = EventLog::Get().Snapshot().size();
    std::set<int> pending;
    for (int com = 1; com <= lines; ++com) {
        EXPECT_EQ(host->ReinitLine(com), QV_OK) << "COM" << com;
        pending.insert(com);
    }
    const auto upBy = std::chrono::steady_clock::now() + 180s;
    while (!pending.empty() && std::chrono::steady_clock::now() < upBy) {
        auto reported = [&](const std::vector<HostEvent>& ev) {
            for (size_t k = from; k < ev.size(); ++k)
                if (ev[k].kind == HOST_LINE_STATUS && pending.count(ev[k].comPort)) return true;
            return false;
        };
        if (!EventLog::Get().WaitFor(reported, 10s)) continue;
        const auto ev = EventLog::Get().Snapshot();
        for (size_t k = from; k < ev.size(); ++k) {
            if (ev[k].kind != HOST_LINE_STATUS || !pending.count(ev[k].comPort)) continue;
            if (ev[k].code == QV_OK) {
                pending.erase(ev[k].comPort);
            } else {
                EXPECT_EQ(host->ReinitLine(ev[k].comPort), QV_OK) << "COM" << ev[k].comPort;
            }
        }
        from = ev.size();
    }
    EXPECT_TRUE(pending.empty()) << "a line does not come back up at the end: COM"
                                 << (pending.empty() ? 0 : *pending.begin());
    if (!WaitSent(jobs.size(), 300s)) {
        std::map<const void*, int> ended;
        for (const HostEvent& e : EventLog::Get().Snapshot())
            if (e.kind == HOST_SMS_SENT) ended[e.data]++;
        for (const SoakJob& j : jobs) {
            if (ended[&j.t->job] == 0)
                ADD_FAILURE() << j.marker
                              << " never ended (bound to its line: " << j.t->job.FixedLine << ")";
        }
        FAIL() << EventLog::Get().Count(HOST_SMS_SENT) << " of " << jobs.size() << " jobs ended";
    }

    // No line is stuck: each sends and receives once more.
    const size_t sentBefore = EventLog::Get().Count(HOST_SMS_SENT);
    std::vector<std::unique_ptr<TestJob>> finals;
    int finalsStored = 0;  // a SIM still full cannot take one: not the line's fault
    for (int i = 0; i < lines; ++i) {
        finals.push_back(
            std::make_unique<TestJob>("0123456789", U16("final-" + std::to_string(i)), i + 1, 1));
        EXPECT_EQ(host->SendSMS(0, &finals.back()->job), QV_PENDING) << "COM" << i + 1;
        const std::vector<int> slots =
            sim->Inject(modems[i], "+15559999999", "final-" + std::to_string(i) + " x");
        if (!slots.empty() && slots[0] >= 0) ++finalsStored;
    }
    EXPECT_TRUE(WaitSent(sentBefore + lines, 120s));
    for (size_t i = 0; i < finals.size(); ++i) {
        EXPECT_EQ(finals[i]->job.Result, QV_OK) << "COM" << i + 1 << " cannot send at the end";
    }
    EXPECT_TRUE(EventLog::Get().WaitFor(
        [finalsStored](const std::vector<HostEvent>& ev) {
            int k = 0;
            for (auto& e : ev)
                k += e.kind == HOST_SMS_RECEIVED && U8(e.text).rfind("final-", 0) == 0;
            return k >= finalsStored;
        },
        120s))
        << "a line does not receive at the end";

    // Shutdown with work in flight: the last jobs end by the time it returns.
    std::vector<std::unique_ptr<TestJob>> last;
    for (int i = 0; i < lines * 10; ++i) {
        last.push_back(std::make_unique<TestJob>("0123456789", U16("last-" + std::to_string(i))));
        if (host->SendSMS(0, &last.back()->job) != QV_PENDING) last.pop_back();
    }
    auto reads = [&] {
        size_t n = 0;
        for (const std::string& c : sim->Commands(modems[0])) n += c.rfind("AT+CMGR", 0) == 0;
        return n;
    };
    const size_t readsBefore = reads();
    const std::vector<int> slots = sim->Inject(modems[0], "+15558888888", "during-shutdown x");
    // Down while a message is being read (when the SIM could take it).
    if (!slots.empty() && slots[0] >= 0) {
        EXPECT_TRUE(sim->WaitFor([&] { return reads() > readsBefore; }, 30s));
    }
    ASSERT_EQ(host->Shutdown(), QV_OK);
    initialised = false;
    const auto events = EventLog::Get().Snapshot();

    // Invariants.
    std::map<const void*, int> ends;
    std::map<std::string, int> delivered;
    std::map<std::string, std::u16string> deliveredText;
    std::map<int, int> results;
    for (const HostEvent& e : events) {
        if (e.kind == HOST_SMS_SENT) ends[e.data]++;
        if (e.kind == HOST_SMS_RECEIVED) {
            const std::string marker = Marker(e.text);
            delivered[marker]++;
            deliveredText[marker] = e.text;
        }
    }
    std::set<std::u16string> taken;
    for (int m : modems) {
        for (const std::u16string& t : CompleteSubmits(sim->Submits(m))) taken.insert(t);
    }
    size_t ok = 0;
    for (const SoakJob& j : jobs) {
        EXPECT_EQ(ends[&j.t->job], 1) << j.marker;
        EXPECT_EQ(j.t->job.SendData, nullptr) << j.marker;
        results[j.t->job.Result]++;
        if (j.t->job.Result == QV_OK) {
            ++ok;
            EXPECT_TRUE(taken.count(j.t->text)) << j.marker << " reported sent, modem has no copy";
        }
    }
    for (auto& t : last) EXPECT_EQ(ends[&t->job], 1) << "a job lost at shutdown";

    std::set<std::string> stored;
    for (int m : modems) {
        for (const auto& s : sim->Stored(m)) {
            SMSMessage msg;
            try {
                PDUCodec().DecodeDeliver(s.pdu, msg);
            } catch (const std::exception&) {
                continue;
            }
            stored.insert(Marker(msg.GetText()));
        }
    }
    size_t got = 0, left = 0;
    for (auto& [marker, text] : injected) {
        EXPECT_LE(delivered[marker], 1) << marker << " delivered twice";
        if (delivered[marker] >= 1) {
            ++got;
            EXPECT_EQ(U8(deliveredText[marker]), U8(text)) << marker << " delivered damaged";
        } else {
            ++left;
            EXPECT_TRUE(stored.count(marker)) << marker << " neither delivered nor on the SIM";
        }
    }

    std::printf("soak: jobs accepted %zu, ok %zu, refused at hand-over %d; results:", jobs.size(),
                ok, [&] {
                    int r = 0;
                    for (auto& [k, v] : refused) r += v;
                    return r;
                }());
    for (auto& [code, count] : results) std::printf(" %d:%d", code, count);
    std::printf(
        "\nsoak: incoming %zu (and %zu the full SIM refused), delivered %zu, left on the "
        "SIM %zu\n",
        injected.size(), simFull.size(), got, left);
    std::printf(
        "soak: host faults: hang-ups %d, re-inits %d, uninits %d, re-adds %d; "
        "jobs at shutdown %zu; lines whose SIM took the final message %d of %d\n",
        hangups, reinits, uninits, readds, last.size(), finalsStored, lines);
    EXPECT_GT(ok, jobs.size() / 2);
    // Messages arrive faster than a line reads them under a sanitizer: the
    // rest must be on the SIM (above), not delivered.
    EXPECT_GT(got, 0u);
}

}  // namespace
