// Overlapped I/O of a serial device on top of a non-blocking descriptor.
#include "platform/posix/device.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/reactor.h"

namespace qvplat {
namespace {

// How often a hung-up device lets a wait complete into a read that fails.
constexpr auto kHangupBackoff = std::chrono::milliseconds(100);

void CloseFd(int fd) {
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);  // or the terminal stays exclusive while a pty holder lives
    close(fd);
}

}  // namespace

Device::Device(int fd) : Watched(Kind::kDevice), m_fd(fd) {}

Device::~Device() {
    CloseFd(m_fd);
}

bool Device::Start() {
    qv::MutexLock lock(m_mu);
    m_set = &Reactor::Get().Set();
    m_id = m_set->Add(this, m_fd);
    if (m_id == 0) return false;
    Rearm();
    return true;
}

BOOL Device::Associate(const Ref<Port>& port, ULONG_PTR key) {
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    if (m_port) return Fail(ERROR_INVALID_PARAMETER);
    m_port = port;
    m_key = key;
    // The port's idle worker watches the descriptor from now on. The port
    // outlives our membership: we hold it until Close leaves its set.
    if (ReadySet* set = port->Readiness()) {
        if (uint64_t id = set->Add(this, m_fd)) {
            m_set->Remove(m_id, m_fd);
            m_set = set;
            m_id = id;
            m_armed = 0;
            Rearm();
        }
    }
    return TRUE;
}

BOOL Device::SetTimeouts(const COMMTIMEOUTS& t) {
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    m_immediateReads = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                       t.ReadTotalTimeoutConstant == 0;
    return TRUE;
}

void Device::Complete(LPOVERLAPPED ov, DWORD error, DWORD bytes) {
    CompleteIo(m_port.get(), m_key, ov, error, bytes);
}

void Device::CompleteAtOnce(LPOVERLAPPED ov, DWORD bytes) {
    CompleteIo(m_skipOnSuccess ? nullptr : m_port.get(), m_key, ov, ERROR_SUCCESS, bytes);
}

BOOL Device::SetSkipOnSuccess(bool skip) {
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    m_skipOnSuccess = skip;
    return TRUE;
}

BOOL Device::Started(LPOVERLAPPED ov) {
    ov->Internal = ERROR_IO_PENDING;
    ov->InternalHigh = 0;
    return TRUE;
}

// --- Comm events -------------------------------------------------------------

BOOL Device::SetMask(DWORD mask) {
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    m_mask = mask;
    // Events recorded so far are forgotten; what is buffered is old news.
    m_rxEvent = false;
    m_seenIn = QueuedIn();
    if (m_waitOv) CompleteWait(0);
    return TRUE;
}

BOOL Device::WaitEvent(LPDWORD mask, LPOVERLAPPED ov) {
    if (!mask || !ov) return Fail(ERROR_INVALID_PARAMETER);
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    if (m_waitOv) return Fail(ERROR_INVALID_PARAMETER);
    Started(ov);
    m_waitOv = ov;
    m_waitMask = mask;
    TryCompleteWait();
    EvaluateWait();
    Rearm();
    return Fail(ERROR_IO_PENDING);
}

BOOL Device::Status(LPDWORD errors, LPCOMSTAT stat) {
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    if (errors) *errors = 0;
    if (stat) {
        *stat = COMSTAT{};
        stat->cbInQue = QueuedIn();
        // What the write operations still have to write, as Windows counts
        // it: a write completes once the terminal has taken all its bytes.
        if (m_writeOv) stat->cbOutQue = m_writeLen - m_written;
    }
    return TRUE;
}

void Device::CompleteWait(DWORD events) {
    LPOVERLAPPED ov = m_waitOv;
    *m_waitMask = events;
    m_waitOv = nullptr;
    m_waitMask = nullptr;
    m_waitDeferred = false;
    ++m_waitToken;
    Complete(ov, ERROR_SUCCESS, 0);
}

