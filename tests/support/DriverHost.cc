#include "support/DriverHost.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "logging/tarn/tarn_log.h"
#include "pdu/Utf.h"
#include "platform/clock.h"
#include "support/WaitUntil.h"

namespace qvtest {

EventLog& EventLog::Get() {
    static EventLog log;
    return log;
}

void EventLog::Record(const HostEvent& event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
    }
    m_cv.notify_all();
}

std::vector<HostEvent> EventLog::Snapshot() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

bool EventLog::WaitFor(const std::function<bool(const std::vector<HostEvent>&)>& pred,
                       std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return pred(m_events); });
}

size_t EventLog::Count(int kind, int code, int comPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const HostEvent& e : m_events) {
        if (e.kind == kind && (code < 0 || e.code == code) && (comPort < 0 || e.comPort == comPort))
            ++n;
    }
    return n;
}

void EventLog::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

void QVCALL RecordingCallback(int code, int comPort, int eventKind, void* context, void* data,
                              int isSendResult) {
    HostEvent e;
    e.code = code;
    e.comPort = comPort;
    e.kind = eventKind;
    e.context = context;
    e.data = data;
    e.isSendResult = isSendResult;
    if (eventKind == HOST_SMS_STATUS && data != nullptr) {
        e.report = *static_cast<SMSStatusReport*>(data);
        e.number = e.report.Number != nullptr ? e.report.Number : "";
        e.report.Number = nullptr;
    }
    if (eventKind == HOST_SMS_RECEIVED && data != nullptr) {
        auto* sms = static_cast<ReceivedSMS*>(data);
        e.textCapacity = sms->TextCapacity;
        e.numberCapacity = sms->NumberCapacity;
        e.parts = sms->Parts;
        if (sms->Text != nullptr) {
            for (int i = 0; i < sms->TextCapacity; ++i) {
                if (sms->Text[i] == 0) {
                    e.textTerminated = true;
                    break;
                }
                e.text.push_back(static_cast<char16_t>(sms->Text[i]));
            }
        }
        if (sms->Number != nullptr) {
            for (int i = 0; i < sms->NumberCapacity; ++i) {
                if (sms->Number[i] == 0) {
                    e.numberTerminated = true;
                    break;
                }
                e.number.push_back(sms->Number[i]);
            }
        }
    }
    if (eventKind == HOST_SMS_SENT && data != nullptr) {
        auto* job = static_cast<SMSJob*>(data);
        e.jobResult = job->Result;
        e.jobTries = job->Tries;
        e.jobLastLine = job->LastLine;
        e.jobSendData = job->SendData;
        e.jobDevice = job->Device;
    }
    EventLog::Get().Record(e);
}

std::u16string U16(const std::string& utf8) {
    return pdu::Utf8ToUtf16(utf8);
}
std::string U8(const std::u16string& text) {
    return pdu::Utf16ToUtf8(text);
}

GSMLineConfig MakeLineConfig(int com, unsigned retries, bool canSend, bool canRecv,
                             bool international) {
    GSMLineConfig c{};
    c.ComPortNumber = com;
    c.BaudRate = 115200;
    c.CallbackContext = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000 + com));
    c.LineCallback = RecordingCallback;
    c.SendRetryCount = retries;
    c.CanRecv = canRecv ? 1 : 0;
    c.CanSend = canSend ? 1 : 0;
    c.SupportsInternationalNumbers = international ? 1 : 0;
    return c;
}

TestJob::TestJob(const std::string& number_, const std::u16string& text_, int line, int fixedLine)
    : text(text_), number(number_) {
    job.Text = reinterpret_cast<const QVWCHAR*>(text.c_str());
    job.Number = number.c_str();
    job.Line = line;
    job.FixedLine = fixedLine;
    job.CompletionCallback = RecordingCallback;
    job.International = !number.empty() && number[0] == '+';
}

