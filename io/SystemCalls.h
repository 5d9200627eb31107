// Forwarding layer over the operating-system calls of the serial port.
//
// Each operation calls exactly one system function with the same arguments
// and result. The port calls through GetSystemCalls() so tests can put in an
// object that fails chosen calls. Stateless; safe from any thread.
#pragma once

#include "platform/win32.h"

class SystemCalls {
  public:
    virtual ~SystemCalls() = default;

    virtual HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE templateFile);
    virtual BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
    virtual BOOL SetCommState(HANDLE h, LPDCB dcb);
    virtual BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts);
    virtual BOOL SetCommMask(HANDLE h, DWORD mask);
    virtual BOOL WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED overlapped);
    virtual BOOL PurgeComm(HANDLE h, DWORD flags);
    virtual BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
    virtual BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read,
                          LPOVERLAPPED overlapped);
    virtual BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written,
                           LPOVERLAPPED overlapped);
    virtual BOOL CloseHandle(HANDLE h);
    virtual BOOL SetFileCompletionNotificationModes(HANDLE h, UCHAR flags);
};

// The object in use: the process-wide forwarding instance unless a test has
// set another.
SystemCalls* GetSystemCalls();
// Puts calls in use (null: the process-wide instance again). For tests; set
// it while no port is doing I/O.
void SetSystemCalls(SystemCalls* calls);