DWORD Device::QueuedIn() {
    int n = 0;
    if (m_fd < 0 || ioctl(m_fd, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<DWORD>(n);
}

void Device::NoteArrival() {
    if (m_seenIn != 0) return;  // a wait counts the queue to tell
    // Every byte had been seen, so the report is an arrival.
    if (m_mask & EV_RXCHAR) m_rxEvent = true;
    m_seenIn = kSeenUnknown;
}

void Device::ObserveInput() {
    DWORD now = QueuedIn();
    if (now > m_seenIn && (m_mask & EV_RXCHAR)) m_rxEvent = true;
    m_seenIn = now;
}

void Device::TryCompleteWait() {
    if (!m_waitOv || m_waitDeferred || m_hungUp) return;
    // With every byte seen, readiness alone tells of an arrival (NoteArrival)
    // and its absence of none: no need to ask the queue.
    if (m_seenIn != 0 && !m_rxEvent) ObserveInput();
    if (!m_rxEvent || !(m_mask & EV_RXCHAR)) return;
    m_rxEvent = false;
    CompleteWait(EV_RXCHAR);
}

// Readiness of a live device comes from the reactor (see Rearm); a hung-up
// one is always "ready", so its wait is completed from a back-off deadline.
void Device::EvaluateWait() {
    if (!m_waitOv || m_waitDeferred || !(m_mask & EV_RXCHAR) || !m_hungUp) return;
    if (!m_readSinceHangupWait) return;  // stays pending until something reads
    m_readSinceHangupWait = false;
    m_waitDeferred = true;
    Reactor::Get().After(this, std::max(Clock::now(), m_hangupNotBefore), m_waitToken);
}

void Device::OnDeadline(uint64_t token) {
    qv::MutexLock lock(m_mu);
    if (m_closed || !m_waitOv || token != m_waitToken) return;
    if (m_waitDeferred) CompleteWait(EV_RXCHAR);
}

// --- Reads -------------------------------------------------------------------

long long Device::ReadNow(void* buffer, DWORD length) {
    for (;;) {
        ssize_t n = read(m_fd, buffer, length);
        if (n > 0) return n;
        // With VMIN 1 a terminal returns 0 only at end of file: a hang-up.
        if (n == 0) return -static_cast<long long>(ErrorFromErrno(EPIPE));
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        return -static_cast<long long>(ErrorFromErrno(errno));
    }
}

long long Device::ReadObserving(void* buffer, DWORD length) {
    if (length == 0) {
        ObserveInput();
        return 0;
    }
    long long r = ReadNow(buffer, length);
    if (r < 0) {
        ObserveInput();
        return r;
    }
    // A read short of its length emptied the queue: the queue held what it
    // returned, and only a full read needs to ask what is left.
    const DWORD left = static_cast<DWORD>(r) == length ? QueuedIn() : 0;
    if (static_cast<DWORD>(r) + left > m_seenIn && (m_mask & EV_RXCHAR)) m_rxEvent = true;
    m_seenIn = left;
    return r;
}

void Device::AfterRead(bool failed) {
    m_readSinceHangupWait = true;
    if (failed) {
        m_hangupNotBefore = Clock::now() + kHangupBackoff;
    } else {
        m_hungUp = false;
    }
    EvaluateWait();
}

BOOL Device::Read(LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov) {
    if (!ov || (!buffer && length)) return Fail(ERROR_INVALID_PARAMETER);
    if (read) *read = 0;
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    if (m_readOv) return Fail(ERROR_BUSY);
    Started(ov);
    long long r = ReadObserving(buffer, length);
    if (r < 0) {
        Complete(ov, static_cast<DWORD>(-r), 0);
        AfterRead(true);
        Rearm();
        return Fail(ERROR_IO_PENDING);
    }
    if (r > 0 || m_immediateReads || length == 0) {
        CompleteAtOnce(ov, static_cast<DWORD>(r));
        AfterRead(false);
        Rearm();
        if (read) *read = static_cast<DWORD>(r);
        return TRUE;
    }
    m_readOv = ov;  // other time-out modes: wait for at least one byte
    m_readBuf = buffer;
    m_readLen = length;
    Rearm();
    return Fail(ERROR_IO_PENDING);
}

// --- Writes ------------------------------------------------------------------

bool Device::ContinueWrite(bool atOnce) {
    while (m_written < m_writeLen) {
        ssize_t n = write(m_fd, m_writeBuf + m_written, m_writeLen - m_written);
        if (n > 0) {
            m_written += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno == EAGAIN) return true;  // the reactor says when there is room
        m_writeError = ErrorFromErrno(errno);
        break;
    }
    LPOVERLAPPED ov = m_writeOv;
    m_writeOv = nullptr;
    if (atOnce && m_writeError == ERROR_SUCCESS) {
        CompleteAtOnce(ov, m_written);
    } else {
        Complete(ov, m_writeError, m_written);
    }
    return false;
}

BOOL Device::Write(LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov) {
    if (!ov || (!buffer && length)) return Fail(ERROR_INVALID_PARAMETER);
    if (written) *written = 0;
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    if (m_writeOv) return Fail(ERROR_BUSY);
    Started(ov);
    m_writeOv = ov;
    m_writeBuf = static_cast<const char*>(buffer);
    m_writeLen = length;
    m_written = 0;
    m_writeError = ERROR_SUCCESS;
    if (!ContinueWrite(true)) {
        if (m_writeError != ERROR_SUCCESS) return Fail(ERROR_IO_PENDING);
        if (written) *written = length;
        return TRUE;
    }
    Rearm();
    return Fail(ERROR_IO_PENDING);
}

// --- Purge, close, readiness ---------------------------------------------------

BOOL Device::Purge(DWORD flags) {
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    if ((flags & PURGE_TXABORT) && m_writeOv) {
        LPOVERLAPPED ov = m_writeOv;
        m_writeOv = nullptr;
        Complete(ov, ERROR_OPERATION_ABORTED, m_written);
    }
    if ((flags & PURGE_RXABORT) && m_readOv) {
        LPOVERLAPPED ov = m_readOv;
        m_readOv = nullptr;
        Complete(ov, ERROR_OPERATION_ABORTED, 0);
    }
    int queues = -1;
    if ((flags & PURGE_TXCLEAR) && (flags & PURGE_RXCLEAR)) {
        queues = TCIOFLUSH;
    } else if (flags & PURGE_TXCLEAR) {
        queues = TCOFLUSH;
    } else if (flags & PURGE_RXCLEAR) {
        queues = TCIFLUSH;
    }
    if (queues >= 0 && tcflush(m_fd, queues) != 0) return Fail(ErrorFromErrno(errno));
    if (flags & PURGE_RXCLEAR) m_seenIn = QueuedIn();
    return TRUE;
}

void Device::Close() {
    qv::MutexLock lock(m_mu);
    if (m_waitOv) {
        LPOVERLAPPED ov = m_waitOv;
        m_waitOv = nullptr;
        ++m_waitToken;
        Complete(ov, ERROR_OPERATION_ABORTED, 0);
    }
    if (m_readOv) {
        LPOVERLAPPED ov = m_readOv;
        m_readOv = nullptr;
        Complete(ov, ERROR_OPERATION_ABORTED, 0);
    }
    if (m_writeOv) {
        LPOVERLAPPED ov = m_writeOv;
        m_writeOv = nullptr;
        Complete(ov, ERROR_OPERATION_ABORTED, m_written);
    }
    m_closed = true;
    m_set->Remove(m_id, m_fd);
    CloseFd(m_fd);
    m_fd = -1;
    m_port = Ref<Port>();
}

void Device::Rearm() {
    if (m_closed) return;
    // Input is always watched, edge-triggered: each arrival is reported
    // once, whoever waits for it, and nothing is re-armed per operation.
    // Room to write only while a write waits for it: the reader draining
    // our output would report it after every command.
    const uint32_t want = EPOLLIN | (m_writeOv ? uint32_t{EPOLLOUT} : 0u);
    if (want == m_armed) return;
    if (m_set->Arm(m_id, m_fd, want, true)) m_armed = want;
}

void Device::OnReady(uint32_t events) {
    qv::MutexLock lock(m_mu);
    if (m_closed) return;
    bool in = events & EPOLLIN;
    bool hangup = events & (EPOLLHUP | EPOLLERR);
    // A hung-up terminal also reports EPOLLIN; its waits go through the
    // back-off, which still lets reads drain what is buffered.
    if (hangup) {
        m_hungUp = true;
    } else if (in) {
        NoteArrival();
        TryCompleteWait();
    }
    EvaluateWait();
    if (m_readOv && (in || hangup)) {
        long long r = ReadObserving(m_readBuf, m_readLen);
        if (r != 0) {
            LPOVERLAPPED ov = m_readOv;
            m_readOv = nullptr;
            Complete(ov, r < 0 ? static_cast<DWORD>(-r) : ERROR_SUCCESS,
                     r > 0 ? static_cast<DWORD>(r) : 0);
            AfterRead(r < 0);
        }
    }
    if (m_writeOv && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR))) ContinueWrite();
    Rearm();
}

}  // namespace qvplat
