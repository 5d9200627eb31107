// One epoll loop for the devices and ports no worker watches, with a short
// list of real-time deadlines (the back-offs and arrival polls of devices).
#include "platform/posix/reactor.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/posix/device.h"

namespace qvplat {

void RaiseFdLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        rlimit lim{};
        if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
            lim.rlim_cur = lim.rlim_max;
            setrlimit(RLIMIT_NOFILE, &lim);
        }
    });
}

Reactor& Reactor::Get() {
    // Never destroyed: its thread runs until the process ends.
    static Reactor* r = new Reactor();
    return *r;
}

Reactor::Reactor() {
    RaiseFdLimit();
    if (!m_set.Valid()) {
        std::perror("qv_platform: reactor");
        std::abort();
    }
    std::thread([this] { Run(); }).detach();
}

void Reactor::After(Watched* w, Clock::time_point when, uint64_t token) {
    bool earliest;
    {
        qv::MutexLock lock(m_mu);
        w->AddRef();
        auto it = m_deadlines.emplace(when, std::make_pair(Ref<Watched>(w), token));
        earliest = it == m_deadlines.begin();
    }
    if (earliest) m_set.Wake();
}

int Reactor::NextTimeoutMs() {
    qv::MutexLock lock(m_mu);
    if (m_deadlines.empty()) return -1;
    auto left = m_deadlines.begin()->first - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up so the loop does not wake just before the deadline.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void Reactor::FireDeadlines() {
    std::vector<std::pair<Ref<Watched>, uint64_t>> due;
    {
        qv::MutexLock lock(m_mu);
        auto now = Clock::now();
        while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
            due.push_back(std::move(m_deadlines.begin()->second));
            m_deadlines.erase(m_deadlines.begin());
        }
    }
    for (auto& [w, token] : due) w->OnDeadline(token);
}

void Reactor::Run() {
    for (;;) {
        m_set.Dispatch(NextTimeoutMs());
        FireDeadlines();
    }
}

}  // namespace qvplat
