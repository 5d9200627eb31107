#include "tools/serve/Gateway.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>

#include "pdu/Utf.h"
#include "tools/host/ResultText.h"
#include "tools/serve/Log.h"
#include "tools/sim/Simulator.h"

namespace qvserve {

struct Gateway::Job {
    SMSJob record{};
    std::u16string text;
    std::string number;
    int64_t id = 0;
};

namespace {

// HostData0 carries the message id (the driver copies it into delivery
// reports); HostData2 the gateway, for the completion callback that has no
// context.
void PutHostData(SMSJob* job, int64_t id, Gateway* gw) {
    static_assert(sizeof(job->HostData0) >= sizeof(int64_t));
    static_assert(sizeof(job->HostData2) >= sizeof(Gateway*));
    std::memcpy(job->HostData0, &id, sizeof id);
    std::memcpy(job->HostData2, &gw, sizeof gw);
}

int64_t MessageId(const unsigned char (&data)[8]) {
    int64_t id;
    std::memcpy(&id, data, sizeof id);
    return id;
}

std::string Bounded(const char* text, int32_t capacity) {
    std::string out;
    for (int32_t i = 0; text != nullptr && (capacity <= 0 || i < capacity) && text[i] != '\0'; ++i)
        out.push_back(text[i]);
    return out;
}

std::u16string Bounded(const QVWCHAR* text, int32_t capacity) {
    std::u16string out;
    for (int32_t i = 0; text != nullptr && (capacity <= 0 || i < capacity) && text[i] != 0; ++i)
        out.push_back(static_cast<char16_t>(text[i]));
    return out;
}

std::string Com(int com) {
    return "COM" + std::to_string(com);
}

// A job's callback has come; the driver may still be on its way out of
// the call that made it, so the record lives on this long.
constexpr auto kJobLinger = std::chrono::seconds(30);
// Jobs in the driver's hands per sending line that is up: one being sent,
// one ready. Few, so a crash leaves few rows whose fate is unknown.
constexpr size_t kJobsPerLine = 2;
// Well inside the driver's own limit of waiting jobs.
constexpr size_t kMaxJobs = QVGSM_MAX_WAITING_JOBS / 2;
// After the driver refused to take a job, hand over nothing for this long.
constexpr auto kRefusalPause = std::chrono::seconds(1);

}  // namespace

Gateway::Gateway(const ServeConfig& config, Store& store) : m_config(config), m_store(store) {}

Gateway::~Gateway() {
    Stop(std::chrono::milliseconds(0));
}

bool Gateway::Start(const std::string& libOption, std::string* error) {
    if (!m_config.logDir.empty()) setenv("QVGSM_LOGDIR", m_config.logDir.c_str(), 1);
    const char* logDir = std::getenv("QVGSM_LOGDIR");
    m_logDir = logDir != nullptr && *logDir != '\0' ? logDir : ".";
    if (!m_comDir.Create("qvgsm-serve-com", error)) return false;
    if (m_config.simulate > 0) {
        m_sim = std::make_unique<qvsim::Simulator>();
        for (int i = 0; i < m_config.simulate; ++i) {
            int id = m_sim->Add();
            if (id < 0) {
                *error = "no pseudo-terminal for a simulated modem";
                return false;
            }
            LineSetting line;
            line.com = i + 1;
            line.device = m_sim->SlavePath(id);
            line.statusReports = true;
            m_config.lines.push_back(line);
        }
    }
    for (const auto& line : m_config.lines) {
        std::string detail;
        if (qvhost::CheckDevice(line.device, &detail) != qvhost::DeviceState::Ready) {
            *error = Com(line.com) + ": " + detail;
            return false;
        }
        if (!qvhost::LinkCom(m_comDir.Path(), line.com, line.device, error)) return false;
        LineView view;
        view.setting = line;
        view.since = NowMs();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines[line.com] = view;
    }
    setenv("QVGSM_COMDIR", m_comDir.Path().c_str(), 1);

    std::vector<std::string> tried;
    std::string path = qvhost::FindDriverLibrary(libOption, &tried);
    if (path.empty()) {
        *error = "libqvGSMcomdrv.so not found (give --lib PATH)";
        return false;
    }
    if (!m_lib.Load(path, error)) return false;
    int rc = m_lib.Init();
    if (rc != QV_OK) {
        *error = "the driver did not start: " + qvhost::ResultText(rc);
        return false;
    }
    m_driverUp = true;
    Log("driver " + path + " started; line logs in " + m_logDir);
    for (const auto& line : m_config.lines) {
        GSMLineConfig c{};
        c.ComPortNumber = line.com;
        c.BaudRate = 115200;
        c.CallbackContext = this;
        c.LineCallback = &Gateway::OnDriverEvent;
        c.SendRetryCount = line.retries;
        c.StatusReportsEnabled = line.statusReports;
        c.Reserved = line.statusReports ? QV_LINE_STATUS_REPORTS : 0;
        c.CanRecv = line.receive;
        c.CanSend = line.send;
        c.SupportsInternationalNumbers = line.international;
        if (!line.serviceCentre.empty()) {
            c.CustomISPNumber = 1;
            std::snprintf(c.SMSCNumber, sizeof c.SMSCNumber, "%s", line.serviceCentre.c_str());
        }
        rc = m_lib.AddLine(&c);
        if (rc != QV_PENDING && rc != QV_OK) {
            *error = Com(line.com) + " was refused: " + qvhost::ResultText(rc);
            return false;
        }
        Log(Com(line.com) + " on " + line.device + ": initialising");
    }
    m_dispatcher = std::thread([this] { Dispatch(); });
    return true;
}

void Gateway::Stop(std::chrono::milliseconds grace) {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        m_stopping = true;
        m_wake.notify_all();
    }
    if (m_dispatcher.joinable()) m_dispatcher.join();
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_jobs.empty())
            Log("waiting for " + std::to_string(m_jobs.size()) + " job(s) in flight");
        m_wake.wait_for(lock, grace, [this] { return m_jobs.empty(); });
    }
    if (m_driverUp) {
        m_driverUp = false;
        m_lib.Shutdown();  // jobs still held end with QV_ABORTED, every callback has come
    }
    m_sim.reset();
}

