// Fixture for tests that talk to one simulated modem with a plain serial
// client on its pty. Skips when the system has no pseudo-terminal to give.
#pragma once

#include <gtest/gtest.h>

#include "support/SerialClient.h"
#include "tools/sim/Simulator.h"

namespace qvtest {

class SimBench : public ::testing::Test {
  protected:
    // Overridden by fixtures that need another configuration.
    virtual qvsim::ModemConfig Config() { return {}; }

    void SetUp() override {
        modem = sim.Add(Config());
        if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        ASSERT_TRUE(client.Open(sim.SlavePath(modem)));
    }

    // Echo off, so that answers can be compared whole.
    void Quiet() { ASSERT_EQ(client.Command("ATE0"), "ATE0\r\r\nOK\r\n"); }

    qvsim::Simulator sim;
    int modem = -1;
    SerialClient client;
};

}  // namespace qvtest
