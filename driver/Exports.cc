// The six entry points of the library: check, then delegate to the manager.
#include <atomic>
#include <cstdlib>

#include "driver/DeviceManager.h"
#include "io/ThreadPool.h"
#include "platform/clock.h"
#include "qvGSMcomdrv.h"

namespace {

// Set by a successful gsmdrvInit. The host calls gsmdrvInit and
// gsmdrvShutdown while no other export runs.
std::atomic<int> g_bDriverInitialized{0};

// Test seam: QVGSM_TIME_SCALE makes this library's platform clock run that
// many times faster, so a test host can drive long modem waits quickly. A
// loaded library has its own copy of the clock, which only it can set. Read
// at load and at every start: a library that stays loaded across dlclose
// still follows the host's latest setting.
void ApplyTimeScale() {
    if (const char* text = std::getenv("QVGSM_TIME_SCALE")) {
        double factor = std::strtod(text, nullptr);
        if (factor > 0) qvclock::SetScale(factor);
    }
}
struct TimeScaleFromEnvironment {
    TimeScaleFromEnvironment() { ApplyTimeScale(); }
} g_TimeScale;

}  // namespace

extern "C" {

QVGSM_API int QVCALL gsmdrvInit(void) {
    // From inside a callback the driver is running, and stopping it there
    // would wait for the calling worker: refused, nothing changes.
    if (CAThreadPool::OnWorkerThread()) return QV_ALREADYINITIALIZED;
    CAThreadPool* pool = GetGlobalThreadPool();
    CDeviceManager* manager = GetDeviceManager();
    int result = QV_OK;
    if (g_bDriverInitialized.load()) {
        result = QV_ALREADYINITIALIZED;
    } else {
        ApplyTimeScale();
        if (pool->Start(0) != 0 || manager->Init(pool) != QV_OK) result = QV_INITFAILED;
    }
    if (result == QV_OK) {
        g_bDriverInitialized.store(1);
        return QV_OK;
    }
    // A failed or repeated start leaves nothing running.
    if (manager->IsStarted()) manager->Shutdown();
    pool->Shutdown();
    g_bDriverInitialized.store(0);
    return result;
}

QVGSM_API int QVCALL gsmdrvShutdown(void) {
    // Shutdown waits for every worker to leave, the calling one included:
    // from inside a callback it is refused and nothing changes.
    if (CAThreadPool::OnWorkerThread()) return QV_GENERICERROR;
    // Cleared first and at once: of two shutdowns at the same time only one
    // stops the driver, and nothing is accepted while it stops.
    int running = 1;
    if (!g_bDriverInitialized.compare_exchange_strong(running, 0)) return QV_NOTINITIALIZED;
    GetDeviceManager()->Shutdown();
    GetGlobalThreadPool()->Shutdown();
    return QV_OK;
}

QVGSM_API int QVCALL gsmdrvaddGSMline(const GSMLineConfig* config) {
    if (!g_bDriverInitialized.load()) return QV_NOTINITIALIZED;
    if (config == nullptr) return QV_INVALIDPARAM;
    return GetDeviceManager()->CreateLine(config);
}

QVGSM_API int QVCALL gsmdrvreinitGSMline(int comPort) {
    if (!g_bDriverInitialized.load()) return QV_NOTINITIALIZED;
    return GetDeviceManager()->ReinitLineByPort(comPort);
}

QVGSM_API int QVCALL gsmdrvuninitGSMline(int comPort) {
    if (!g_bDriverInitialized.load()) return QV_NOTINITIALIZED;
    return GetDeviceManager()->RemoveLine(comPort);
}

QVGSM_API int QVCALL gsmdrvSendSMS(int force7Bit, SMSJob* job) {
    if (!g_bDriverInitialized.load()) {
        if (job != nullptr) {
            job->Result = QV_NOTINITIALIZED;
            job->SendData = nullptr;
            job->Device = nullptr;
        }
        return QV_NOTINITIALIZED;
    }
    if (job == nullptr) return QV_INVALIDPARAM;
    return GetDeviceManager()->SubmitJob(force7Bit, job);
}

}  // extern "C"
