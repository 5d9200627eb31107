// Fatal signals write the log buffers out first (see crash_flush.h).
#include "logging/tarn/crash_flush.h"

#if defined(_WIN32)

void WatchForCrash(PendingLines*) {}
void StopWatching(PendingLines*) {}

#else

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace {

// Enough for the most lines one driver runs, each with its own file.
constexpr size_t kSlots = 4096;
std::atomic<PendingLines*> g_slots[kSlots];

// Signals that end a process that does not handle them; SIGTERM is how it
// is usually asked to end.
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTERM};
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void OnFatalSignal(int sig, siginfo_t* info, void*) {
    const int savedErrno = errno;
    for (auto& slot : g_slots) {
        const PendingLines* lines = slot.load(std::memory_order_acquire);
        if (lines == nullptr) continue;
        const int fd = lines->fd.load(std::memory_order_relaxed);
        const char* data = lines->data.load(std::memory_order_relaxed);
        const size_t size = lines->size.load(std::memory_order_relaxed);
        if (fd >= 0 && data != nullptr && size > 0) WriteAll(fd, data, size);
    }
    // Once only: the signal goes to the handler before ours from now on. A
    // fault happens again when this returns; a signal sent by someone is
    // sent again.
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        if (kSignals[i] == sig) sigaction(sig, &g_previous[i], nullptr);
    }
    if (info == nullptr || info->si_code <= 0) raise(sig);
    errno = savedErrno;
}

void Install() {
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        struct sigaction previous {};
        if (sigaction(kSignals[i], nullptr, &previous) != 0) continue;
        // A signal the process ignores stays ignored.
        if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) continue;
        g_previous[i] = previous;
        struct sigaction ours {};
        ours.sa_sigaction = OnFatalSignal;
        ours.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&ours.sa_mask);
        sigaction(kSignals[i], &ours, nullptr);
    }
}

}  // namespace

void WatchForCrash(PendingLines* lines) {
    static std::once_flag installed;
    std::call_once(installed, Install);
    // Files open and close in about the same order: the slot after the last
    // one taken is nearly always free.
    static std::atomic<size_t> next{0};
    const size_t first = next.fetch_add(1, std::memory_order_relaxed);
    for (size_t i = 0; i < kSlots; ++i) {
        const size_t slot = (first + i) % kSlots;
        PendingLines* empty = nullptr;
        if (g_slots[slot].compare_exchange_strong(empty, lines, std::memory_order_release)) {
            lines->slot = static_cast<int>(slot);
            return;
        }
    }
}

void StopWatching(PendingLines* lines) {
    if (lines->slot < 0) return;
    g_slots[lines->slot].store(nullptr, std::memory_order_release);
    lines->slot = -1;
}

#endif
