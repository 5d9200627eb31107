#include "driver/DeviceManager.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <string>

#include "driver/HostNotify.h"
#include "io/ComPort.h"
#include "logging/LoggingHandler.h"
#include "pdu/PDUCodec.h"

namespace {

// A destination the network can take: 1 to 20 digits (TP-DA). Anything else
// would go out as an empty or cut address, or not encode at all.
bool SendableNumber(const char* number) {
    size_t digits = 0;
    for (const char* p = number; *p; ++p) {
        if (*p >= '0' && *p <= '9' && ++digits > pdu::kMaxAddressDigits) return false;
    }
    return digits > 0;
}

// Up and with nothing under way: a line that may take a job now.
bool IsFree(GSMDevice* line) {
    return line->GetLineState() == LINE_IDLE && line->IsInitialized();
}

}  // namespace

CDeviceManager* GetDeviceManager() {
    static CDeviceManager manager;
    return &manager;
}

int CDeviceManager::Init(CAThreadPool* pool) {
    if (pool == nullptr) return QV_INVALIDPARAM;
    if (m_bInitialized.load()) {
        m_bInitialized.store(0);
        return QV_ALREADYINITIALIZED;
    }
    m_pThreadPool = pool;
    m_LiveLines.Reopen();
    m_QueuedJobs.Reopen();
    m_bInitialized.store(1);
    return QV_OK;
}

// --- Lines -------------------------------------------------------------------

GSMDevice* CDeviceManager::FindLineLocked(int comPort) {
    return m_Lines.Find(comPort);
}

bool CDeviceManager::IsRegisteredLocked(GSMDevice* line) {
    return m_Lines.Contains(line);
}

bool CDeviceManager::IsRegistered(GSMDevice* line) {
    qv::SharedLock lock(m_LinesLock);
    return IsRegisteredLocked(line);
}

GSMDevice* CDeviceManager::FindLine(int comPort, int remove) {
    if (!m_bInitialized.load()) return nullptr;
    qv::ExclusiveLock lock(m_LinesLock);
    GSMDevice* line = remove ? m_Lines.Remove(comPort) : m_Lines.Find(comPort);
    if (line == nullptr) return nullptr;
    if (remove) {
        lock.Unlock();
        RetireLine(line, false);
    }
    return line;
}

GSMDevice* CDeviceManager::FindLineRef(int comPort) {
    qv::SharedLock lock(m_LinesLock);
    GSMDevice* line = FindLineLocked(comPort);
    if (line != nullptr) line->AddWorkRef();
    return line;
}

GSMDevice* CDeviceManager::FindSendingLine(int international) {
    if (!m_bInitialized.load()) return nullptr;
    qv::SharedLock lock(m_LinesLock);
    for (GSMDevice* line : m_Lines.InOrder()) {
        const GSMLineConfig* cfg = line->GetConfigs();
        if (line->IsInitialized() && cfg->CanSend &&
            (!international || cfg->SupportsInternationalNumbers)) {
            return line;
        }
    }
    return nullptr;
}

std::vector<GSMDevice*> CDeviceManager::SnapshotLines(
    const std::function<bool(GSMDevice*)>& wanted) {
    qv::SharedLock lock(m_LinesLock);
    std::vector<GSMDevice*> lines;
    for (GSMDevice* line : m_Lines.InOrder()) {
        if (!wanted(line)) continue;
        line->AddWorkRef();
        lines.push_back(line);
    }
    return lines;
}

void CDeviceManager::ReleaseLines(const std::vector<GSMDevice*>& lines) {
    for (GSMDevice* line : lines) line->ReleaseWorkRef();
}

size_t CDeviceManager::GetLineCount() {
    qv::SharedLock lock(m_LinesLock);
    return m_Lines.Size();
}

bool CDeviceManager::QueueLineWork(GSMDevice* line, CompletionHandler handler) {
    {
        qv::SharedLock lock(m_LinesLock);
        if (!IsRegisteredLocked(line)) return false;
        line->AddWorkRef();
    }
    if (m_pThreadPool->QueueWorkItem(line, handler) != 0) {
        line->ReleaseWorkRef();
        return false;
    }
    return true;
}

