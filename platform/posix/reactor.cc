// One epoll loop for all serial devices, with a short list of real-time
// deadlines (the hang-up back-off of devices).
#include "platform/posix/reactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
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
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll < 0 || m_wakeFd < 0) {
        std::perror("qv_platform: reactor");
        std::abort();
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;  // device ids start at 1
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &ev);
    std::thread([this] { Run(); }).detach();
}

uint64_t Reactor::Add(Device* d, int fd) {
    uint64_t id;
    {
        qv::MutexLock lock(m_mu);
        id = m_nextId++;
        d->AddRef();
        m_devices.emplace(id, d);
    }
    epoll_event ev{};
    ev.events = EPOLLONESHOT;  // disarmed until an operation asks
    ev.data.u64 = id;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
        int err = errno;
        Remove(id, -1);
        errno = err;
        return 0;
    }
    return id;
}

bool Reactor::Arm(uint64_t id, int fd, uint32_t events) {
    epoll_event ev{};
    ev.events = events | EPOLLONESHOT;
    ev.data.u64 = id;
    return epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void Reactor::Remove(uint64_t id, int fd) {
    if (fd >= 0) epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    Device* d = nullptr;
    {
        qv::MutexLock lock(m_mu);
        auto it = m_devices.find(id);
        if (it == m_devices.end()) return;
        d = it->second;
        m_devices.erase(it);
    }
    d->Release();
}

void Reactor::After(uint64_t id, Clock::time_point when, uint64_t token) {
    bool earliest;
    {
        qv::MutexLock lock(m_mu);
        auto it = m_deadlines.emplace(when, std::make_pair(id, token));
        earliest = it == m_deadlines.begin();
    }
    if (earliest) Wake();
}

void Reactor::Wake() {
    uint64_t one = 1;
    while (write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

Ref<Device> Reactor::Find(uint64_t id) {
    qv::MutexLock lock(m_mu);
    auto it = m_devices.find(id);
    if (it == m_devices.end()) return {};
    it->second->AddRef();
    return Ref<Device>(it->second);
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
    std::vector<std::pair<uint64_t, uint64_t>> due;
    {
        qv::MutexLock lock(m_mu);
        auto now = Clock::now();
        while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
            due.push_back(m_deadlines.begin()->second);
            m_deadlines.erase(m_deadlines.begin());
        }
    }
    for (auto [id, token] : due) {
        if (Ref<Device> d = Find(id)) d->OnDeadline(token);
    }
}

void Reactor::Run() {
    constexpr int kBatch = 128;
    epoll_event events[kBatch];
    for (;;) {
        int n = epoll_wait(m_epoll, events, kBatch, NextTimeoutMs());
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("qv_platform: epoll_wait");
            std::abort();
        }
        for (int i = 0; i < n; ++i) {
            uint64_t id = events[i].data.u64;
            if (id == 0) {
                uint64_t count;
                while (read(m_wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
                }
                continue;
            }
            if (Ref<Device> d = Find(id)) d->OnReady(events[i].events);
        }
        FireDeadlines();
    }
}

}  // namespace qvplat
