#include "io/AsyncPacket.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "io/ThreadPool.h"
#include "logging/ILogInterface.h"

void IOPacketNoop(ComPort*, IOComAsyncPacket*, int) {}

IOComAsyncPacket::IOComAsyncPacket(ILogInterface* log, CAThreadPool* pool)
    : OVERLAPPED{},
      m_pLog(log),
      m_bInitialised(0),
      m_nKind(PACKET_KIND_NONE),
      m_nError(0),
      m_bNotifyOnSuccess(1),
      m_bNotifyOnError(1),
      m_pCompletionData(nullptr),
      m_pPreProcessorData(nullptr),
      m_IOCompleteCB(IOPacketNoop),
      m_PreProcessorCB(IOPacketNoop),
      m_nBufferSize(0),
      m_nDataLength(0),
      m_pBuffer(nullptr),
      m_dwEventMask(0),
      m_pPool(pool),
      m_lInUse(0),
      m_hTimer(nullptr),
      m_bTimerDone(1),
      m_TimerFn(),
      m_bTimerArmed(0) {
    Reset();
}

IOComAsyncPacket::~IOComAsyncPacket() {
    StopTimer();
    if (m_pGate == &m_OwnGate) m_OwnGate.CloseAndWait();
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
}

void IOComAsyncPacket::Reset() {
    m_bInitialised = 0;
    m_nKind = PACKET_KIND_NONE;
    ClearEventMask();
    m_nError = 0;
    m_IOCompleteCB = IOPacketNoop;
    m_PreProcessorCB = IOPacketNoop;
    m_pPreProcessorData = nullptr;
    m_bNotifyOnSuccess = 1;
    m_bNotifyOnError = 1;
    {
        qv::CriticalSectionLock lock(m_csTimer);
        m_pCompletionData = nullptr;
        m_TimerFn = nullptr;
        m_bTimerDone = 1;
        m_bTimerArmed = 0;
        m_hTimer = nullptr;
    }
    ResetOverlapped();
    qv::CriticalSectionLock lock(m_csData);
    m_nBufferSize = 0;
    m_nDataLength = 0;
    m_pBuffer = nullptr;
    m_strRecvHistory.clear();
    ++m_nHistoryVersion;
}

bool IOComAsyncPacket::Init(PacketKind kind, unsigned bufferSize) {
    if (m_bInitialised) return false;
    Reset();
    m_nBufferSize = bufferSize;
    m_nKind = kind;
    m_bInitialised = 1;
    Release();
    if (bufferSize > 0) {
        BYTE* buffer = new (std::nothrow) BYTE[bufferSize];
        if (buffer == nullptr) {
            m_nBufferSize = 0;
            m_bInitialised = 0;
            return false;
        }
        qv::CriticalSectionLock lock(m_csData);
        m_pBuffer = buffer;
        m_pBuffer[0] = 0;
    }
    return true;
}

void IOComAsyncPacket::Uninit() {
    StopTimer();
    {
        qv::CriticalSectionLock lock(m_csData);
        delete[] m_pBuffer;
        m_pBuffer = nullptr;
    }
    Reset();
}

void IOComAsyncPacket::ClearBuffer() {
    qv::CriticalSectionLock lock(m_csData);
    if (!m_bInitialised || m_pBuffer == nullptr) return;
    std::memset(m_pBuffer, 0, std::min(m_nDataLength + 1, m_nBufferSize));
    m_nDataLength = 0;
}

void IOComAsyncPacket::SetData(const void* data, unsigned length) {
    qv::CriticalSectionLock lock(m_csData);
    if (m_pBuffer == nullptr || length >= m_nBufferSize) return;
    std::memmove(m_pBuffer, data, length);
    m_pBuffer[length] = 0;
    m_nDataLength = length;
}

std::string IOComAsyncPacket::CopyData(size_t max) {
    qv::CriticalSectionLock lock(m_csData);
    if (m_pBuffer == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(m_pBuffer),
                       std::min<size_t>(m_nDataLength, max));
}

