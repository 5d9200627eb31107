#include "tools/host/Host.h"

#include <cstring>

namespace qvhost {

// The SMSJob a driver reads and writes, with the text and number it points
// at. The job's id and its host sit in the record's host-data areas, which
// the driver never reads, so the completion callback (which has no context)
// finds its way back.
struct Host::Job {
    SMSJob record{};
    std::u16string text;
    std::string number;
};

namespace {

void PutHostData(SMSJob* job, int id, Host* host) {
    static_assert(sizeof(job->HostData2) >= sizeof(Host*));
    std::memcpy(job->HostData0, &id, sizeof id);
    std::memcpy(job->HostData2, &host, sizeof host);
}

int JobId(const SMSJob* job) {
    int id;
    std::memcpy(&id, job->HostData0, sizeof id);
    return id;
}

Host* JobHost(const SMSJob* job) {
    Host* host;
    std::memcpy(&host, job->HostData2, sizeof host);
    return host;
}

std::u16string CopyText(const QVWCHAR* text, int32_t capacity) {
    std::u16string out;
    if (text == nullptr) return out;
    for (int32_t i = 0; (capacity <= 0 || i < capacity) && text[i] != 0; ++i) {
        out.push_back(static_cast<char16_t>(text[i]));
    }
    return out;
}

std::string CopyNumber(const char* number, int32_t capacity) {
    std::string out;
    if (number == nullptr) return out;
    for (int32_t i = 0; (capacity <= 0 || i < capacity) && number[i] != '\0'; ++i) {
        out.push_back(number[i]);
    }
    return out;
}

}  // namespace

Host::Host(const DriverLib& lib) : m_lib(lib), m_start(std::chrono::steady_clock::now()) {}

Host::~Host() {
    Stop();
}

int Host::Start() {
    int rc = m_lib.Init();
    m_started = rc == QV_OK;
    return rc;
}

void Host::Stop() {
    if (!m_started) return;
    m_started = false;
    m_lib.Shutdown();
}

int Host::AddLine(const LineOptions& o) {
    GSMLineConfig config{};
    config.ComPortNumber = o.com;
    config.BaudRate = o.baudRate;
    config.CallbackContext = this;
    config.LineCallback = &Host::OnDriverEvent;
    config.SendRetryCount = o.sendRetryCount;
    config.StatusReportsEnabled = o.statusReports;
    config.Reserved = o.statusReports ? QV_LINE_STATUS_REPORTS : 0;
    config.CanRecv = o.canRecv;
    config.CanSend = o.canSend;
    config.SupportsInternationalNumbers = o.international;
    config.CleanSIM = o.cleanSim;
    return m_lib.AddLine(&config);
}

int Host::Send(const std::string& number, const std::u16string& text, const JobOptions& o,
               int* jobId) {
    auto job = std::make_unique<Job>();
    job->text = text;
    job->number = number;
    SMSJob& r = job->record;
    r.Text = reinterpret_cast<const QVWCHAR*>(job->text.c_str());
    r.Number = job->number.c_str();
    r.CompletionCallback = &Host::OnDriverEvent;
    r.Line = o.line;
    r.FixedLine = o.fixed;
    r.NoRetry = o.noRetry;
    r.International = !number.empty() && number[0] == '+';
    Job* raw = job.get();
    int id;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = m_nextJobId++;
        m_jobs.push_back(std::move(job));
    }
    PutHostData(&r, id, this);
    *jobId = id;
    return m_lib.SendSMS(o.force7Bit, &raw->record);
}

bool Host::Next(HostEvent* out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_ready.wait_for(lock, timeout, [this] { return !m_events.empty(); })) return false;
    *out = std::move(m_events.front());
    m_events.pop_front();
    return true;
}

double Host::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

void Host::Push(HostEvent event) {
    event.seconds = Elapsed();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    m_ready.notify_all();
}

// Runs on the driver's worker threads: copy what is needed, never block.
void Host::OnDriverEvent(int code, int comPort, int eventKind, void* context, void* data,
                         int /*isSendResult*/) {
    HostEvent ev;
    ev.code = code;
    ev.com = comPort;
    Host* host = static_cast<Host*>(context);
    switch (eventKind) {
        case HOST_LINE_STATUS:
            ev.kind = HostEvent::Kind::LineStatus;
            break;
        case HOST_SMS_SENT: {
            const SMSJob* job = static_cast<const SMSJob*>(data);
            if (job == nullptr) return;
            if (host == nullptr) host = JobHost(job);  // the completion callback
            ev.kind = HostEvent::Kind::Sent;
            ev.jobId = JobId(job);
            ev.number = job->Number != nullptr ? job->Number : "";
            ev.text = reinterpret_cast<const char16_t*>(job->Text);
            ev.tries = job->Tries;
            ev.lastLine = job->LastLine;
            break;
        }
        case HOST_SMS_RECEIVED: {
            const ReceivedSMS* sms = static_cast<const ReceivedSMS*>(data);
            if (sms == nullptr) return;
            ev.kind = HostEvent::Kind::Received;
            ev.text = CopyText(sms->Text, sms->TextCapacity);
            ev.number = CopyNumber(sms->Number, sms->NumberCapacity);
            ev.parts = sms->Parts;
            break;
        }
        case HOST_SMS_STATUS: {
            const SMSStatusReport* report = static_cast<const SMSStatusReport*>(data);
            if (report == nullptr) return;
            ev.kind = HostEvent::Kind::Status;
            std::memcpy(&ev.jobId, report->HostData0, sizeof ev.jobId);
            ev.number = report->Number != nullptr ? report->Number : "";
            ev.part = report->Part;
            ev.parts = report->TotalParts;
            ev.reference = report->MessageReference;
            ev.status = report->Status;
            ev.final = report->Final != 0;
            ev.serviceCentreTime = report->ServiceCentreTime;
            ev.dischargeTime = report->DischargeTime;
            break;
        }
        default:
            return;
    }
    if (host != nullptr) host->Push(std::move(ev));
}

}  // namespace qvhost
