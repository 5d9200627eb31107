// Waiting on state that has no notification of its own (a counter inside the
// library, a log file written by it): the one place tests poll.
#pragma once

#include <chrono>
#include <functional>

namespace qvtest {

// Re-checks pred until it holds or timeout passes; true when it held.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               std::chrono::milliseconds every = std::chrono::milliseconds(1));

// The calling thread's kernel id.
int CurrentThreadId();
// The thread of this process is asleep in the kernel (blocked in a wait).
bool ThreadAsleep(int tid);

}  // namespace qvtest
