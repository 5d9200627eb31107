// Many simulated modems in one process, all on the simulator's one thread.
#include <dirent.h>

#include <memory>

#include <gtest/gtest.h>

#include "support/SerialClient.h"
#include "tools/sim/Simulator.h"

namespace {

int ThreadCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
}

TEST(SimScale, TwoThousandModemsShareOneThread) {
    constexpr int kModems = 2000;
    qvsim::Simulator sim;
    // Counted from the first modem on: a sanitizer may add threads of its own.
    ASSERT_GE(sim.Add(), 0);
    const int withOne = ThreadCount();
    for (int i = 1; i < kModems; ++i) {
        if (sim.Add() < 0) {
            GTEST_SKIP() << "the system ran out of pseudo-terminals after " << i << " modems";
        }
    }
    EXPECT_EQ(ThreadCount(), withOne);
    std::vector<std::unique_ptr<qvtest::SerialClient>> clients;
    for (int i = 0; i < kModems; ++i) {
        clients.push_back(std::make_unique<qvtest::SerialClient>());
        ASSERT_TRUE(clients.back()->Open(sim.SlavePath(i))) << i;
    }
    // Every modem gets its command before any answer is read.
    for (int i = 0; i < kModems; ++i) clients[i]->Write("AT+CSQ\r");
    for (int i = 0; i < kModems; ++i) {
        ASSERT_TRUE(clients[i]->ReadUntil("\r\nOK\r\n", std::chrono::milliseconds(10000))) << i;
        EXPECT_EQ(clients[i]->Take(), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n") << i;
    }
    // Injections reach the right modem only.
    sim.Inject(kModems - 1, "+1", "last");
    EXPECT_EQ(sim.Stored(kModems - 1).size(), 1u);
    EXPECT_TRUE(sim.Stored(0).empty());
}

}  // namespace