void Gateway::Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queued = true;
    m_wake.notify_all();
}

size_t Gateway::Window() {
    size_t up = 0;
    for (const auto& [com, line] : m_lines) {
        if (line.state == "up" && line.setting.send) ++up;
    }
    return std::min(up * kJobsPerLine, kMaxJobs);
}

void Gateway::Dispatch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        auto now = std::chrono::steady_clock::now();
        while (!m_done.empty() && now - m_done.front().first > kJobLinger) m_done.pop_front();
        auto retryDue = RetryLines(lock);
        if (m_stopping) break;
        size_t window = Window();
        if (!m_queued || m_jobs.size() >= window) {
            // Woken by a new row, a job's end or a line coming up; the time
            // limit frees lingering job records and starts failed lines.
            m_wake.wait_for(lock, std::min<std::chrono::milliseconds>(kJobLinger, retryDue));
            continue;
        }
        size_t room = window - m_jobs.size();
        lock.unlock();
        std::vector<Message> rows;
        try {
            rows = m_store.Claim(room);
        } catch (const std::exception& e) {
            Log(std::string("cannot read the queue: ") + e.what());
        }
        bool refused = false;
        for (const auto& m : rows) refused = !HandOver(m) || refused;
        lock.lock();
        if (rows.size() < room && !refused) m_queued = false;
        // The rows it refused are queued again; give the driver a moment.
        if (refused && !m_stopping) m_wake.wait_for(lock, kRefusalPause);
    }
}

