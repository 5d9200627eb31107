// The completion port: a queue of packets that worker threads take in order.
#pragma once

#include <condition_variable>
#include <deque>

#include "platform/posix/handle.h"
#include "platform/thread_annotations.h"

namespace qvplat {

class Port : public Object {
  public:
    static bool Accepts(Kind k) { return k == Kind::kPort; }
    Port() : Object(Kind::kPort) {}

    // Queues one packet; false when the port is closed. error 0 is success.
    bool Post(DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped, DWORD error) QV_EXCLUDES(m_mu);
    // Takes the oldest packet, waiting up to timeoutMs of platform time.
    BOOL Get(LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped, DWORD timeoutMs)
        QV_EXCLUDES(m_mu);
    // Wakes every waiter, which then fails with ERROR_INVALID_HANDLE.
    void Close() override QV_EXCLUDES(m_mu);

  private:
    struct Packet {
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED overlapped;
        DWORD error;
    };
    qv::Mutex m_mu;
    std::condition_variable m_cv;
    std::deque<Packet> m_queue QV_GUARDED_BY(m_mu);
    bool m_closed QV_GUARDED_BY(m_mu) = false;
};

// Ends one overlapped operation: records the outcome in the OVERLAPPED
// (Internal = error, InternalHigh = bytes) and queues it to port, or, for a
// handle without a port, signals the OVERLAPPED's event.
void CompleteIo(Port* port, ULONG_PTR key, LPOVERLAPPED overlapped, DWORD error, DWORD bytes);

}  // namespace qvplat
