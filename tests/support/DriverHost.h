// A test host: loads the driver library with dlopen as a messaging server
// would, points it at simulated modems, and records every callback.
//
// One host per test process (gtest runs each case in its own process): the
// library's settings come from the environment, read when it is loaded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qvGSMcomdrv.h"
#include "tools/sim/Simulator.h"

namespace qvtest {

// One host callback, with the data copied out while it was valid.
struct HostEvent {
    int code = 0;
    int comPort = 0;
    int kind = 0;
    void* context = nullptr;
    void* data = nullptr;
    int isSendResult = 0;
    // HOST_SMS_RECEIVED
    std::u16string text;
    std::string number;
    int textCapacity = 0;
    int numberCapacity = 0;
    unsigned parts = 0;
    bool textTerminated = false;
    bool numberTerminated = false;
    // HOST_SMS_SENT: the job's fields at the time of the call
    int jobResult = 0;
    unsigned jobTries = 0;
    int jobLastLine = 0;
    void* jobSendData = nullptr;
    void* jobDevice = nullptr;
    // HOST_SMS_STATUS: the record, its number copied (report.Number is not
    // valid after the call)
    SMSStatusReport report{};
};

// Every callback of the process, in arrival order.
class EventLog {
  public:
    static EventLog& Get();
    void Record(const HostEvent& event);
    std::vector<HostEvent> Snapshot();
    // Waits (real time) until pred holds over the events seen so far.
    bool WaitFor(const std::function<bool(const std::vector<HostEvent>&)>& pred,
                 std::chrono::milliseconds timeout);
    size_t Count(int kind, int code = -1, int comPort = -1);
    void Clear();

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<HostEvent> m_events;
};

// The host callback the configs and jobs of tests use.
void QVCALL RecordingCallback(int code, int comPort, int eventKind, void* context, void* data,
                              int isSendResult);

std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& text);

GSMLineConfig MakeLineConfig(int com, unsigned retries = 1, bool canSend = true,
                             bool canRecv = true, bool international = true);

// A host-owned job with its texts; must outlive its final callback.
struct TestJob {
    TestJob(const std::string& number, const std::u16string& text, int line = -1,
            int fixedLine = 0);
    SMSJob job{};
    std::u16string text;
    std::string number;
};

class DriverHost {
  public:
    // Sets QVGSM_COMDIR, QVGSM_LOGDIR and QVGSM_TIME_SCALE to a fresh folder
    // and scale, and the same scale for this process's clock (simulator
    // delays), then loads the library.
    explicit DriverHost(double timeScale = 1.0);
    ~DriverHost();

    bool Loaded() const { return m_handle != nullptr; }
    const std::string& Error() const { return m_error; }
    const std::string& Dir() const { return m_dir; }

    // Reads a line's log file after flushing every open log.
    std::string ReadLog(int com);
    // Number of times text occurs in a line's log.
    size_t CountInLog(int com, const std::string& text);
    // Waits until text occurs at least count times in a line's log.
    bool WaitInLog(int com, const std::string& text, size_t count = 1,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

    int (*Init)() = nullptr;
    int (*Shutdown)() = nullptr;
    int (*AddLine)(const GSMLineConfig*) = nullptr;
    int (*ReinitLine)(int) = nullptr;
    int (*UninitLine)(int) = nullptr;
    int (*SendSMS)(int, SMSJob*) = nullptr;

  private:
    void* m_handle = nullptr;
    std::string m_error;
    std::string m_dir;
};

// A driver with simulated modems linked as COM ports in its folder.
class DriverFixture : public ::testing::Test {
  protected:
    virtual double TimeScale() { return 1.0; }
    void SetUp() override;
    void TearDown() override;

    // Adds a simulated modem linked as COM com; -1 (and a skip) without ptys.
    int AddModem(int com, const qvsim::ModemConfig& config = {});
    // Adds the line and waits for its HOST_LINE_STATUS QV_OK.
    void BringUp(const GSMLineConfig& config);
    // Waits for n events of kind in total (HOST_SMS_SENT, ...).
    bool WaitEvents(int kind, size_t n,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool WaitSent(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool WaitReceived(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Shuts the driver down. Once it returns the driver's workers are gone
    // and every callback has arrived: counts taken afterwards are final.
    void StopDriver();

    std::unique_ptr<DriverHost> host;
    std::unique_ptr<qvsim::Simulator> sim;
    bool initialised = false;
};

}  // namespace qvtest
