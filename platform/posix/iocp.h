// The completion port: a queue of packets that worker threads take in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/posix/handle.h"

namespace qvplat {

class Port : public Object {
  public:
    static bool Accepts(Kind k) { return k == Kind::kPort; }
    Port() : Object(Kind::kPort) {}

    // Queues one packet; false when the port is closed. error 0 is success.
    bool Post(DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped, DWORD error);
    // Takes the oldest packet, waiting up to timeoutMs of platform time.
    BOOL Get(LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped, DWORD timeoutMs);
    // Wakes every waiter, which then fails with ERROR_INVALID_HANDLE.
    void Close() override;

  private:
    struct Packet {
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED overlapped;
        DWORD error;
    };
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::deque<Packet> m_queue;
    bool m_closed = false;
};

// Ends one overlapped operation: records the outcome in the OVERLAPPED
// (Internal = error, InternalHigh = bytes) and queues it to port, or, for a
// handle without a port, signals the OVERLAPPED's event.
void CompleteIo(Port* port, ULONG_PTR key, LPOVERLAPPED overlapped, DWORD error, DWORD bytes);

}  // namespace qvplat