std::string IOComAsyncPacket::TakeData() {
    qv::CriticalSectionLock lock(m_csData);
    if (m_pBuffer == nullptr) return {};
    std::string data(reinterpret_cast<const char*>(m_pBuffer), m_nDataLength);
    std::memset(m_pBuffer, 0, std::min(m_nDataLength + 1, m_nBufferSize));
    m_nDataLength = 0;
    return data;
}

std::string IOComAsyncPacket::GetHistory() {
    qv::CriticalSectionLock lock(m_csData);
    return m_strRecvHistory;
}

void IOComAsyncPacket::ClearHistory() {
    qv::CriticalSectionLock lock(m_csData);
    m_strRecvHistory.clear();
    ++m_nHistoryVersion;
}

std::string IOComAsyncPacket::CopyHistory(unsigned* version) {
    qv::CriticalSectionLock lock(m_csData);
    if (version) *version = m_nHistoryVersion;
    return m_strRecvHistory;
}

bool IOComAsyncPacket::CommitHistory(std::string history, unsigned version) {
    qv::CriticalSectionLock lock(m_csData);
    if (version != m_nHistoryVersion) return false;
    m_strRecvHistory = std::move(history);
    ++m_nHistoryVersion;
    return true;
}

void IOComAsyncPacket::ResetOverlapped() {
    Internal = 0;
    InternalHigh = 0;
    Offset = 0;
    OffsetHigh = 0;
    hEvent = nullptr;
}

bool IOComAsyncPacket::TryAcquire() {
    LONG expected = 0;
    return m_lInUse.compare_exchange_strong(expected, 1);
}

void IOComAsyncPacket::Release() {
    m_lInUse.store(0);
}

bool IOComAsyncPacket::IsFree() {
    return m_lInUse.load() == 0;
}

int IOComAsyncPacket::GetInUse() {
    return static_cast<int>(m_lInUse.load());
}

bool IOComAsyncPacket::CancelTimer() {
    if (m_bInitialised) StopTimer();
    return true;
}

void IOComAsyncPacket::StopTimer() {
    HANDLE timer = nullptr;
    {
        qv::CriticalSectionLock lock(m_csTimer);
        if (m_hTimer == nullptr) return;
        m_bTimerDone = 1;
        ++m_nTimerGeneration;
        if (m_bTimerArmed) {
            m_bTimerArmed = 0;
            timer = m_hTimer;
        }
        // A time-out already posted finds nothing to call.
        m_hTimer = nullptr;
        m_TimerFn = nullptr;
    }
    // Waits for a running TimerProc, which takes the lock: outside it.
    if (timer != nullptr) DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
}

bool IOComAsyncPacket::ArmTimer(IOPacketCallback callback, unsigned dueMs) {
    if (callback == nullptr) return ArmTimeout(dueMs, nullptr);
    return ArmTimeout(dueMs, [this, callback] { callback(nullptr, this, 1); });
}

bool IOComAsyncPacket::ArmTimeout(unsigned dueMs, std::function<void()> fn) {
    if (!m_bInitialised) return false;
    HANDLE old = nullptr;
    {
        qv::CriticalSectionLock lock(m_csTimer);
        m_bTimerDone = 1;
        if (m_bTimerArmed) {
            m_bTimerArmed = 0;
            old = m_hTimer;
        }
    }
    if (old != nullptr) DeleteTimerQueueTimer(nullptr, old, INVALID_HANDLE_VALUE);
    qv::CriticalSectionLock lock(m_csTimer);
    // A time-out of an earlier arming still queued on the pool must not
    // act for this one.
    ++m_nTimerGeneration;
    m_TimerFn = std::move(fn);
    m_bTimerDone = 0;
    m_hTimer = nullptr;
    HANDLE timer = nullptr;
    BOOL created = CreateTimerQueueTimer(&timer, nullptr, TimerProc, this, dueMs, 0, 0);
    m_hTimer = created ? timer : nullptr;
    m_bTimerArmed = created ? 1 : 0;
    return created != FALSE;
}

