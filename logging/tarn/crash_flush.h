// What a fatal signal writes out before the process dies: the lines a log
// file still holds in memory, the ones that tell why. Each open file keeps
// one PendingLines up to date under its own lock; the signal handler reads
// them without any lock, as a crashing process must, and then hands the
// signal to whatever handled it before (the default: the process ends).
// Windows needs none of it: there every line is written through at once.
#pragma once

#include <atomic>
#include <cstddef>

struct PendingLines {
    std::atomic<int> fd{-1};
    std::atomic<const char*> data{nullptr};
    std::atomic<size_t> size{0};
    int slot = -1;  // the handler's, while watched
};

// Covers lines until StopWatching; installs the handlers on first use. A
// process with more open files than the handler can track leaves the rest
// uncovered.
void WatchForCrash(PendingLines* lines);
void StopWatching(PendingLines* lines);