int CDeviceManager::AddLine(GSMDevice* line) {
    if (line == nullptr) return QV_INVALIDPARAM;
    if (!m_bInitialized.load()) return QV_NOTINITIALIZED;
    {
        qv::ExclusiveLock lock(m_LinesLock);
        if (FindLineLocked(line->ComPortNumber()) != nullptr) return QV_ALREADYINITIALIZED;
        line->SetDeviceEventHandler(OnDeviceEvent, this);
        m_Lines.Add(line->ComPortNumber(), line);
    }
    // The line stays registered, not initialised, when this fails.
    return QueueLineWork(line, InitLineWork) ? QV_PENDING : QV_GENERICERROR;
}

int CDeviceManager::ReinitLine(GSMDevice* line) {
    if (line == nullptr) return QV_INVALIDPARAM;
    if (!m_bInitialized.load()) return QV_NOTINITIALIZED;
    if (line->IsInitialized()) UninitLine(line);
    return QueueLineWork(line, InitLineWork) ? QV_OK : QV_GENERICERROR;
}

void CDeviceManager::UninitLine(GSMDevice* line) {
    if (line == nullptr) return;
    qv::MutexLock lifecycle(line->LifecycleLock());
    line->Uninit(0);
}

int CDeviceManager::CreateLine(const GSMLineConfig* config) {
    if (config == nullptr) return QV_INVALIDPARAM;
    if (!m_bInitialized.load()) return QV_NOTINITIALIZED;
    qv::MutexLock addLock(m_AddLock);
    if (GetLineCount() + 1 >= QVGSM_MAX_LINES + 1) return QV_LIMITREACHED;
    // Before the line exists: a refused duplicate must not open (and later
    // close) the registered line's log file.
    {
        qv::SharedLock lock(m_LinesLock);
        if (FindLineLocked(config->ComPortNumber) != nullptr) return QV_ALREADYINITIALIZED;
    }
    auto* log = new (std::nothrow) CLoggingHandler();
    auto* port = new (std::nothrow) ComPort();
    GSMDevice* line = nullptr;
    if (log != nullptr && port != nullptr) {
        try {
            line = new GSMDevice(config, port, log, m_pThreadPool);
        } catch (const std::exception&) {
            line = nullptr;
        }
    }
    if (line == nullptr) {
        delete port;
        delete log;
        return QV_INVALIDPARAM;
    }
    {
        qv::MutexLock lock(m_DeliveredLock);
        auto kept = m_DeliveredByPort.find(config->ComPortNumber);
        if (kept != m_DeliveredByPort.end()) {
            line->AdoptDelivered(std::move(kept->second));
            m_DeliveredByPort.erase(kept);
        }
    }
    // Each line alive is one entry of m_LiveLines until it is destroyed.
    const bool live = m_LiveLines.TryEnter();
    int result = live ? AddLine(line) : QV_NOTINITIALIZED;
    if (result == QV_ALREADYINITIALIZED || result == QV_INVALIDPARAM ||
        result == QV_NOTINITIALIZED) {
        KeepDelivered(line);  // handed back before the refused line goes
        delete line;
        if (live) m_LiveLines.Leave();
    }
    return result;
}

