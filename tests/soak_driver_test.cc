// Many jobs and incoming messages on four lines whose modems misbehave at
// random (seeded): every accepted job ends exactly once, every incoming
// message is delivered once or stays on the SIM, and no line is left stuck.
#include <gtest/gtest.h>

#include <atomic>
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

constexpr int kLines = 4;
constexpr int kJobs = 500;
constexpr int kIncoming = 200;

class SoakDriver : public DriverFixture {
  protected:
    // Waits of 10 s last 0.5 s: time-outs happen, but cheaply.
    double TimeScale() override { return 20.0; }
};

std::u16string MakeText(std::mt19937& rng, const std::string& tag) {
    int len = std::uniform_int_distribution<int>(1, 420)(rng);
    bool ucs2 = std::uniform_int_distribution<int>(0, 4)(rng) == 0;
    std::u16string text = U16(tag + " ");
    for (int i = 0; i < len; ++i) {
        text.push_back(ucs2 ? static_cast<char16_t>(0x0430 + rng() % 32)
                            : static_cast<char16_t>('a' + rng() % 26));
    }
    return text;
}

TEST_F(SoakDriver, JobsAndMessagesUnderRandomFaults) {
    std::vector<int> modems;
    for (int i = 0; i < kLines; ++i) {
        qvsim::ModemConfig mc;
        mc.capacity = 255;
        mc.seed = 1000 + i;
        int m = AddModem(i + 1, mc);
        if (m < 0) GTEST_SKIP() << "no pseudo-terminal available";
        modems.push_back(m);
    }
    for (int i = 0; i < kLines; ++i) BringUp(MakeLineConfig(i + 1, 3));
    const char* faults[] = {
        "> error p=0.04",          // PDU refused: retried
        "AT+CMGS cms=500 p=0.02",  // prompt never comes: times out
        "AT+CMGR error p=0.05",    // read fails: read again
        "AT+CMGD error p=0.05",    // delete fails: stays on the SIM
        "AT+CMGR silent p=0.02",  "* chunks=7 p=0.2", "> delay=30 p=0.1",
    };
    for (int m : modems) {
        for (const char* f : faults) {
            std::string error;
            ASSERT_TRUE(sim->AddFault(m, f, &error)) << f << ": " << error;
        }
    }

    std::mt19937 rng(20261208);
    std::vector<std::unique_ptr<TestJob>> jobs;
    std::atomic<bool> injecting{true};
    std::map<std::string, int> injected;  // marker -> modem
    std::mutex injectedLock;
    std::thread injector([&] {
        std::mt19937 irng(7);
        for (int n = 0; n < kIncoming; ++n) {
            int m = modems[irng() % kLines];
            qvsim::Incoming in;
            in.sender = "+1555" + std::to_string(1000000 + n);
            std::string marker = "in-" + std::to_string(n);
            in.text = MakeText(irng, marker);
            {
                std::lock_guard<std::mutex> lock(injectedLock);
                injected[marker] = m;
            }
            sim->Inject(m, in);
            // Paces the random load: real time between arrivals is the point.
            std::this_thread::sleep_for(std::chrono::milliseconds(irng() % 15));
        }
        injecting = false;
    });

    for (int n = 0; n < kJobs; ++n) {
        std::string number = (rng() % 5 == 0) ? "+4917012345" : "017012345";
        number += std::to_string(n % 100);
        int line = -1, fixed = 0;
        if (rng() % 6 == 0) line = 1 + rng() % kLines;
        if (line > 0 && rng() % 2 == 0) fixed = 1;
        jobs.push_back(std::make_unique<TestJob>(number, MakeText(rng, "job-" + std::to_string(n)),
                                                 line, fixed));
        if (rng() % 10 == 0) jobs.back()->job.NoRetry = 1;
        ASSERT_EQ(host->SendSMS(0, &jobs.back()->job), QV_PENDING) << n;
        if (n % 50 == 0) std::this_thread::sleep_for(20ms);  // paces the load in real time
    }
    injector.join();
    ASSERT_TRUE(WaitSent(kJobs, 90s)) << EventLog::Get().Count(HOST_SMS_SENT) << " of " << kJobs;

    for (int m : modems) sim->ClearFaults(m);
    // No line is stuck: each sends and receives once more. A line serves its
    // notifications in order, so its earlier receive work is behind it once
    // its final message is in.
    std::vector<std::unique_ptr<TestJob>> finals;
    for (int i = 0; i < kLines; ++i) {
        finals.push_back(std::make_unique<TestJob>("0123456789", U16("final"), i + 1, 1));
        ASSERT_EQ(host->SendSMS(0, &finals.back()->job), QV_PENDING);
        sim->Inject(modems[i], "+15559999999", "final-" + std::to_string(i) + " x");
    }
    ASSERT_TRUE(WaitSent(kJobs + kLines, 30s));
    for (auto& f : finals) EXPECT_EQ(f->job.Result, QV_OK);
    ASSERT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>& ev) {
            int n = 0;
            for (auto& e : ev)
                n += e.kind == HOST_SMS_RECEIVED && U8(e.text).rfind("final-", 0) == 0;
            return n == kLines;
        },
        30s));

    auto events = EventLog::Get().Snapshot();
    std::map<const void*, int> ends;
    std::map<std::string, int> delivered;
    for (const HostEvent& e : events) {
        if (e.kind == HOST_SMS_SENT) ends[e.data]++;
        if (e.kind == HOST_SMS_RECEIVED) {
            std::string text = U8(e.text);
            delivered[text.substr(0, text.find(' '))]++;
        }
    }
    size_t ok = 0;
    for (auto& j : jobs) {
        EXPECT_EQ(ends[&j->job], 1) << j->number;
        EXPECT_EQ(j->job.SendData, nullptr);
        ok += j->job.Result == QV_OK;
    }
    EXPECT_GT(ok, static_cast<size_t>(kJobs * 8 / 10));

    // Whatever is left on the SIMs, by marker.
    std::set<std::string> stored;
    for (int m : modems) {
        for (const auto& s : sim->Stored(m)) {
            SMSMessage msg;
            try {
                PDUCodec().DecodeDeliver(s.pdu, msg);
            } catch (const std::exception&) {
                continue;
            }
            std::string text = U8(msg.GetText());
            stored.insert(text.substr(0, text.find(' ')));
        }
    }
    size_t got = 0;
    for (auto& [marker, modem] : injected) {
        EXPECT_LE(delivered[marker], 1) << marker;
        if (delivered[marker] == 1) {
            ++got;
        } else {
            EXPECT_TRUE(stored.count(marker)) << marker << " neither delivered nor on the SIM";
        }
    }
    EXPECT_GT(got, static_cast<size_t>(kIncoming * 8 / 10));
}

}  // namespace
