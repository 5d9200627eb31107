// qvgsm serve killed (SIGKILL) while it sends and receives, then started
// again on the same database and modems: nothing is lost, and a message the
// driver had taken is sent twice only when at-least-once was configured.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "support/serve/ServeDaemon.h"
#include "tools/serve/Store.h"
#include "tools/sim/Simulator.h"

namespace {

using ms = std::chrono::milliseconds;

class ServeRestart : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < kModems; ++i) {
            if (m_sim.Add() < 0) GTEST_SKIP() << "no pseudo-terminal";
        }
    }
    std::vector<std::string> Args(bool atLeastOnce = false) const {
        std::vector<std::string> args;
        for (int i = 0; i < kModems; ++i) {
            args.insert(args.end(), {"--line", std::to_string(i + 1) + "=" + m_sim.SlavePath(i)});
        }
        if (atLeastOnce) args.push_back("--at-least-once");
        return args;
    }
    std::map<std::string, int> SubmittedTexts() const {
        std::map<std::string, int> seen;
        for (int i = 0; i < kModems; ++i) {
            for (const auto& s : m_sim.Submits(i)) seen[s.utf8]++;
        }
        return seen;
    }

    static constexpr int kModems = 2;
    qvsim::Simulator m_sim;
    qvtest::WorkDir m_dir;
};

class ServeCrash : public ServeRestart, public ::testing::WithParamInterface<bool> {};

TEST_P(ServeCrash, KilledWhileSendingAndReceivingLosesNothing) {
    const bool atLeastOnce = GetParam();
    constexpr int kMessages = 20, kIncoming = 6;
    std::map<std::string, std::string> incoming;  // sender -> text
    {
        // Each send waits 1.5 s for its result, so the kill finds messages
        // queued, in the driver's hands and sent.
        for (int i = 0; i < kModems; ++i) ASSERT_TRUE(m_sim.AddFault(i, "> delay=1500"));
        qvtest::ServeDaemon first(m_dir);
        ASSERT_TRUE(first.Start(Args(atLeastOnce))) << first.Errors();
        ASSERT_TRUE(first.WaitLinesUp(kModems)) << first.Errors();
        for (int i = 0; i < kMessages; ++i) {
            ASSERT_EQ(first
                          .Post("/v1/messages", {{"to", "+1555100" + std::to_string(10 + i)},
                                                 {"text", "restart " + std::to_string(i)}})
                          .status,
                      202);
        }
        ASSERT_TRUE(first.WaitState("sent", 2, ms(60000))) << first.Errors();
        for (int i = 0; i < kIncoming; ++i) {
            std::string from = "+1555200" + std::to_string(10 + i);
            incoming[from] = "arrives around the crash " + std::to_string(i);
            m_sim.Inject(i % kModems, from, incoming[from]);
        }
        // A part is on the modem and its answer not yet back: in flight.
        ASSERT_TRUE(qvtest::Poll(
            [&] {
                size_t submitted = 0;
                for (const auto& [text, n] : SubmittedTexts()) submitted += n;
                return submitted > first.CountState("sent");
            },
            ms(30000)));
        first.Kill();
    }
    for (int i = 0; i < kModems; ++i) m_sim.ClearFaults(i);

    qvtest::ServeDaemon second(m_dir);
    ASSERT_TRUE(second.Start(Args(atLeastOnce))) << second.Errors();
    ASSERT_TRUE(second.WaitLinesUp(kModems)) << second.Errors();
    ASSERT_TRUE(qvtest::Poll(
        [&] {
            for (int i = 0; i < kModems; ++i) {
                if (!m_sim.Stored(i).empty()) return false;
            }
            return second.CountState("queued") + second.CountState("submitted") == 0 &&
                   second.Get("/v1/inbox").body["messages"].size() >= incoming.size();
        },
        ms(90000)))
        << second.Errors();

    // Outgoing: every message is accounted for, none was sent twice unless
    // at-least-once allowed it, and what became unknown was the driver's.
    auto list = second.Get("/v1/messages?limit=1000").body["messages"];
    ASSERT_EQ(list.size(), size_t{kMessages});
    auto submitted = SubmittedTexts();
    int unknown = 0, resent = 0;
    for (const auto& m : list) {
        const std::string text = m["text"];
        const int times = submitted.count(text) ? submitted[text] : 0;
        if (m["state"] == "unknown") {
            ++unknown;
            EXPECT_FALSE(atLeastOnce) << m.dump();
            EXPECT_LE(times, 1) << text;  // the modem may have taken it before the crash
        } else {
            EXPECT_EQ(m["state"], "sent") << m.dump();
            EXPECT_GE(times, 1) << text;
            if (!atLeastOnce) {
                EXPECT_EQ(times, 1) << text;
            }
            resent += times > 1;
        }
    }
    if (atLeastOnce) {
        EXPECT_EQ(unknown, 0);
        EXPECT_GE(resent, 1);  // the one in flight went out again
    } else {
        EXPECT_GE(unknown, 1);  // the one in flight is not sent again
        EXPECT_EQ(resent, 0);
    }

    // Incoming: each message exactly once.
    auto inbox = second.Get("/v1/inbox").body["messages"];
    std::multiset<std::string> senders;
    for (const auto& m : inbox) {
        senders.insert(m["from"].get<std::string>());
        ASSERT_EQ(incoming.count(m["from"]), 1u) << m.dump();
        EXPECT_EQ(m["text"], incoming[m["from"]]);
    }
    EXPECT_EQ(senders.size(), incoming.size());
    for (const auto& [from, text] : incoming) EXPECT_EQ(senders.count(from), 1u) << from;
    EXPECT_EQ(second.Stop(), 0) << second.Errors();
}

TEST_F(ServeRestart, SigtermLetsJobsInFlightEndAndLeavesTheQueue) {
    constexpr int kMessages = 12;
    for (int i = 0; i < kModems; ++i) ASSERT_TRUE(m_sim.AddFault(i, "> delay=1000"));
    {
        qvtest::ServeDaemon daemon(m_dir);
        ASSERT_TRUE(daemon.Start(Args())) << daemon.Errors();
        ASSERT_TRUE(daemon.WaitLinesUp(kModems)) << daemon.Errors();
        for (int i = 0; i < kMessages; ++i) {
            ASSERT_EQ(daemon
                          .Post("/v1/messages", {{"to", "+1555300" + std::to_string(10 + i)},
                                                 {"text", "stop " + std::to_string(i)}})
                          .status,
                      202);
        }
        ASSERT_TRUE(daemon.WaitState("sent", 1, ms(30000))) << daemon.Errors();
        EXPECT_EQ(daemon.Stop(), 0) << daemon.Errors();
    }
    qvserve::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(m_dir.Path() + "/gateway.db", &error)) << error;
    auto counts = store.CountByState();
    EXPECT_EQ(counts["submitted"], 0);
    EXPECT_EQ(counts["unknown"], 0);
    EXPECT_GT(counts["queued"], 0);
    EXPECT_EQ(counts["sent"] + counts["queued"], kMessages);
    // Whatever the modems took was recorded as sent.
    size_t submitted = 0;
    for (const auto& [text, n] : SubmittedTexts()) submitted += n;
    EXPECT_EQ(submitted, static_cast<size_t>(counts["sent"]));
}

INSTANTIATE_TEST_SUITE_P(Delivery, ServeCrash, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("AtLeastOnce")
                                               : std::string("AtMostOnce");
                         });

}  // namespace
