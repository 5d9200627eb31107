// A Windows host of the driver, for the checks under Wine: it loads
// qvGSMcomdrv.dll and finds its six exports by name, starts the driver, adds
// one line on COM<n> and waits for that line's log file. It then waits for
// the go file (the peer has seen the first AT command and checked the
// port's settings) and shuts the driver down, which must take seconds.
//
//   wine_host <com> <baud> <go-file>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "qvGSMcomdrv.h"

namespace {

constexpr ULONGLONG kLogWaitMs = 20000;
constexpr ULONGLONG kGoWaitMs = 60000;
constexpr ULONGLONG kShutdownLimitMs = 10000;

struct Exports {
    int(QVCALL* init)();
    int(QVCALL* shutdown)();
    int(QVCALL* addLine)(const GSMLineConfig*);
    int(QVCALL* reinitLine)(int);
    int(QVCALL* uninitLine)(int);
    int(QVCALL* sendSms)(int, SMSJob*);
};

int Fail(const char* what) {
    std::printf("wine_host: FAILED: %s (error %lu)\n", what, GetLastError());
    std::fflush(stdout);
    return 1;
}

template <class F>
bool Find(HMODULE lib, const char* name, F* out) {
    FARPROC p = GetProcAddress(lib, name);
    std::printf("wine_host: export %s %s\n", name, p ? "found" : "MISSING");
    // A function pointer cast: the export has exactly this type.
    *out = reinterpret_cast<F>(reinterpret_cast<void*>(p));
    return p != nullptr;
}

void QVCALL OnEvent(int code, int comPort, int eventKind, void*, void*, int) {
    std::printf("wine_host: callback COM%d kind %d code %d\n", comPort, eventKind, code);
    std::fflush(stdout);
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool FileHas(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::string data;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    std::fclose(f);
    return data.find(text) != std::string::npos;
}

// The host waits on files another process writes: it looks every 20 ms.
template <class Pred>
bool WaitFor(Pred pred, ULONGLONG limitMs) {
    const ULONGLONG end = GetTickCount64() + limitMs;
    while (!pred()) {
        if (GetTickCount64() > end) return false;
        Sleep(20);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::printf("usage: wine_host <com> <baud> <go-file>\n");
        return 2;
    }
    const int com = std::atoi(argv[1]);
    const int baud = std::atoi(argv[2]);
    const std::string goFile = argv[3];

    HMODULE lib = LoadLibraryA("qvGSMcomdrv.dll");
    if (lib == nullptr) return Fail("LoadLibrary qvGSMcomdrv.dll");
    Exports x{};
    bool all = Find(lib, "gsmdrvInit", &x.init) & Find(lib, "gsmdrvShutdown", &x.shutdown) &
               Find(lib, "gsmdrvaddGSMline", &x.addLine) &
               Find(lib, "gsmdrvreinitGSMline", &x.reinitLine) &
               Find(lib, "gsmdrvuninitGSMline", &x.uninitLine) &
               Find(lib, "gsmdrvSendSMS", &x.sendSms);
    if (!all) return Fail("an export is missing");

    int rc = x.init();
    std::printf("wine_host: gsmdrvInit -> %d\n", rc);
    if (rc != QV_OK) return Fail("gsmdrvInit");

    auto config = std::make_unique<GSMLineConfig>();
    std::memset(config.get(), 0, sizeof *config);
    config->ComPortNumber = com;
    config->BaudRate = baud;
    config->LineCallback = OnEvent;
    config->SendRetryCount = 1;
    config->CanRecv = 1;
    config->CanSend = 1;
    rc = x.addLine(config.get());
    std::printf("wine_host: gsmdrvaddGSMline(COM%d, %d baud) -> %d\n", com, baud, rc);
    if (rc != QV_PENDING) return Fail("gsmdrvaddGSMline");
    std::fflush(stdout);

    std::string logFile = "GSM_COM" + std::to_string(com) + ".log";
    if (const char* dir = std::getenv("QVGSM_LOGDIR")) logFile = std::string(dir) + "\\" + logFile;
    const std::string banner = "STARTING LOG - COM: " + std::to_string(com);
    if (!WaitFor([&] { return FileHas(logFile, banner); }, kLogWaitMs))
        return Fail(("no start banner in " + logFile).c_str());
    std::printf("wine_host: log file %s has its start banner\n", logFile.c_str());
    std::fflush(stdout);

    if (!WaitFor([&] { return FileExists(goFile); }, kGoWaitMs)) return Fail("no go file");

    const ULONGLONG start = GetTickCount64();
    rc = x.shutdown();
    const ULONGLONG took = GetTickCount64() - start;
    std::printf("wine_host: gsmdrvShutdown -> %d in %llu ms\n", rc, took);
    if (rc != QV_OK) return Fail("gsmdrvShutdown");
    if (took > kShutdownLimitMs) return Fail("gsmdrvShutdown took too long");
    FreeLibrary(lib);
    std::printf("wine_host: OK\n");
    return 0;
}
