// Events that show a component has moved past a point, for tests that check
// that something does not happen.
#pragma once

#include <chrono>
#include <string>

#include "tools/sim/Simulator.h"

class CAThreadPool;

namespace qvtest {

// Writes `command` to the modem's device through a second opening and waits
// until the simulator has read it: whatever was written to the device before
// has reached the modem by then. With readAnswer (for a device nobody else
// has open) a probe that the simulator answers by name is written instead,
// and everything up to its answer is read here, so that no later opening
// finds an answer meant for an earlier one.
bool ProbeModem(qvsim::Simulator& sim, int modem, bool readAnswer,
                const std::string& command = "AT+PROBE",
                std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

// Occupies every worker of the pool at once: whatever was handed to the pool
// before has finished by then.
bool PoolDrained(CAThreadPool* pool,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Waits for a timer of the timer queue due delayMs from now. The queue fires
// its timers one at a time in order of deadline: every timer due before it
// has fired (and handed its run to a pool) by then.
bool TimerQueuePassed(unsigned delayMs,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// TimerQueuePassed, then PoolDrained: every timer due before has fired and
// what it handed to the pool has finished.
bool TimersPassed(CAThreadPool* pool, unsigned delayMs,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace qvtest
