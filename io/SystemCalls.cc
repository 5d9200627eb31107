#include "io/SystemCalls.h"

#include <atomic>

HANDLE SystemCalls::CreateFileA(LPCSTR name, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE templateFile) {
    return ::CreateFileA(name, access, share, security, disposition, flags, templateFile);
}

BOOL SystemCalls::SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
    return ::SetupComm(h, inQueue, outQueue);
}

BOOL SystemCalls::SetCommState(HANDLE h, LPDCB dcb) {
    return ::SetCommState(h, dcb);
}

BOOL SystemCalls::SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    return ::SetCommTimeouts(h, timeouts);
}

BOOL SystemCalls::SetFileCompletionNotificationModes(HANDLE h, UCHAR flags) {
    return ::SetFileCompletionNotificationModes(h, flags);
}

BOOL SystemCalls::SetCommMask(HANDLE h, DWORD mask) {
    return ::SetCommMask(h, mask);
}

BOOL SystemCalls::WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED overlapped) {
    return ::WaitCommEvent(h, mask, overlapped);
}

BOOL SystemCalls::PurgeComm(HANDLE h, DWORD flags) {
    return ::PurgeComm(h, flags);
}

BOOL SystemCalls::ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    return ::ClearCommError(h, errors, stat);
}

BOOL SystemCalls::ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read,
                           LPOVERLAPPED overlapped) {
    return ::ReadFile(h, buffer, length, read, overlapped);
}

BOOL SystemCalls::WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written,
                            LPOVERLAPPED overlapped) {
    return ::WriteFile(h, buffer, length, written, overlapped);
}

BOOL SystemCalls::CloseHandle(HANDLE h) {
    return ::CloseHandle(h);
}

namespace {

SystemCalls g_SystemCalls;
std::atomic<SystemCalls*> g_pCalls{nullptr};

}  // namespace

SystemCalls* GetSystemCalls() {
    SystemCalls* calls = g_pCalls.load();
    return calls ? calls : &g_SystemCalls;
}

void SetSystemCalls(SystemCalls* calls) {
    g_pCalls = calls;
}