void CALLBACK IOComAsyncPacket::TimerProc(PVOID arg, BOOLEAN) {
    auto* packet = static_cast<IOComAsyncPacket*>(arg);
    if (packet == nullptr) return;
    Quiescence* gate = nullptr;
    {
        qv::CriticalSectionLock lock(packet->m_csTimer);
        if (packet->m_bTimerDone) return;
        packet->m_bTimerDone = 1;
        // A closing owner takes no more time-outs; one that entered keeps the
        // packet alive until its work item has run.
        if (!packet->m_pGate->TryEnter()) return;
        gate = packet->m_pGate;
        packet->m_nPostedGeneration = packet->m_nTimerGeneration;
    }
    int result = packet->m_pPool ? packet->m_pPool->QueueWorkItem(packet, OnTimerTrigger)
                                 : ERROR_GEN_FAILURE;
    if (result != 0) {
        if (packet->m_pLog)
            packet->m_pLog->LogError(
                "IOComAsyncPacket::TimerProc - failed to queue timer trigger.");
        gate->Leave();
    }
}

int IOComAsyncPacket::OnTimerTrigger(void* arg, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    auto* packet = static_cast<IOComAsyncPacket*>(arg);
    if (packet == nullptr) return 0;
    HANDLE timer = nullptr;
    std::function<void()> fn;
    bool remove = false;
    // The gate entered by TimerProc: left last, after which the packet may
    // be freed at any moment.
    Quiescence* gate = nullptr;
    {
        qv::CriticalSectionLock lock(packet->m_csTimer);
        gate = packet->m_pGate;
        if (packet->m_nPostedGeneration == packet->m_nTimerGeneration) {
            timer = packet->m_hTimer;
            fn = std::move(packet->m_TimerFn);
            packet->m_TimerFn = nullptr;
            if (packet->m_bTimerArmed) {
                packet->m_bTimerDone = 1;
                packet->m_hTimer = nullptr;
                packet->m_bTimerArmed = 0;
                remove = true;
            }
        }
    }
    if (remove && timer != nullptr) DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
    if (fn) fn();
    gate->Leave();
    return 0;
}

void IOComAsyncPacket::SetCompletionData(void* data) {
    qv::CriticalSectionLock lock(m_csTimer);
    m_pCompletionData = data;
}

void* IOComAsyncPacket::GetCompletionData() {
    qv::CriticalSectionLock lock(m_csTimer);
    return m_pCompletionData;
}

void* IOComAsyncPacket::TakeCompletionData() {
    qv::CriticalSectionLock lock(m_csTimer);
    void* data = m_pCompletionData;
    m_pCompletionData = nullptr;
    return data;
}

void IOComAsyncPacket::AppendData(const BYTE* data, unsigned length) {
    qv::CriticalSectionLock lock(m_csData);
    if (m_pBuffer == nullptr || m_nBufferSize == 0 || data == nullptr || length == 0) return;
    const unsigned capacity = m_nBufferSize - 1;  // one byte stays NUL
    if (length >= capacity) {
        std::memcpy(m_pBuffer, data + (length - capacity), capacity);
        m_nDataLength = capacity;
    } else {
        if (m_nDataLength > capacity) m_nDataLength = capacity;
        if (m_nDataLength + length > capacity) {
            // Keep the newest bytes: drop the oldest ones.
            const unsigned drop = m_nDataLength + length - capacity;
            std::memmove(m_pBuffer, m_pBuffer + drop, m_nDataLength - drop);
            m_nDataLength -= drop;
        }
        std::memcpy(m_pBuffer + m_nDataLength, data, length);
        m_nDataLength += length;
    }
    m_pBuffer[m_nDataLength] = 0;
}

void IOComAsyncPacket::AppendHistory(const BYTE* data, unsigned length) {
    if (data == nullptr || length == 0) return;
    qv::CriticalSectionLock lock(m_csData);
    ++m_nHistoryVersion;
    m_strRecvHistory.append(reinterpret_cast<const char*>(data), length);
    // The history drops its first 500 characters whenever it reaches 1000,
    // but never into the bytes just read: a burst of indications longer than
    // the history (a hundred messages arriving at once) is all seen by the
    // pre-processor that runs on this read.
    while (m_strRecvHistory.size() >= kHistoryLimit &&
           m_strRecvHistory.size() - kHistoryDrop >= length)
        m_strRecvHistory.erase(0, kHistoryDrop);
}
