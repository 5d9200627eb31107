// The Win32 calls the driver is written against, and nothing more.
//
// On Windows this header is <windows.h>. Elsewhere platform/posix/ implements
// each call below with the semantics stated next to it; those statements are
// the contract the code above relies on, not a description of full Win32.
// Nothing outside platform/ includes termios, epoll or pthread headers.
#pragma once

#if defined(_WIN32)
// std::min and std::max stay usable beside <windows.h>.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else

#include <atomic>
#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int BOOL;
typedef unsigned char BOOLEAN;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef uint16_t WORD;
typedef char CHAR;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef int (*FARPROC)();

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu

// Error numbers (GetLastError). errno is translated to these in one place.
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_EOF 38
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_SEM_TIMEOUT 121
#define ERROR_BUSY 170
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_PENDING 997
#define ERROR_POSSIBLE_DEADLOCK 1131
#define ERROR_CANCELLED 1223

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define EV_RXCHAR 0x0001u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define NOPARITY 0
#define ONESTOPBIT 0
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2

typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _SYSTEM_INFO {
    DWORD dwNumberOfProcessors;
} SYSTEM_INFO, *LPSYSTEM_INFO;

// Opaque storage for a non-recursive mutex.
typedef struct _CRITICAL_SECTION {
    alignas(16) unsigned char opaque[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);
typedef void(CALLBACK* WAITORTIMERCALLBACK)(PVOID, BOOLEAN);

// --- Last error: per thread. ------------------------------------------------
DWORD GetLastError();
void SetLastError(DWORD error);

// --- Completion port --------------------------------------------------------
// CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 0) creates a port.
// CreateIoCompletionPort(h, port, key, 0) associates the serial handle h with
// port: every overlapped operation later started on h completes exactly once
// by a packet (key, OVERLAPPED*, bytes, error) queued to that port, immediate
// successes and failures included. Returns port, or NULL with the last error.
HANDLE CreateIoCompletionPort(HANDLE fileHandle, HANDLE existingPort, ULONG_PTR key,
                              DWORD concurrency);
// Started operations (TRUE, or FALSE with ERROR_IO_PENDING) report I/O errors
// through their packet; a call refused outright (bad handle or argument, an
// operation of that kind already pending) returns FALSE with that error and
// queues nothing. On completion OVERLAPPED.Internal holds the Win32 error
// (ERROR_IO_PENDING while running) and InternalHigh the byte count.
// Blocks up to timeoutMs (INFINITE) for a packet. TRUE for a posted packet or
// a successful operation; FALSE with *overlapped set and the operation's error
// in the last error for a failed one; FALSE with *overlapped NULL and
// WAIT_TIMEOUT on time-out.
BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped,
                               DWORD timeoutMs);
// Queues (bytes, key, overlapped) to one waiting worker, first in first out.
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped);
// With FILE_SKIP_COMPLETION_PORT_ON_SUCCESS an operation on h that succeeds
// at once (returns TRUE) queues no packet: the caller handles its result,
// found in OVERLAPPED.InternalHigh. Failures and pending operations still
// complete through the port.
#define FILE_SKIP_COMPLETION_PORT_ON_SUCCESS 0x1
BOOL SetFileCompletionNotificationModes(HANDLE h, UCHAR flags);

