#include "support/Probes.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "io/DelayedWork.h"
#include "support/SerialClient.h"

namespace qvtest {

bool ProbeModem(qvsim::Simulator& sim, int modem, bool readAnswer, const std::string& command,
                std::chrono::milliseconds timeout) {
    SerialClient probe;
    if (!probe.Open(sim.SlavePath(modem))) return false;
    if (readAnswer) return HasFinalResult(probe.Command(command, timeout));
    return probe.Write(command + "\r") && sim.WaitForCommand(modem, command, timeout);
}

bool TimersPassed(CAThreadPool* pool, unsigned delayMs, std::chrono::milliseconds timeout) {
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool ran = false;
        DelayedWork work;
    };
    // Shared with the run, which may outlive a wait that timed out.
    auto state = std::make_shared<State>();
    std::weak_ptr<State> weak = state;
    if (!state->work.Schedule(pool, delayMs, [weak](bool run) {
            auto s = weak.lock();
            if (!s || !run) return;
            {
                std::lock_guard<std::mutex> lock(s->mutex);
                s->ran = true;
            }
            s->cv.notify_all();
        }))
        return false;
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->cv.wait_for(lock, timeout, [&] { return state->ran; });
}

}  // namespace qvtest
