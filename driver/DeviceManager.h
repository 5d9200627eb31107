// The registry of the driver's lines and the dispatcher of send jobs. It
// receives every line's device events and turns them into host callbacks or
// new work.
//
// Locks, outermost first: m_AddLock (serialises line creation), m_LinesLock
// (m_Lines), m_WaitingLock (m_WaitingJobs), m_DeliveredLock
// (m_DeliveredByPort). None is held across a line operation, a pool call that
// runs work, or a call into the host.
//
// Lifetime of a line: registered from gsmdrvaddGSMline; every work item
// queued for it and every walk that offers a job to lines holds a work ref
// (GSMDevice::AddWorkRef). Removal unregisters it and starts its close; once
// closed, it takes no new refs and is destroyed when the last one goes, on
// whichever thread lets it go. Shutdown waits (on the host's thread, as long
// as host callbacks run) until every line is destroyed and every queued job
// has been handed on. No worker ever waits for any of this.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <vector>

#include "driver/LineTable.h"
#include "gsm/GSMDevice.h"
#include "io/Quiescence.h"
#include "io/ThreadPool.h"
#include "platform/thread_annotations.h"
#include "qvGSMcomdrv.h"

class CDeviceManager {
  public:
    CDeviceManager() = default;
    CDeviceManager(const CDeviceManager&) = delete;
    CDeviceManager& operator=(const CDeviceManager&) = delete;
    virtual ~CDeviceManager() = default;

    // QV_OK; QV_INVALIDPARAM for a null pool; QV_ALREADYINITIALIZED when
    // already started (the manager then counts as not started).
    virtual int Init(CAThreadPool* pool);
    // Uninitialises and destroys every line, then ends every waiting job with
    // QV_ABORTED. 1; 0 when not started. Not from a worker.
    virtual int Shutdown() QV_EXCLUDES(m_LinesLock, m_WaitingLock);
    virtual int ReinitLine(GSMDevice* line);
    virtual void UninitLine(GSMDevice* line);
    // QV_OK or the code that refuses the job. On QV_OK a non-null Device
    // carries a work ref for the job's SendJobWork.
    virtual int ValidateJob(SMSJob* job) QV_EXCLUDES(m_LinesLock);
    // QV_PENDING; QV_GENERICERROR (the Device ref is released).
    virtual int QueueJob(SMSJob* job);
    // Without a ref: only for callers that cannot race with a removal.
    virtual GSMDevice* FindLine(int comPort, int remove) QV_EXCLUDES(m_LinesLock);
    virtual GSMDevice* FindSendingLine(int international) QV_EXCLUDES(m_LinesLock);
    virtual int AddLine(GSMDevice* line) QV_EXCLUDES(m_LinesLock);
    // 1 handled or parked; 0 when not started or the job is null. The job may
    // be finished by the time this returns.
    virtual int DispatchJob(SMSJob* job, int tryNow);
    // The oldest waiting job the line on comPort may take, removed from the
    // list; null when none.
    virtual SMSJob* TakeWaitingJob(int comPort) QV_EXCLUDES(m_LinesLock, m_WaitingLock);

    int DispatchFixedJob(SMSJob* job, int tryNow);
    int OfferToLines(SMSJob* job, int skipLast);
    size_t GetLineCount() QV_EXCLUDES(m_LinesLock);
    size_t GetWaitingJobCount() QV_EXCLUDES(m_WaitingLock);
    bool IsStarted() const { return m_bInitialized.load() != 0; }

    // The export paths, built on the operations above.
    int CreateLine(const GSMLineConfig* config)
        QV_EXCLUDES(m_AddLock, m_LinesLock, m_DeliveredLock);
    int RemoveLine(int comPort) QV_EXCLUDES(m_LinesLock, m_WaitingLock);
    int ReinitLineByPort(int comPort);
    int SubmitJob(int force7Bit, SMSJob* job);

    static int OnDeviceEvent(int event, GSMDevice* line, int code, void* owner, void* data);
    // The line's HOST_LINE_STATUS, preceded once by QV_LOGUNAVAILABLE.
    static void ReportLineStatus(GSMDevice* line, int code);