// --- Serial devices ----------------------------------------------------------
// "\\\\.\\COMn" opens the file comN in the folder named by QVGSM_COMDIR when
// that variable is set (usually a link to a device or pseudo-terminal), else
// /dev/ttyS<n-1>. The device is exclusive (a second open fails with
// ERROR_ACCESS_DENIED) and non-blocking; all I/O on it is overlapped.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
// Speed, 8N1, RTS/CTS when fOutxCtsFlow, DTR and RTS raised. Raw mode.
BOOL SetCommState(HANDLE h, LPDCB dcb);
// ReadIntervalTimeout MAXDWORD with zero totals: a read returns at once with
// what is buffered (possibly nothing). Any other setting: a read completes as
// soon as at least one byte is there (time-outs are not applied).
BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts);
// Setting any mask while a WaitCommEvent is pending completes that wait with
// mask word 0. It also forgets the events recorded so far: input already
// buffered when the mask is set raises no EV_RXCHAR.
BOOL SetCommMask(HANDLE h, DWORD mask);
// Returns FALSE with ERROR_IO_PENDING; completes through the port with
// *mask = EV_RXCHAR when characters arrive (or the peer hung up). An event is
// an arrival, not a level: characters that arrived after the mask was set and
// before the wait started complete it at once; characters that were already
// buffered when the mask was set do not (ClearCommError shows them). After a
// hang-up a wait completes at most once per read in between, and no sooner
// than 100 ms (real time) after the last failed read, so a caller that keeps
// listening does not spin.
BOOL WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED overlapped);
// *errors = 0; stat (if given) gets the bytes waiting in the input queue
// (cbInQue) and in the output queue (cbOutQue).
BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
// Overlapped read and write: return TRUE or FALSE with ERROR_IO_PENDING when
// started; either way the completion reaches the port. A write completes when
// every byte was written. A hang-up of the peer fails the read (ERROR_BROKEN_PIPE).
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped);
// PURGE_TXABORT completes a pending write, PURGE_RXABORT a pending read,
// with ERROR_OPERATION_ABORTED; the CLEAR flags flush the device's queues. A
// pending WaitCommEvent is not touched (SetCommMask or CloseHandle ends it).
BOOL PurgeComm(HANDLE h, DWORD flags);
// Closes devices, ports, events and threads. A device's pending operations
// complete with ERROR_OPERATION_ABORTED; waiters on a closed port fail with
// ERROR_INVALID_HANDLE; a running thread is detached. A timer-queue timer is
// refused (ERROR_INVALID_HANDLE): DeleteTimerQueueTimer ends it. Any call
// with a handle already closed fails with ERROR_INVALID_HANDLE.
BOOL CloseHandle(HANDLE h);

// --- Threads, events, waits -------------------------------------------------
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                    LPVOID arg, DWORD flags, LPDWORD threadId);
DWORD GetCurrentThreadId();
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Waits on an event or a thread (signalled when it has ended). The wait is
// measured on the platform clock (see platform/clock.h).
DWORD WaitForSingleObject(HANDLE h, DWORD timeoutMs);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs);
// Sleeps for ms of platform-clock time.
void Sleep(DWORD ms);
void GetSystemInfo(LPSYSTEM_INFO info);
// Without a way to probe code pages: FALSE for a non-null pointer.
BOOL IsBadCodePtr(FARPROC p);

// --- Critical sections ------------------------------------------------------
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);

// --- Interlocked: sequentially consistent; return the previous value
// (CompareExchange, Exchange) or the new one (Increment, Decrement).
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
    std::atomic_ref<LONG>(const_cast<LONG&>(*target)).compare_exchange_strong(comparand, exchange);
    return comparand;
}
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
    return std::atomic_ref<LONG>(const_cast<LONG&>(*target)).exchange(value);
}
inline LONG InterlockedIncrement(volatile LONG* target) {
    return std::atomic_ref<LONG>(const_cast<LONG&>(*target)).fetch_add(1) + 1;
}
inline LONG InterlockedDecrement(volatile LONG* target) {
    return std::atomic_ref<LONG>(const_cast<LONG&>(*target)).fetch_sub(1) - 1;
}

// --- Timer queue ------------------------------------------------------------
// One-shot (period 0) timer on the default queue (queue NULL). The callback
// runs on the timer thread dueMs of platform-clock time after creation.
// Timers with equal deadlines fire in creation order.
BOOL CreateTimerQueueTimer(PHANDLE timer, HANDLE queue, WAITORTIMERCALLBACK callback, PVOID arg,
                           DWORD dueMs, DWORD periodMs, ULONG flags);
// Cancels the timer. With completionEvent INVALID_HANDLE_VALUE waits until a
// running callback of this timer has returned; called so from that very
// callback (which Windows never returns from) it fails with
// ERROR_POSSIBLE_DEADLOCK and leaves the timer alone. With an event handle, that event is set once
// no callback runs; with NULL and a callback running: FALSE, ERROR_IO_PENDING. The handle is freed
// either way.
BOOL DeleteTimerQueueTimer(HANDLE queue, HANDLE timer, HANDLE completionEvent);

#endif  // !_WIN32
