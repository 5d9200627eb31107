// Lines on simulated modems for the engine and initialisation tests: a pool,
// a simulator, and per line a GSMDevice with an in-memory log and an event
// handler that records every device event and does the device manager's
// steps (retry: Uninit then Init on a worker; final failure: Uninit).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gsm/GSMDevice.h"
#include "io/ThreadPool.h"
#include "support/RecordingLog.h"
#include "support/WaitUntil.h"
#include "tools/sim/Simulator.h"

namespace qvtest {

// The device with its protected state opened up for tests.
class TestDevice : public GSMDevice {
  public:
    using GSMDevice::GSMDevice;
    void ResetInitAttempts() { m_nInitAttempts = 0; }
    int InitAttempts() const { return m_nInitAttempts; }
    int FailCode() const { return m_nFailCode; }
    int InitInProgress() const { return m_bInitInProgress; }
    CNMICaps& Caps() { return m_CNMICaps; }
    CNMICaps& Offered() { return m_CNMIOffered; }
    const char* Group(int i) const { return m_szCNMIGroups[i]; }
    std::vector<ATCommandEntry>& CommandList() { return m_CommandList; }
    ResponseSpec& OKSpec() { return m_OKSpec; }
    ResponseSpec& ERRORSpec() { return m_ERRORSpec; }
    // Records what the runner ended with, then does the line's own end.
    void InitComplete(int result, int stage) override {
        m_nLastStage = stage;
        m_nLastResult = result;
        GSMDevice::InitComplete(result, stage);
    }
    std::atomic<int> m_nLastStage{0};
    std::atomic<int> m_nLastResult{-1};
    size_t QueuedRecords() {
        qv::MutexLock guard(m_RecvLock);
        return m_RecvQueue.size();
    }
};

struct EventRecord {
    int event = 0;
    int code = 0;
    uint64_t platformMs = 0;  // when it was raised
    std::string text;         // DEV_SMS_RECEIVED: the text (UTF-8)
    std::string number;       // DEV_SMS_RECEIVED: the sender
    uint32_t parts = 0;
};

// A default line configuration on COM `com`: sends, does not receive.
GSMLineConfig DefaultConfig(int com);

class Line {
  public:
    // Adds a simulated modem linked as COM `com` and builds the line on it.
    // Check ok() before use: false when no pty was to be had.
    Line(qvsim::Simulator& sim, CAThreadPool* pool, const GSMLineConfig& config,
         const qvsim::ModemConfig& modem = {});
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    bool ok() const { return m_nModem >= 0; }
    int modem() const { return m_nModem; }
    TestDevice* device() { return m_pDevice.get(); }
    RecordingLog& log() { return m_Log; }

    // The manager's InitLineWork: attempts reset, Init on a pool worker.
    void StartInit();
    // Waits for an event kind; true when one was recorded.
    bool WaitForEvent(int event, std::chrono::milliseconds timeout);
    // Waits for the end of initialisation: DEV_INIT_OK or DEV_INIT_FAILED.
    bool WaitForInitEnd(std::chrono::milliseconds timeout);
    std::vector<EventRecord> Events();
    int CountEvents(int event);
    // The command lines the modem received, in order.
    std::vector<std::string> Commands();

    // Off: retries and final failures are only recorded.
    bool m_bActAsManager = true;

  private:
    static int OnDeviceEvent(int event, GSMDevice* device, int code, void* owner, void* data);
    void Post(void (*step)(Line*));
    static int RunPosted(void* context, struct CompletionKey*, LPOVERLAPPED, DWORD, DWORD);

    qvsim::Simulator& m_Sim;
    CAThreadPool* m_pPool;
    int m_nModem = -1;
    RecordingLog m_Log;
    std::unique_ptr<TestDevice> m_pDevice;

    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::vector<EventRecord> m_Events;  // guarded by m_Mutex
    int m_nPosted = 0;                  // fixture work items not finished; guarded by m_Mutex
};

// The comN folder (QVGSM_COMDIR) and log folder (QVGSM_LOGDIR) of this
// process, made on first use.
const std::string& LineComDir();
const std::string& LineLogDir();
// A COM number not used before in this process.
int NextComNumber();
// Raises the open-file limit to the hard limit (many lines on many ptys).
void RaiseFileLimit();

// One pool and one simulator per test.
class LineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Builds a line; skips the test when no pty is to be had.
    Line* AddLine(const GSMLineConfig& config, const qvsim::ModemConfig& modem = {});

    CAThreadPool m_Pool;
    std::unique_ptr<qvsim::Simulator> m_pSim;
    std::vector<std::unique_ptr<Line>> m_Lines;
};

}  // namespace qvtest
