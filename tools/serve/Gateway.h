// The gateway's host of the driver: loads it through its six exports,
// brings the configured lines up, hands queued messages to it a few at a
// time and records every callback in the store. Received messages are
// committed inside their callback, before the driver deletes them from the
// SIM; a message is only handed over once its row says so.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvGSMcomdrv.h"
#include "tools/host/Devices.h"
#include "tools/host/DriverLib.h"
#include "tools/serve/Config.h"
#include "tools/serve/Store.h"

namespace qvsim {
class Simulator;
}

namespace qvserve {

struct LineView {
    LineSetting setting;
    std::string state = "initialising";  // initialising up failed
    int lastCode = 0;
    std::string lastResult;
    int64_t since = 0;  // ms of the last state change
    int signal = -1;    // AT+CSQ rssi from the line log, -1 unknown
    int64_t sent = 0, failed = 0, received = 0, reports = 0;
};

class Gateway {
  public:
    Gateway(const ServeConfig& config, Store& store);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Loads and starts the driver and adds every line (or the simulated
    // modems); false with *error when that cannot be done.
    bool Start(const std::string& libOption, std::string* error);
    // Ends the hand-over, lets jobs in flight end (up to grace), then shuts
    // the driver down: jobs it still holds come back as queued or unknown.
    void Stop(std::chrono::milliseconds grace);

    // A new row is queued.
    void Wake();
    // Called after a received message is committed (for the webhook).
    void OnReceived(std::function<void()> hook) { m_onReceived = std::move(hook); }

    std::vector<LineView> Lines();
    bool HasLine(int com);
    bool LineSends(int com);
    bool LineReports(int com);
    bool AnyReportLine();
    size_t InFlight();
    int64_t UnmatchedReports();

    // Simulated modems only: a message arrives from the network.
    bool Simulated() const { return m_sim != nullptr; }
    bool Inject(int com, const std::string& from, const std::string& text, std::string* error);

  private:
    struct Job;
    static void OnDriverEvent(int code, int comPort, int eventKind, void* context, void* data,
                              int isSendResult);
    void OnLineStatus(int com, int code);
    void OnSent(int com, int code, SMSJob* job);
    void OnReceivedSms(int com, const ReceivedSMS* sms);
    void OnStatusReport(int com, const SMSStatusReport* report);
    void Dispatch();
    size_t Window();
    // False when the driver refused it for now and the row is queued again.
    bool HandOver(const Message& m);
    int ReportLineFor(const Message& m);
    void ReadSignal(int com);
    // Starts failed lines again once they have been down long enough; the
    // time until the next one is due.
    std::chrono::milliseconds RetryLines(std::unique_lock<std::mutex>& lock);

    ServeConfig m_config;
    Store& m_store;
    std::unique_ptr<qvsim::Simulator> m_sim;
    qvhost::TempDir m_comDir;
    qvhost::DriverLib m_lib;
    bool m_driverUp = false;
    std::string m_logDir;
    std::function<void()> m_onReceived;

    std::mutex m_mutex;  // guards what follows
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_queued = true;  // rows may be waiting
    std::map<int, LineView> m_lines;
    std::map<int64_t, std::unique_ptr<Job>> m_jobs;  // in the driver's hands
    // Jobs whose callback came; freed a while later, once the driver can no
    // longer be touching them.
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::unique_ptr<Job>>> m_done;
    size_t m_nextReportLine = 0;
    int64_t m_unmatchedReports = 0;
    std::thread m_dispatcher;
};

}  // namespace qvserve
