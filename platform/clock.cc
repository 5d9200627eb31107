// Platform time: real monotonic time run at an adjustable speed. A new scale
// starts from the current platform time, so NowMs never goes backwards.
#include "platform/clock.h"

#include <chrono>
#include <cstdint>

#include "platform/thread_annotations.h"

namespace qvclock {
namespace {

struct State {
    qv::Mutex mu;
    double scale QV_GUARDED_BY(mu) = 1.0;
    int64_t realBaseNs QV_GUARDED_BY(mu) = 0;
    double platformBaseMs QV_GUARDED_BY(mu) = 0.0;
};

State& S() {
    static State s;
    return s;
}

int64_t RealNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double PlatformMsLocked(State& s, int64_t realNs) QV_REQUIRES(s.mu) {
    return s.platformBaseMs + static_cast<double>(realNs - s.realBaseNs) * s.scale / 1e6;
}

}  // namespace

uint64_t NowMs() {
    State& s = S();
    qv::MutexLock lock(s.mu);
    return static_cast<uint64_t>(PlatformMsLocked(s, RealNowNs()));
}

void SetScale(double factor) {
    if (!(factor > 0.0)) return;
    State& s = S();
    qv::MutexLock lock(s.mu);
    int64_t now = RealNowNs();
    s.platformBaseMs = PlatformMsLocked(s, now);
    s.realBaseNs = now;
    s.scale = factor;
}

double Scale() {
    State& s = S();
    qv::MutexLock lock(s.mu);
    return s.scale;
}

int64_t ToRealNs(uint64_t ms) {
    if (ms == 0) return 0;
    // Capped at about 100 days so deadlines built from it never overflow.
    constexpr double kMaxNs = 1e16;
    double ns = static_cast<double>(ms) * 1e6 / Scale();
    if (ns > kMaxNs) ns = kMaxNs;
    return ns < 1.0 ? 1 : static_cast<int64_t>(ns);
}

}  // namespace qvclock