    // Runs step on a line that is still registered, under its lifecycle
    // lock, then drops the work ref its work item held.
    static int RunLineStep(void* context, void (*step)(CDeviceManager*, GSMDevice*));
    // Work items: (context, key, overlapped, bytes, error); 1 for a null
    // context, else 0.
    static int InitLineWork(void* context, CompletionKey* key, LPOVERLAPPED overlapped, DWORD bytes,
                            DWORD error);
    static int SendJobWork(void* context, CompletionKey* key, LPOVERLAPPED overlapped, DWORD bytes,
                           DWORD error);
    static int ReinitWork(void* context, CompletionKey* key, LPOVERLAPPED overlapped, DWORD bytes,
                          DWORD error);
    static int InitFailedWork(void* context, CompletionKey* key, LPOVERLAPPED overlapped,
                              DWORD bytes, DWORD error);
    // The next attempt of a failed initialisation, once the line is closed.
    static int RetryInitWork(void* context, CompletionKey* key, LPOVERLAPPED overlapped,
                             DWORD bytes, DWORD error);
    // The host hears of a failed line once it is closed.
    static int ReportInitFailedWork(void* context, CompletionKey* key, LPOVERLAPPED overlapped,
                                    DWORD bytes, DWORD error);

  private:
    // The registered lines that pass wanted, in order, each with a work ref
    // the caller releases (ReleaseLines / ReleaseWorkRef). wanted runs under
    // the lines lock: only a look at the line, no call out of it.
    std::vector<GSMDevice*> SnapshotLines(const std::function<bool(GSMDevice*)>& wanted)
        QV_EXCLUDES(m_LinesLock);
    static void ReleaseLines(const std::vector<GSMDevice*>& lines);
    GSMDevice* FindLineRef(int comPort) QV_EXCLUDES(m_LinesLock);
    GSMDevice* FindLineLocked(int comPort) QV_REQUIRES_SHARED(m_LinesLock);
    bool IsRegisteredLocked(GSMDevice* line) QV_REQUIRES_SHARED(m_LinesLock);
    bool IsRegistered(GSMDevice* line) QV_EXCLUDES(m_LinesLock);
    // Queues handler for a registered line with a ref; false when the line
    // was removed or the pool refused.
    bool QueueLineWork(GSMDevice* line, CompletionHandler handler) QV_EXCLUDES(m_LinesLock);

    int DispatchJobEx(SMSJob* job, int tryNow, bool parkFront);
    void ParkJob(SMSJob* job, bool front) QV_EXCLUDES(m_LinesLock, m_WaitingLock);
    // Gives waiting jobs to lines that are idle now.
    void KickWaitingJobs();
    // Ends a job without a line: SendData freed, then CompletionCallback.
    static void EndJob(SMSJob* job, int code);
    // Closes an unregistered line; it is destroyed once closed and released.
    // waitForClose: block until the close is over (never on a worker).
    void RetireLine(GSMDevice* line, bool waitForClose) QV_EXCLUDES(m_LinesLock);
    void DestroyLine(GSMDevice* line);
    // Starts an initialisation run, or queues it behind a running close.
    void StartInit(GSMDevice* line, bool firstAttempt);

    CAThreadPool* m_pThreadPool = nullptr;
    std::atomic<int> m_bInitialized{0};
    // Lock order (outermost first): m_AddLock, m_LinesLock, m_WaitingLock,
    // m_DeliveredLock.
    qv::Mutex m_AddLock QV_ACQUIRED_BEFORE(m_LinesLock);
    qv::SharedMutex m_LinesLock QV_ACQUIRED_BEFORE(m_WaitingLock);
    qv::Mutex m_WaitingLock QV_ACQUIRED_BEFORE(m_DeliveredLock);
    qv::Mutex m_DeliveredLock;
    std::vector<SMSJob*> m_WaitingJobs QV_GUARDED_BY(m_WaitingLock);  // oldest first
    LineTable m_Lines QV_GUARDED_BY(m_LinesLock);
    // One entry per line not yet destroyed; Shutdown closes and waits.
    Quiescence m_LiveLines;
    // Delivered messages of removed lines whose deletion was not confirmed,
    // by COM port: the next line added there takes them over, so it deletes
    // rather than delivers them again.
    std::map<int, std::vector<GSMDevice::DeliveredEntry>> m_DeliveredByPort
        QV_GUARDED_BY(m_DeliveredLock);
    void KeepDelivered(GSMDevice* line) QV_EXCLUDES(m_DeliveredLock);
    // Raised by every DEV_LINE_IDLE: a dispatcher that parked a job while it
    // moved looks again, so no job waits beside an idle line.
    std::atomic<unsigned> m_nIdleGen{0};
    // SendJobWork items queued and not finished; Shutdown drains them.
    Quiescence m_QueuedJobs;
};

// The process-wide manager.
CDeviceManager* GetDeviceManager();
