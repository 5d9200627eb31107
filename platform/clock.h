// The one clock behind Sleep, waits with a time-out and the timer queue.
//
// Tests give time a seam here: with a scale of 1000 a 400 s wait of the
// driver takes 0.4 s of real time, while the driver's own constants and logs
// keep their real values.
#pragma once

#include <cstdint>

namespace qvclock {

// Milliseconds of platform time since an arbitrary origin; monotonic.
uint64_t NowMs();

// Platform time runs `factor` times faster than real time (default 1).
// Sleep, timed waits (events, threads, completion ports) and the timer queue
// all measure on this clock; the hang-up back-off of serial devices does not
// (it guards CPU time, which is real). Takes effect for waits and timers
// started afterwards; a test sets it first thing. Thread-safe; factor <= 0
// is ignored.
void SetScale(double factor);
double Scale();

// Converts a platform-time span to real nanoseconds (at least 1 for ms > 0).
int64_t ToRealNs(uint64_t ms);

}  // namespace qvclock
