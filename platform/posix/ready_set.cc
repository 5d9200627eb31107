// Readiness dispatch over epoll.
#include "platform/posix/ready_set.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qvplat {

ReadySet::ReadySet() {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!Valid()) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;  // member ids start at 1
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &ev) != 0) {
        close(m_wakeFd);
        m_wakeFd = -1;
    }
}

ReadySet::~ReadySet() {
    if (m_wakeFd >= 0) close(m_wakeFd);
    if (m_epoll >= 0) close(m_epoll);
}

uint64_t ReadySet::Add(Watched* w, int fd) {
    uint64_t id;
    {
        qv::MutexLock lock(m_mu);
        id = m_nextId++;
        w->AddRef();
        m_members.emplace(id, w);
    }
    epoll_event ev{};
    ev.events = EPOLLONESHOT;  // disarmed until someone asks
    ev.data.u64 = id;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
        int err = errno;
        Remove(id, -1);
        errno = err;
        return 0;
    }
    return id;
}

bool ReadySet::Arm(uint64_t id, int fd, uint32_t events, bool edge) {
    epoll_event ev{};
    ev.events = events | (edge ? EPOLLET : EPOLLONESHOT);
    ev.data.u64 = id;
    return epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void ReadySet::Remove(uint64_t id, int fd) {
    if (fd >= 0) epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    Watched* w = nullptr;
    {
        qv::MutexLock lock(m_mu);
        auto it = m_members.find(id);
        if (it == m_members.end()) return;
        w = it->second;
        m_members.erase(it);
    }
    w->Release();
}

void ReadySet::Wake() {
    uint64_t one = 1;
    while (write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

Ref<Watched> ReadySet::Find(uint64_t id) {
    qv::MutexLock lock(m_mu);
    auto it = m_members.find(id);
    if (it == m_members.end()) return {};
    it->second->AddRef();
    return Ref<Watched>(it->second);
}

int ReadySet::Dispatch(int timeoutMs) {
    constexpr int kBatch = 64;
    epoll_event events[kBatch];
    int n = epoll_wait(m_epoll, events, kBatch, timeoutMs);
    if (n < 0) {
        if (errno == EINTR) return 0;
        std::perror("qv_platform: epoll_wait");
        std::abort();
    }
    int reported = 0;
    for (int i = 0; i < n; ++i) {
        uint64_t id = events[i].data.u64;
        if (id == 0) {
            uint64_t count;
            while (read(m_wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
            }
            continue;
        }
        if (Ref<Watched> w = Find(id)) {
            w->OnReady(events[i].events);
            ++reported;
        }
    }
    return reported;
}

}  // namespace qvplat