DriverHost::DriverHost(double timeScale) {
    char tmpl[] = "/tmp/qvgsm-host-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        m_error = "mkdtemp failed";
        return;
    }
    m_dir = tmpl;
    setenv("QVGSM_COMDIR", m_dir.c_str(), 1);
    setenv("QVGSM_LOGDIR", m_dir.c_str(), 1);
    setenv("QVGSM_TIME_SCALE", std::to_string(timeScale).c_str(), 1);
    qvclock::SetScale(timeScale);
    m_handle = dlopen(QVGSM_DRIVER_SO, RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* err = dlerror();
        m_error = err != nullptr ? err : "dlopen failed";
        return;
    }
    Init = reinterpret_cast<int (*)()>(dlsym(m_handle, "gsmdrvInit"));
    Shutdown = reinterpret_cast<int (*)()>(dlsym(m_handle, "gsmdrvShutdown"));
    AddLine = reinterpret_cast<int (*)(const GSMLineConfig*)>(dlsym(m_handle, "gsmdrvaddGSMline"));
    ReinitLine = reinterpret_cast<int (*)(int)>(dlsym(m_handle, "gsmdrvreinitGSMline"));
    UninitLine = reinterpret_cast<int (*)(int)>(dlsym(m_handle, "gsmdrvuninitGSMline"));
    SendSMS = reinterpret_cast<int (*)(int, SMSJob*)>(dlsym(m_handle, "gsmdrvSendSMS"));
    if (!Init || !Shutdown || !AddLine || !ReinitLine || !UninitLine || !SendSMS) {
        m_error = "missing export";
        dlclose(m_handle);
        m_handle = nullptr;
    }
}

DriverHost::~DriverHost() {
    if (getenv("QVGSM_KEEP_DIR")) return;
    // The library stays loaded: its threads are gone after gsmdrvShutdown,
    // but a failed test may not have called it.
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

std::string DriverHost::ReadLog(int com) {
    tarn_flush_all();
    std::ifstream in(m_dir + "/GSM_COM" + std::to_string(com) + ".log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t DriverHost::CountInLog(int com, const std::string& text) {
    std::string log = ReadLog(com);
    size_t n = 0;
    for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) ++n;
    return n;
}

bool DriverHost::WaitInLog(int com, const std::string& text, size_t count,
                           std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return CountInLog(com, text) >= count; }, timeout);
}

void DriverFixture::SetUp() {
    EventLog::Get().Clear();
    host = std::make_unique<DriverHost>(TimeScale());
    ASSERT_TRUE(host->Loaded()) << host->Error();
    sim = std::make_unique<qvsim::Simulator>();
    ASSERT_EQ(host->Init(), QV_OK);
    initialised = true;
}

void DriverFixture::TearDown() {
    if (initialised && host) host->Shutdown();
    initialised = false;
    sim.reset();
    host.reset();
}

int DriverFixture::AddModem(int com, const qvsim::ModemConfig& config) {
    int modem = sim->Add(config);
    if (modem < 0) return -1;
    if (!sim->Link(modem, host->Dir(), com)) return -1;
    return modem;
}

void DriverFixture::BringUp(const GSMLineConfig& config) {
    ASSERT_EQ(host->AddLine(&config), QV_PENDING);
    int com = config.ComPortNumber;
    bool up = EventLog::Get().WaitFor(
        [com](const std::vector<HostEvent>& events) {
            for (const HostEvent& e : events) {
                // A missing log is said before the status itself.
                if (e.kind == HOST_LINE_STATUS && e.comPort == com && e.code != QV_LOGUNAVAILABLE)
                    return true;
            }
            return false;
        },
        std::chrono::seconds(30));
    ASSERT_TRUE(up) << "COM" << com << " did not report";
    ASSERT_EQ(EventLog::Get().Count(HOST_LINE_STATUS, QV_OK, com), 1u)
        << "COM" << com << " failed to initialise:\n"
        << host->ReadLog(com);
}

void DriverFixture::StopDriver() {
    ASSERT_TRUE(initialised);
    ASSERT_EQ(host->Shutdown(), QV_OK);
    initialised = false;
}

bool DriverFixture::WaitEvents(int kind, size_t n, std::chrono::milliseconds timeout) {
    return EventLog::Get().WaitFor(
        [kind, n](const std::vector<HostEvent>& events) {
            size_t k = 0;
            for (const HostEvent& e : events) k += e.kind == kind;
            return k >= n;
        },
        timeout);
}

bool DriverFixture::WaitSent(size_t n, std::chrono::milliseconds timeout) {
    return WaitEvents(HOST_SMS_SENT, n, timeout);
}

bool DriverFixture::WaitReceived(size_t n, std::chrono::milliseconds timeout) {
    return WaitEvents(HOST_SMS_RECEIVED, n, timeout);
}

}  // namespace qvtest
