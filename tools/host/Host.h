// A host of the driver: registers lines, owns its send jobs until their
// final callback, and turns every callback into an event on a thread-safe
// queue that the command's own thread reads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "qvGSMcomdrv.h"
#include "tools/host/DriverLib.h"

namespace qvhost {

struct HostEvent {
    enum class Kind { LineStatus, Sent, Received, Status };
    Kind kind = Kind::LineStatus;
    int code = 0;
    int com = 0;
    double seconds = 0;  // since the host started
    // Sent: the job's id, its destination and text, attempts made and the
    // line of the last attempt. Received: the sender, the text and parts.
    int jobId = -1;
    std::string number;
    std::u16string text;
    unsigned tries = 0;
    int lastLine = 0;
    unsigned parts = 0;
    // Status (a delivery report): jobId (0 when it matches no job), number
    // (the recipient), the part it is for, TP-MR, TP-ST, whether it is final
    // and the two time stamps (seconds since 1970 UTC).
    unsigned part = 0;
    int reference = 0;
    int status = 0;
    bool final = false;
    int64_t serviceCentreTime = 0;
    int64_t dischargeTime = 0;
};

struct LineOptions {
    int com = 0;
    int baudRate = 115200;
    unsigned sendRetryCount = 3;
    bool statusReports = false;  // requested, and handed to this host
    bool canSend = true;
    bool canRecv = true;
    bool international = true;
    bool cleanSim = false;
};

struct JobOptions {
    int line = -1;  // COM port to prefer (or, with fixed, to use); -1 any
    bool fixed = false;
    bool noRetry = false;
    bool force7Bit = false;
};

class Host {
  public:
    explicit Host(const DriverLib& lib);
    ~Host();  // shuts the driver down when it is running
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    int Start();  // gsmdrvInit
    void Stop();  // gsmdrvShutdown; every callback has come by its return
    int AddLine(const LineOptions& options);
    // The export's result (QV_PENDING when accepted); *jobId names the job in
    // its Sent event. A leading '+' marks the number international.
    int Send(const std::string& number, const std::u16string& text, const JobOptions& options,
             int* jobId);

    // The next event; false when none came within the time-out.
    bool Next(HostEvent* out, std::chrono::milliseconds timeout);

    double Elapsed() const;

  private:
    struct Job;
    static void OnDriverEvent(int code, int comPort, int eventKind, void* context, void* data,
                              int isSendResult);
    void Push(HostEvent event);

    const DriverLib& m_lib;
    bool m_started = false;
    std::chrono::steady_clock::time_point m_start;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<HostEvent> m_events;
    std::deque<std::unique_ptr<Job>> m_jobs;  // stay put until the process ends
    int m_nextJobId = 1;
};

}  // namespace qvhost