std::chrono::milliseconds Gateway::RetryLines(std::unique_lock<std::mutex>& lock) {
    const int64_t retryMs = static_cast<int64_t>(m_config.lineRetry * 1000);
    int64_t now = NowMs(), next = retryMs;
    std::vector<int> due;
    for (auto& [com, line] : m_lines) {
        if (line.state != "failed") continue;
        if (now - line.since >= retryMs) {
            due.push_back(com);
            line.state = "initialising";
            line.since = now;
        } else {
            next = std::min(next, line.since + retryMs - now);
        }
    }
    if (!due.empty()) {
        lock.unlock();
        std::vector<std::pair<int, int>> refused;
        for (int com : due) {
            int rc = m_lib.ReinitLine(com);
            if (rc == QV_OK || rc == QV_PENDING) {
                Log(Com(com) + ": initialising again");
            } else {
                Log(Com(com) + ": cannot initialise again: " + qvhost::ResultText(rc));
                refused.emplace_back(com, rc);
            }
        }
        lock.lock();
        for (auto [com, rc] : refused) {
            LineView& line = m_lines[com];
            line.state = "failed";
            line.lastCode = rc;
            line.lastResult = qvhost::ResultName(rc);
            line.since = NowMs();
        }
    }
    return std::chrono::milliseconds(std::max<int64_t>(next, 1));
}

int Gateway::ReportLineFor(const Message& m) {
    if (m.line) return *m.line;
    std::vector<int> coms;
    for (const auto& [com, line] : m_lines) {
        if (line.setting.statusReports && line.setting.send && line.state == "up")
            coms.push_back(com);
    }
    if (coms.empty()) return -1;
    return coms[m_nextReportLine++ % coms.size()];
}

bool Gateway::HandOver(const Message& m) {
    auto job = std::make_unique<Job>();
    job->id = m.id;
    job->number = m.to;
    job->text = pdu::Utf8ToUtf16(m.text);
    SMSJob& r = job->record;
    r.Text = reinterpret_cast<const QVWCHAR*>(job->text.c_str());
    r.Number = job->number.c_str();
    r.CompletionCallback = &Gateway::OnDriverEvent;
    r.International = !m.to.empty() && m.to[0] == '+';
    r.Line = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Reports are asked for per line: a message that wants them goes to
        // a line that asks.
        int line = m.statusReport ? ReportLineFor(m) : m.line.value_or(-1);
        r.Line = line;
        r.FixedLine = line > 0;
    }
    PutHostData(&r, m.id, this);
    SMSJob* raw = &job->record;
    {
        // Registered first: the callback may come before the call returns.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs[m.id] = std::move(job);
    }
    int rc = m_lib.SendSMS(0, raw);
    if (rc == QV_PENDING || rc == QV_OK) return true;
    std::unique_ptr<Job> back;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        back = std::move(m_jobs[m.id]);
        m_jobs.erase(m.id);
    }
    const std::string why = qvhost::ResultName(rc) + ": " + qvhost::ResultText(rc);
    if (rc == QV_OUTOFMEMORY || rc == QV_GENERICERROR || rc == QV_NOTINITIALIZED ||
        rc == QV_NOSENDLINE) {
        m_store.Requeue(m.id, "the driver did not take it (" + why + "); kept queued");
        Log("message " + std::to_string(m.id) + " kept queued: " + why);
        return false;
    }
    m_store.Finish(m.id, "failed", 0, rc, 0, "refused by the driver: " + why);
    Log("message " + std::to_string(m.id) + " failed: " + why);
    return true;
}