int CDeviceManager::RemoveLine(int comPort) {
    if (!m_bInitialized.load()) return QV_NOTINITIALIZED;
    GSMDevice* line;
    {
        qv::ExclusiveLock lock(m_LinesLock);
        line = m_Lines.Remove(comPort);
        if (line == nullptr) return QV_NOTFOUND;
    }
    // Jobs waiting for this very line can never be sent now. None is parked
    // for it after this sweep: ParkJob checks under both locks.
    std::vector<SMSJob*> orphans;
    {
        qv::MutexLock lock(m_WaitingLock);
        for (auto it = m_WaitingJobs.begin(); it != m_WaitingJobs.end();) {
            if ((*it)->FixedLine && (*it)->Line == comPort) {
                orphans.push_back(*it);
                it = m_WaitingJobs.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (SMSJob* job : orphans) EndJob(job, QV_NOTFOUND);
    // The host's thread waits until the port is free again (the line may be
    // added anew at once); a worker, inside a callback, does not wait.
    RetireLine(line, !CAThreadPool::OnWorkerThread());
    return QV_OK;
}

void CDeviceManager::RetireLine(GSMDevice* line, bool waitForClose) {
    auto retire = [this, line](std::function<void()> closed) {
        // Held over the lifecycle lock, so the line cannot go under it; the
        // close starts after an Init that is under way has started its run.
        const bool held = line->AddWorkRef();
        {
            qv::MutexLock lifecycle(line->LifecycleLock());
            line->BeginUninit([this, line, closed] {
                // Handed back before the successor on this port can start.
                KeepDelivered(line);
                // Destroyed once nothing holds it (at once when nothing does).
                line->Release([this, line] { DestroyLine(line); });
                if (closed) closed();
            });
        }
        if (held) line->ReleaseWorkRef();  // last: the line may be destroyed here
    };
    if (waitForClose) {
        RunAndWait(retire);
    } else {
        retire(nullptr);
    }
}

void CDeviceManager::EndJob(SMSJob* job, int code) {
    job->Result = code;
    delete static_cast<SMSSendData*>(job->SendData);
    job->SendData = nullptr;
    qvhost::JobCompletion(job, code);
}

int CDeviceManager::ReinitLineByPort(int comPort) {
    if (!m_bInitialized.load()) return QV_NOTINITIALIZED;
    GSMDevice* line = FindLineRef(comPort);
    if (line == nullptr) return QV_NOTFOUND;
    int result = ReinitLine(line);
    line->ReleaseWorkRef();
    return result;
}

void CDeviceManager::DestroyLine(GSMDevice* line) {
    delete line;
    m_LiveLines.Leave();
}

void CDeviceManager::KeepDelivered(GSMDevice* line) {
    std::vector<GSMDevice::DeliveredEntry> entries = line->TakeDelivered();
    if (entries.empty()) return;
    qv::MutexLock lock(m_DeliveredLock);
    auto& kept = m_DeliveredByPort[line->ComPortNumber()];
    for (const GSMDevice::DeliveredEntry& entry : entries) {
        auto it = std::find_if(kept.begin(), kept.end(),
                               [&entry](const auto& k) { return k.index == entry.index; });
        if (it != kept.end()) {
            *it = entry;
        } else {
            kept.push_back(entry);
        }
    }
}

// --- Jobs --------------------------------------------------------------------

// Why a job bound to line cannot go to it now (QV_OK when it can);
// international names the code for an international job on a line without
// international support.
static int FixedLineRefusal(GSMDevice* line, const SMSJob* job, int international) {
    if (line == nullptr) return QV_NOTFOUND;
    if (!line->IsInitialized()) return QV_NOTINITIALIZED;
    if (!line->GetConfigs()->CanSend) return QV_NOSENDLINE;
    if (job->International && !line->GetConfigs()->SupportsInternationalNumbers)
        return international;
    return QV_OK;
}

int CDeviceManager::ValidateJob(SMSJob* job) {
    if (job == nullptr) return QV_INVALIDPARAM;
    if (!m_bInitialized.load()) return QV_NOTINITIALIZED;
    int code = QV_OK;
    job->Device = nullptr;
    {
        qv::SharedLock lock(m_LinesLock);
        if (job->FixedLine) {
            GSMDevice* line = FindLineLocked(job->Line);
            code = FixedLineRefusal(line, job, QV_NOINTLSUPPORT);
            job->Device = line;
            if (code == QV_OK) line->AddWorkRef();
            return code;
        }
        if (job->Line >= 0) {
            GSMDevice* line = FindLineLocked(job->Line);
            if (line != nullptr && line->IsInitialized() && line->GetConfigs()->CanSend &&
                (!job->International || line->GetConfigs()->SupportsInternationalNumbers)) {
                job->Device = line;
            } else {
                job->Line = -1;
            }
        }
    }
    if (job->Line == -1) {
        if (FindSendingLine(0) == nullptr) {
            code = QV_NOSENDLINE;
        } else if (job->International && FindSendingLine(1) == nullptr) {
            code = QV_NOINTLLINE;
        }
    }
    if (code == QV_OK && job->Device != nullptr) {
        // Take the ref only if the preferred line is still registered.
        qv::SharedLock lock(m_LinesLock);
        auto* line = static_cast<GSMDevice*>(job->Device);
        if (IsRegisteredLocked(line)) {
            line->AddWorkRef();
        } else {
            job->Device = nullptr;
        }
    }
    return code;
}

int CDeviceManager::QueueJob(SMSJob* job) {
    if (job == nullptr) return QV_INVALIDPARAM;
    if (!m_bInitialized.load()) return QV_NOTINITIALIZED;
    job->Manager = this;
    if (!m_QueuedJobs.TryEnter()) {
        if (job->Device != nullptr) static_cast<GSMDevice*>(job->Device)->ReleaseWorkRef();
        return QV_NOTINITIALIZED;
    }
    if (m_pThreadPool->QueueWorkItem(job, SendJobWork) != 0) {
        m_QueuedJobs.Leave();
        if (job->Device != nullptr) static_cast<GSMDevice*>(job->Device)->ReleaseWorkRef();
        return QV_GENERICERROR;
    }
    return QV_PENDING;
}

int CDeviceManager::SubmitJob(int force7Bit, SMSJob* job) {
    if (job == nullptr) return QV_INVALIDPARAM;
    int result;
    bool holdsRef = false;
    if (GetWaitingJobCount() >= QVGSM_MAX_WAITING_JOBS) {
        result = QV_OUTOFMEMORY;
    } else if (job->Text == nullptr || job->Number == nullptr || !SendableNumber(job->Number)) {
        result = QV_INVALIDPARAM;
    } else {
        result = ValidateJob(job);
        holdsRef = result == QV_OK && job->Device != nullptr;
    }

    SMSSendData* data = nullptr;
    if (result == QV_OK) {
        try {
            std::u16string text(reinterpret_cast<const char16_t*>(job->Text));
            data = new SMSSendData{SMSMessage(force7Bit, job->Number, std::move(text)), {}, 0};
            // Part numbers are one octet: such a text cannot be sent at all.
            if (PDUCodec::CountParts(data->message) > pdu::kMaxParts) result = QV_INVALIDPARAM;
        } catch (const std::bad_alloc&) {
            result = QV_OUTOFMEMORY;
        }
    }
    if (result == QV_OK) {
        job->SendData = data;
        // Written before the job is queued: once queued, the job may end and
        // go back to the host at any moment.
        job->Result = QV_PENDING;
        result = QueueJob(job);
        holdsRef = false;  // handed to SendJobWork, or released by QueueJob
    }
    if (result != QV_PENDING) {
        if (holdsRef) static_cast<GSMDevice*>(job->Device)->ReleaseWorkRef();
        job->Result = result;
        delete data;
        job->SendData = nullptr;
        job->Device = nullptr;
    }
    return result;
}

size_t CDeviceManager::GetWaitingJobCount() {
    qv::MutexLock lock(m_WaitingLock);
    return m_WaitingJobs.size();
}

void CDeviceManager::ParkJob(SMSJob* job, bool front) {
    {
        // A job bound to a line parks only while that line is registered:
        // RemoveLine unregisters first and then sweeps the list, so a job
        // parked here is either swept or refused now, never stranded.
        qv::SharedLock lines(m_LinesLock);
        if (!job->FixedLine || FindLineLocked(job->Line) != nullptr) {
            qv::MutexLock lock(m_WaitingLock);
            if (front) {
                m_WaitingJobs.insert(m_WaitingJobs.begin(), job);
            } else {
                m_WaitingJobs.push_back(job);
            }
            return;
        }
    }
    EndJob(job, QV_NOTFOUND);
}

int CDeviceManager::DispatchJob(SMSJob* job, int tryNow) {
    return DispatchJobEx(job, tryNow, false);
}

int CDeviceManager::DispatchJobEx(SMSJob* job, int tryNow, bool parkFront) {
    if (!m_bInitialized.load() || job == nullptr) return 0;
    unsigned gen = m_nIdleGen.load();
    int handled = 0;
    if (tryNow && !job->FixedLine) {
        job->Line = -1;
        handled = OfferToLines(job, 1);
        if (!handled && job->Tries >= 1) handled = OfferToLines(job, 0);
    } else if (job->FixedLine) {
        if (DispatchFixedJob(job, tryNow)) handled = 1;
    }
    if (!handled) {
        ParkJob(job, parkFront);
        // A retry is parked without an offer; a line idle now may take it.
        if (!tryNow || m_nIdleGen.load() != gen) KickWaitingJobs();
    }
    return 1;
}

int CDeviceManager::OfferToLines(SMSJob* job, int skipLast) {
    // Only the lines free at this look: with many lines busy, a work ref and
    // an offer to each cost more than the message. A line freed after the
    // look takes the job from the waiting list (see DispatchJobEx).
    const bool skip = skipLast && job->Tries >= 1;
    const int last = job->LastLine;
    std::vector<GSMDevice*> lines = SnapshotLines([skip, last](GSMDevice* line) {
        return IsFree(line) && !(skip && line->ComPortNumber() == last);
    });
    int taken = 0;
    for (GSMDevice* line : lines) {
        // Once a line took it, the job is no longer ours to read.
        taken = line->SendSMS(job);
        if (taken) break;
    }
    ReleaseLines(lines);
    return taken;
}

int CDeviceManager::DispatchFixedJob(SMSJob* job, int tryNow) {
    GSMDevice* line = FindLineRef(job->Line);
    const int code = FixedLineRefusal(line, job, QV_NOINTLLINE);
    if (code != QV_OK) {
        if (line != nullptr) line->ReleaseWorkRef();
        EndJob(job, code);
        return 1;
    }
    int taken = tryNow ? line->SendSMS(job) : 0;
    line->ReleaseWorkRef();
    return taken;
}

SMSJob* CDeviceManager::TakeWaitingJob(int comPort) {
    if (!m_bInitialized.load()) return nullptr;
    // Only jobs this line may send: an international job handed to a line
    // without international support would be parked again behind the others.
    int international = 1;
    {
        qv::SharedLock lock(m_LinesLock);
        if (GSMDevice* line = FindLineLocked(comPort)) {
            international = line->GetConfigs()->SupportsInternationalNumbers;
        }
    }
    qv::MutexLock lock(m_WaitingLock);
    for (auto it = m_WaitingJobs.begin(); it != m_WaitingJobs.end(); ++it) {
        SMSJob* job = *it;
        bool mayTake =
            job->FixedLine ? job->Line == comPort : (!job->International || international);
        if (mayTake) {
            m_WaitingJobs.erase(it);
            return job;
        }
    }
    return nullptr;
}

void CDeviceManager::KickWaitingJobs() {
    std::vector<GSMDevice*> lines =
        SnapshotLines([](GSMDevice* line) { return IsFree(line) && line->GetConfigs()->CanSend; });
    for (GSMDevice* line : lines) {
        // It may have taken a job an earlier turn of this loop handed out.
        if (line->GetLineState() != LINE_IDLE) continue;
        if (SMSJob* job = TakeWaitingJob(line->ComPortNumber())) DispatchJobEx(job, 1, true);
    }
    ReleaseLines(lines);
}

// --- Events and work items -----------------------------------------------------

void CDeviceManager::ReportLineStatus(GSMDevice* line, int code) {
    // A missing log is said before the line's first status, on the same thread.
    if (line->TakeLogUnavailable()) qvhost::LineStatus(line->GetConfigs(), QV_LOGUNAVAILABLE);
    qvhost::LineStatus(line->GetConfigs(), code);
}

int CDeviceManager::OnDeviceEvent(int event, GSMDevice* line, int code, void* owner, void* data) {
    auto* self = static_cast<CDeviceManager*>(owner);
    if (self == nullptr || line == nullptr) return 0;
    switch (static_cast<DeviceEvent>(event)) {
        case DEV_INIT_OK:
            ReportLineStatus(line, code);
            break;
        case DEV_INIT_RETRY:
            self->QueueLineWork(line, ReinitWork);
            break;
        case DEV_INIT_FAILED:
            self->QueueLineWork(line, InitFailedWork);
            break;
        case DEV_SMS_RECEIVED:
            qvhost::SmsReceived(line->GetConfigs(), static_cast<ReceivedSMS*>(data));
            break;
        case DEV_SEND_DONE:
            qvhost::SmsSent(line->GetConfigs(), code, static_cast<SMSJob*>(data));
            break;
        case DEV_LINE_IDLE:
            if (self->IsRegistered(line)) {
                self->m_nIdleGen.fetch_add(1);
                if (SMSJob* job = self->TakeWaitingJob(line->ComPortNumber())) {
                    self->DispatchJobEx(job, 1, true);
                }
            }
            break;
        case DEV_SEND_RETRY:
            self->DispatchJob(static_cast<SMSJob*>(data), 0);
            break;
        case DEV_SMS_STATUS:
            qvhost::SmsStatus(line->GetConfigs(), static_cast<SMSStatusReport*>(data));
            break;
    }
    return 0;
}

int CDeviceManager::RunLineStep(void* context, void (*step)(CDeviceManager*, GSMDevice*)) {
    auto* line = static_cast<GSMDevice*>(context);
    if (line == nullptr) return 1;
    auto* self = static_cast<CDeviceManager*>(line->Owner());
    if (self != nullptr) {
        qv::MutexLock lifecycle(line->LifecycleLock());
        if (self->IsRegistered(line)) step(self, line);
    }
    // Last: the line may be destroyed from here on.
    line->ReleaseWorkRef();
    return 0;
}

void CDeviceManager::StartInit(GSMDevice* line, bool firstAttempt) {
    if (line->IsClosing()) {
        // A close still runs (a re-initialisation from the host, say): the
        // run starts once the port is free again.
        line->AfterClose([this, line, firstAttempt] {
            QueueLineWork(line, firstAttempt ? InitLineWork : RetryInitWork);
        });
        return;
    }
    line->StartInitRun(firstAttempt);
}

int CDeviceManager::InitLineWork(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    return RunLineStep(context,
                       [](CDeviceManager* self, GSMDevice* line) { self->StartInit(line, true); });
}

int CDeviceManager::RetryInitWork(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    return RunLineStep(context,
                       [](CDeviceManager* self, GSMDevice* line) { self->StartInit(line, false); });
}

int CDeviceManager::SendJobWork(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    auto* job = static_cast<SMSJob*>(context);
    if (job == nullptr) return 1;
    auto* self = static_cast<CDeviceManager*>(job->Manager);
    auto* preferred = static_cast<GSMDevice*>(job->Device);
    if (preferred == nullptr) {
        self->DispatchJob(job, 1);
    } else {
        if (!preferred->SendSMS(job)) self->DispatchJob(job, 1);
        preferred->ReleaseWorkRef();
    }
    self->m_QueuedJobs.Leave();
    return 0;
}

int CDeviceManager::ReinitWork(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    // The close ends when the port has drained, which may need this very
    // pool: it is not waited for here. The next attempt is queued then.
    return RunLineStep(context, [](CDeviceManager* self, GSMDevice* line) {
        line->BeginUninit([self, line] { self->QueueLineWork(line, RetryInitWork); });
    });
}

int CDeviceManager::InitFailedWork(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    return RunLineStep(context, [](CDeviceManager* self, GSMDevice* line) {
        line->BeginUninit([self, line] { self->QueueLineWork(line, ReportInitFailedWork); });
    });
}

int CDeviceManager::ReportInitFailedWork(void* context, CompletionKey*, LPOVERLAPPED, DWORD,
                                         DWORD) {
    return RunLineStep(context, [](CDeviceManager*, GSMDevice* line) {
        ReportLineStatus(line, line->TakeFailCode());
    });
}

// --- Shutdown ------------------------------------------------------------------

int CDeviceManager::Shutdown() {
    if (!m_bInitialized.load()) return 0;

    std::vector<GSMDevice*> lines;
    {
        qv::ExclusiveLock lock(m_LinesLock);
        lines = m_Lines.TakeAll();
    }
    // A job a line is sending ends here with QV_ABORTED (the line's close).
    for (GSMDevice* line : lines) RetireLine(line, false);
    // Every line, also those removed earlier, is destroyed once nothing
    // holds it: as long as host callbacks run, this waits.
    m_LiveLines.CloseAndWait();
    // Jobs still on their way to a line park now that no line is left.
    m_QueuedJobs.CloseAndWait();

    std::vector<SMSJob*> waiting;
    {
        qv::MutexLock lock(m_WaitingLock);
        waiting.swap(m_WaitingJobs);
    }
    for (SMSJob* job : waiting) {
        // Everything is written before the call: the host may free the job
        // in its callback.
        job->Result = QV_ABORTED;
        delete static_cast<SMSSendData*>(job->SendData);
        job->SendData = nullptr;
        qvhost::JobCompletion(job, QV_ABORTED);
    }
    m_bInitialized.store(0);
    return 1;
}
