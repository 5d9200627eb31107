#include "support/Probes.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "io/ThreadPool.h"
#include "platform/win32.h"
#include "support/SerialClient.h"

namespace qvtest {

bool ProbeModem(qvsim::Simulator& sim, int modem, bool readAnswer, const std::string& command,
                std::chrono::milliseconds timeout) {
    SerialClient probe;
    if (!probe.Open(sim.SlavePath(modem))) return false;
    if (!readAnswer) {
        return probe.Write(command + "\r") && sim.WaitForCommand(modem, command, timeout);
    }
    // Answers to commands written before may still be on their way: read up
    // to the answer that names this probe.
    static std::atomic<unsigned> serial{0};
    const std::string token = std::to_string(++serial);
    return probe.Write("AT+SIMECHO=" + token + "\r") &&
           probe.ReadUntil("\r\n+SIMECHO: " + token + "\r\n\r\nOK\r\n", timeout);
}

bool PoolDrained(CAThreadPool* pool, std::chrono::milliseconds timeout) {
    struct Rendezvous {
        std::mutex mutex;
        std::condition_variable cv;
        unsigned expected = 0;
        unsigned arrived = 0;
        bool over = false;  // all arrived, or the waiter gave up
    };
    auto state = std::make_shared<Rendezvous>();
    state->expected = pool->GetThreadCount();
    struct Ticket {
        std::shared_ptr<Rendezvous> state;
    };
    auto handler = [](void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) -> int {
        std::unique_ptr<Ticket> ticket(static_cast<Ticket*>(context));
        Rendezvous& r = *ticket->state;
        std::unique_lock<std::mutex> lock(r.mutex);
        if (++r.arrived == r.expected) r.over = true;
        r.cv.notify_all();
        r.cv.wait(lock, [&] { return r.over; });
        return 0;
    };
    for (unsigned i = 0; i < state->expected; ++i) {
        auto* ticket = new Ticket{state};
        if (pool->QueueWorkItem(ticket, handler) != 0) {
            delete ticket;
            std::lock_guard<std::mutex> lock(state->mutex);
            state->over = true;
            state->cv.notify_all();
            return false;
        }
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    const bool all = state->cv.wait_for(lock, timeout, [&] { return state->over; });
    // Lets the workers go whether or not all came.
    state->over = true;
    state->cv.notify_all();
    return all && state->arrived == state->expected;
}

namespace {
void CALLBACK SetProbeEvent(PVOID event, BOOLEAN) {
    SetEvent(static_cast<HANDLE>(event));
}
}  // namespace

bool TimerQueuePassed(unsigned delayMs, std::chrono::milliseconds timeout) {
    HANDLE fired = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE timer = nullptr;
    if (fired == nullptr) return false;
    bool ok = CreateTimerQueueTimer(&timer, nullptr, SetProbeEvent, fired, delayMs, 0, 0) &&
              WaitForSingleObject(fired, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
    if (timer != nullptr) DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
    CloseHandle(fired);
    return ok;
}

bool TimersPassed(CAThreadPool* pool, unsigned delayMs, std::chrono::milliseconds timeout) {
    return TimerQueuePassed(delayMs, timeout) && PoolDrained(pool, timeout);
}

}  // namespace qvtest