void Gateway::OnDriverEvent(int code, int comPort, int eventKind, void* context, void* data,
                            int /*isSendResult*/) {
    Gateway* gw = static_cast<Gateway*>(context);
    switch (eventKind) {
        case HOST_LINE_STATUS:
            if (gw != nullptr) gw->OnLineStatus(comPort, code);
            return;
        case HOST_SMS_SENT: {
            SMSJob* job = static_cast<SMSJob*>(data);
            if (job == nullptr) return;
            if (gw == nullptr) std::memcpy(&gw, job->HostData2, sizeof gw);
            if (gw != nullptr) gw->OnSent(comPort, code, job);
            return;
        }
        case HOST_SMS_RECEIVED:
            if (gw != nullptr && data != nullptr)
                gw->OnReceivedSms(comPort, static_cast<const ReceivedSMS*>(data));
            return;
        case HOST_SMS_STATUS:
            if (gw != nullptr && data != nullptr)
                gw->OnStatusReport(comPort, static_cast<const SMSStatusReport*>(data));
            return;
        default:
            return;
    }
}

void Gateway::OnLineStatus(int com, int code) {
    if (code == QV_LOGUNAVAILABLE) {
        // A notice before the line's status: the line itself is unaffected.
        Log(Com(com) + ": " + qvhost::ResultText(code));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_lines.find(com);
        if (it == m_lines.end()) return;
        LineView& line = it->second;
        line.state = code == QV_OK ? "up" : "failed";
        line.lastCode = code;
        line.lastResult = qvhost::ResultName(code);
        line.since = NowMs();
        m_wake.notify_all();
    }
    if (code == QV_OK) {
        ReadSignal(com);
        Log(Com(com) + ": up");
    } else {
        Log(Com(com) + ": failed: " + qvhost::ResultText(code) + " (" + qvhost::ResultName(code) +
            ")");
    }
}

void Gateway::ReadSignal(int com) {
    std::ifstream in(m_logDir + "/GSM_COM" + std::to_string(com) + ".log");
    static const std::regex csq(R"(\+CSQ: *(\d+),)");
    int rssi = -1;
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_search(text, m, csq)) rssi = std::stoi(m[1]);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines[com].signal = rssi;
}

void Gateway::OnSent(int com, int code, SMSJob* job) {
    const int64_t id = MessageId(job->HostData0);
    // Tries counts the failed attempts; a success is one more.
    const int tries = static_cast<int>(job->Tries) + (code == QV_OK ? 1 : 0);
    const int line = job->LastLine > 0 ? job->LastLine : com;
    std::string state, detail;
    if (code == QV_OK) {
        state = "sent";
        detail = "sent on " + Com(line);
    } else if (code == QV_ABORTED && tries == 0) {
        state = "queued";
        detail = "the driver stopped before trying it; queued again";
    } else if (code == QV_ABORTED) {
        bool again = m_config.delivery == Delivery::AtLeastOnce;
        state = again ? "queued" : "unknown";
        detail = std::string("the driver stopped while sending it; ") +
                 (again ? "queued again (at-least-once)" : "not sent again (at-most-once)");
    } else {
        state = "failed";
        detail = qvhost::ResultText(code) + " (" + qvhost::ResultName(code) + ")";
    }
    try {
        m_store.Finish(id, state, line, code, tries, detail);
    } catch (const std::exception& e) {
        Log("message " + std::to_string(id) + ": cannot record '" + state + "': " + e.what());
    }
    Log("message " + std::to_string(id) + " " + state + " after " + std::to_string(tries) +
        " attempt(s): " + detail);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto it = m_lines.find(line); it != m_lines.end()) {
        (code == QV_OK ? it->second.sent : it->second.failed)++;
        it->second.lastCode = code;
        it->second.lastResult = qvhost::ResultName(code);
    }
    auto it = m_jobs.find(id);
    if (it != m_jobs.end()) {
        m_done.emplace_back(std::chrono::steady_clock::now(), std::move(it->second));
        m_jobs.erase(it);
    }
    if (state == "queued") m_queued = true;
    m_wake.notify_all();
}

