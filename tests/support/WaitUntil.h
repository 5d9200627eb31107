// Waiting on state that has no notification of its own (a counter inside the
// library, a log file written by it): the one place tests poll.
#pragma once

#include <chrono>
#include <functional>

namespace qvtest {

// Re-checks pred until it holds or timeout passes; true when it held.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

}  // namespace qvtest
