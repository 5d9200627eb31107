#include "support/LineFixture.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "io/ComPort.h"
#include "pdu/Utf.h"
#include "platform/clock.h"
#include "support/ProcessDir.h"

namespace qvtest {
namespace {

std::atomic<int> g_NextCom{1};

}  // namespace

const std::string& LineComDir() {
    static std::string dir = ProcessDir("/tmp/qvgsm-lines-XXXXXX", "QVGSM_COMDIR");
    return dir;
}

const std::string& LineLogDir() {
    static std::string dir = ProcessDir("/tmp/qvgsm-linelogs-XXXXXX", "QVGSM_LOGDIR");
    return dir;
}

int NextComNumber() {
    return g_NextCom++;
}

void RaiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

GSMLineConfig DefaultConfig(int com) {
    GSMLineConfig config;
    memset(&config, 0, sizeof(config));
    config.ComPortNumber = com;
    config.BaudRate = 115200;
    config.SendRetryCount = 1;
    config.CanSend = 1;
    return config;
}

Line::Line(qvsim::Simulator& sim, CAThreadPool* pool, const GSMLineConfig& config,
           const qvsim::ModemConfig& modem)
    : m_Sim(sim), m_pPool(pool) {
    LineComDir();
    LineLogDir();
    m_nModem = sim.Add(modem);
    if (m_nModem < 0) return;
    if (!sim.Link(m_nModem, LineComDir(), config.ComPortNumber)) {
        m_nModem = -1;
        return;
    }
    m_pDevice = std::make_unique<TestDevice>(&config, new ComPort(), &m_Log, pool);
    m_pDevice->SetDeviceEventHandler(OnDeviceEvent, this);
}

Line::~Line() {
    if (!m_pDevice) return;
    m_pDevice->Uninit(0);
    // Work the fixture posted, and the line's own timers, end before the line goes.
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_nPosted == 0; });
    lock.unlock();
    m_pDevice->Uninit(0);
    WaitUntil([this] { return m_pDevice->WorkRefs() == 0; }, std::chrono::seconds(20));
    m_pDevice.reset();
}

void Line::Post(void (*step)(Line*)) {
    struct Item {
        Line* line;
        void (*step)(Line*);
    };
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        ++m_nPosted;
    }
    auto* item = new Item{this, step};
    if (m_pPool->QueueWorkItem(item, RunPosted) != 0) {
        delete item;
        std::lock_guard<std::mutex> guard(m_Mutex);
        --m_nPosted;
        m_Changed.notify_all();
    }
}

int Line::RunPosted(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    struct Item {
        Line* line;
        void (*step)(Line*);
    };
    auto* item = static_cast<Item*>(context);
    Line* line = item->line;
    item->step(line);
    delete item;
    std::lock_guard<std::mutex> guard(line->m_Mutex);
    --line->m_nPosted;
    line->m_Changed.notify_all();
    return 0;
}

void Line::StartInit() {
    Post([](Line* line) {
        line->m_pDevice->ResetInitAttempts();
        line->m_pDevice->Init();
    });
}

int Line::OnDeviceEvent(int event, GSMDevice* device, int code, void* owner, void* data) {
    (void)device;
    auto* line = static_cast<Line*>(owner);
    EventRecord record;
    record.event = event;
    record.code = code;
    record.platformMs = qvclock::NowMs();
    if (event == DEV_SMS_RECEIVED && data) {
        auto* sms = static_cast<ReceivedSMS*>(data);
        if (sms->Text) {
            record.text =
                pdu::Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(sms->Text)));
        }
        if (sms->Number) record.number = sms->Number;
        record.parts = sms->Parts;
    }
    if (line->m_bActAsManager) {
        if (event == DEV_INIT_RETRY) {
            // As the manager does: the next attempt once the close is over.
            line->Post([](Line* l) {
                l->m_pDevice->BeginUninit(
                    [l] { l->Post([](Line* again) { again->m_pDevice->Init(); }); });
            });
        } else if (event == DEV_INIT_FAILED) {
            line->Post([](Line* l) { l->m_pDevice->Uninit(0); });
        }
    }
    std::lock_guard<std::mutex> guard(line->m_Mutex);
    line->m_Events.push_back(record);
    line->m_Changed.notify_all();
    return 0;
}

bool Line::WaitForEvent(int event, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [&] {
        for (const EventRecord& r : m_Events) {
            if (r.event == event) return true;
        }
        return false;
    });
}

bool Line::WaitForInitEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [&] {
        for (const EventRecord& r : m_Events) {
            if (r.event == DEV_INIT_OK || r.event == DEV_INIT_FAILED) return true;
        }
        return false;
    });
}

std::vector<EventRecord> Line::Events() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    return m_Events;
}

int Line::CountEvents(int event) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    int n = 0;
    for (const EventRecord& r : m_Events) n += r.event == event ? 1 : 0;
    return n;
}

std::vector<std::string> Line::Commands() {
    return m_Sim.Commands(m_nModem);
}

void LineTest::SetUp() {
    RaiseFileLimit();
    LineComDir();
    LineLogDir();
    ASSERT_EQ(m_Pool.Start(0), 0);
    m_pSim = std::make_unique<qvsim::Simulator>();
}

void LineTest::TearDown() {
    m_Lines.clear();
    m_pSim.reset();
    m_Pool.Shutdown();
    qvclock::SetScale(1);
}

Line* LineTest::AddLine(const GSMLineConfig& config, const qvsim::ModemConfig& modem) {
    auto line = std::make_unique<Line>(*m_pSim, &m_Pool, config, modem);
    if (!line->ok()) return nullptr;
    m_Lines.push_back(std::move(line));
    return m_Lines.back().get();
}

}  // namespace qvtest