void Gateway::OnReceivedSms(int com, const ReceivedSMS* sms) {
    const std::string from = Bounded(sms->Number, sms->NumberCapacity);
    const std::string text = pdu::Utf16ToUtf8(Bounded(sms->Text, sms->TextCapacity));
    bool duplicate = false;
    int64_t id = 0;
    try {
        // Committed before this callback returns: only then does the driver
        // delete the message from the SIM.
        id = m_store.AddInbox(com, from, text, static_cast<int>(sms->Parts),
                              !m_config.webhookUrl.empty(), &duplicate);
    } catch (const std::exception& e) {
        // Returning would let the driver delete a message nobody kept:
        // leave it on the SIM for the next start.
        Log(Com(com) + ": cannot store a message from " + from + ": " + e.what() +
            "; stopping so that it stays on the SIM");
        std::_Exit(70);
    }
    if (duplicate) {
        Log(Com(com) + ": message from " + from + " read again after an unclean stop; inbox " +
            std::to_string(id) + " already holds it");
        return;
    }
    Log(Com(com) + ": received inbox " + std::to_string(id) + " from " + from + " (" +
        std::to_string(sms->Parts) + " part(s))");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (auto it = m_lines.find(com); it != m_lines.end()) ++it->second.received;
    }
    if (m_onReceived) m_onReceived();
}

void Gateway::OnStatusReport(int com, const SMSStatusReport* r) {
    const int64_t id = MessageId(r->HostData0);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (auto it = m_lines.find(com); it != m_lines.end()) ++it->second.reports;
        if (id == 0) ++m_unmatchedReports;
    }
    char status[8];
    std::snprintf(status, sizeof status, "0x%02X", static_cast<unsigned>(r->Status) & 0xFF);
    if (id == 0) {
        Log(Com(com) + ": report for " + Bounded(r->Number, 0) + " (reference " +
            std::to_string(r->MessageReference) + ", status " + status + ") matches no message");
        return;
    }
    PartReport p;
    p.part = static_cast<int>(r->Part);
    p.totalParts = static_cast<int>(r->TotalParts);
    p.reference = r->MessageReference;
    p.status = r->Status;
    p.final = r->Final != 0;
    p.serviceCentreTime = r->ServiceCentreTime;
    p.dischargeTime = r->DischargeTime;
    std::string newState;
    try {
        if (!m_store.AddReport(id, p, &newState)) {
            Log(Com(com) + ": report for unknown message " + std::to_string(id));
            return;
        }
    } catch (const std::exception& e) {
        Log("message " + std::to_string(id) + ": cannot record a report: " + e.what());
        return;
    }
    Log("message " + std::to_string(id) + ": report for part " + std::to_string(p.part) + "/" +
        std::to_string(p.totalParts) + ", status " + status +
        (newState.empty() ? "" : "; now " + newState));
}

std::vector<LineView> Gateway::Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<LineView> out;
    for (const auto& [com, line] : m_lines) out.push_back(line);
    return out;
}

bool Gateway::HasLine(int com) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines.count(com) != 0;
}

bool Gateway::LineSends(int com) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_lines.find(com);
    return it != m_lines.end() && it->second.setting.send;
}

bool Gateway::LineReports(int com) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_lines.find(com);
    return it != m_lines.end() && it->second.setting.statusReports;
}

bool Gateway::AnyReportLine() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [com, line] : m_lines) {
        if (line.setting.statusReports && line.setting.send) return true;
    }
    return false;
}

size_t Gateway::InFlight() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_jobs.size();
}

int64_t Gateway::UnmatchedReports() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unmatchedReports;
}

bool Gateway::Inject(int com, const std::string& from, const std::string& text,
                     std::string* error) {
    if (!m_sim) {
        *error = "only simulated modems take injected messages";
        return false;
    }
    if (com < 1 || com > m_sim->Count()) {
        *error = "no simulated modem on COM" + std::to_string(com);
        return false;
    }
    auto stored = m_sim->Inject(com - 1, from, text);
    for (int index : stored) {
        if (index < 0) {
            *error = "the simulated SIM is full";
            return false;
        }
    }
    return true;
}

}  // namespace qvserve
