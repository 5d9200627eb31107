#include "tools/sim/Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <stdexcept>

#include "platform/clock.h"
#include "platform/pty.h"
#include "tools/sim/SimModem.h"
#include "tools/sim/SimPdu.h"

namespace qvsim {

struct Simulator::Entry {
    std::unique_ptr<SimModem> modem;
    qvpty::Pair pty;
    bool plugged = false;
    std::string dir;  // link folder, empty when not linked
    int com = -1;
    std::optional<SteadyTime> replugAt;
    size_t seenCommands = 0;
    size_t seenRejected = 0;
};

namespace {

// Each modem holds two descriptors and its client one more: lift the soft
// limit so that a process can run a couple of thousand of them.
void RaiseDescriptorLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

std::string Describe(const Submit& s) {
    std::string out = "to " + s.number + " ref " + std::to_string(s.messageReference);
    if (s.concatReference >= 0) {
        out += " part " + std::to_string(s.part) + "/" + std::to_string(s.total) + " (concat " +
               std::to_string(s.concatReference) + ")";
    }
    if (s.statusReport) out += " status-report";
    return out + ": " + s.utf8;
}

}  // namespace

Simulator::Simulator() {
    RaiseDescriptorLimit();
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("sim: no pipe");
    m_thread = std::thread([this] { Loop(); });
}

Simulator::~Simulator() {
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_stop = true;
    }
    Wake();
    m_thread.join();
    for (auto& e : m_modems) {
        ClosePty(*e);
        if (!e->dir.empty()) unlink((e->dir + "/com" + std::to_string(e->com)).c_str());
    }
    close(m_wake[0]);
    close(m_wake[1]);
}

Simulator::Entry& Simulator::At(int modem) const {
    if (modem < 0 || modem >= static_cast<int>(m_modems.size())) {
        throw std::out_of_range("sim: no modem " + std::to_string(modem));
    }
    return *m_modems[modem];
}

void Simulator::Wake() {
    char c = 1;
    ssize_t r = write(m_wake[1], &c, 1);
    (void)r;  // a full pipe already wakes the loop
}

void Simulator::Changed() {
    ++m_generation;
    m_changed.notify_all();
}

bool Simulator::OpenPty(Entry& e) {
    qvpty::Pair pair;
    if (!qvpty::Open(&pair)) return false;
    e.pty = pair;
    e.plugged = true;
    return true;
}

void Simulator::ClosePty(Entry& e) {
    if (e.plugged) qvpty::Close(&e.pty);
    e.plugged = false;
}

void Simulator::Relink(Entry& e) {
    if (e.dir.empty()) return;
    std::string link = e.dir + "/com" + std::to_string(e.com);
    unlink(link.c_str());
    if (symlink(e.pty.slavePath.c_str(), link.c_str()) != 0) e.dir.clear();
}

int Simulator::Add(const ModemConfig& config) {
    auto e = std::make_unique<Entry>();
    e->modem = std::make_unique<SimModem>(config);
    if (!OpenPty(*e)) return -1;
    std::lock_guard<std::mutex> lk(m_mutex);
    m_modems.push_back(std::move(e));
    Wake();
    return static_cast<int>(m_modems.size()) - 1;
}

bool Simulator::Link(int modem, const std::string& dir, int com) {
    std::lock_guard<std::mutex> lk(m_mutex);
    Entry& e = At(modem);
    if (!e.dir.empty()) unlink((e.dir + "/com" + std::to_string(e.com)).c_str());
    e.dir = dir;
    e.com = com;
    Relink(e);
    return !e.dir.empty();
}

std::string Simulator::SlavePath(int modem) const {
    std::lock_guard<std::mutex> lk(m_mutex);
    return At(modem).pty.slavePath;
}

std::string Simulator::LinkPath(int modem) const {
    std::lock_guard<std::mutex> lk(m_mutex);
    Entry& e = At(modem);
    return e.dir.empty() ? std::string() : e.dir + "/com" + std::to_string(e.com);
}

int Simulator::Count() const {
    std::lock_guard<std::mutex> lk(m_mutex);
    return static_cast<int>(m_modems.size());
}

void Simulator::Configure(int modem, const std::function<void(ModemConfig&)>& change) {
    std::lock_guard<std::mutex> lk(m_mutex);
    SimModem& m = *At(modem).modem;
    size_t capacity = m.config.capacity;
    change(m.config);
    m.config.capacity = capacity;
}

std::vector<int> Simulator::Inject(int modem, const Incoming& message) {
    std::lock_guard<std::mutex> lk(m_mutex);
    Entry& e = At(modem);
    Incoming in = message;
    if (!e.plugged) in.announce = false;  // nobody to tell
    std::vector<int> indices = e.modem->Inject(in, std::chrono::steady_clock::now());
    Changed();
    Wake();
    return indices;
}

std::vector<int> Simulator::Inject(int modem, const std::string& sender,
                                   const std::string& utf8Text) {
    Incoming in;
    in.sender = sender;
    in.text = FromUtf8(utf8Text);
    return Inject(modem, in);
}

int Simulator::StorePdu(int modem, const std::string& pdu, int stat, bool announce) {
    std::lock_guard<std::mutex> lk(m_mutex);
    Entry& e = At(modem);
    int index = e.modem->Store(pdu, stat, announce && e.plugged, std::chrono::steady_clock::now());
    Changed();
    Wake();
    return index;
}

void Simulator::Unsolicited(int modem, const std::string& bytes) {
    std::lock_guard<std::mutex> lk(m_mutex);
    At(modem).modem->Unsolicited(bytes, std::chrono::steady_clock::now());
    Wake();
}

void Simulator::AddFault(int modem, const Fault& fault) {
    std::lock_guard<std::mutex> lk(m_mutex);
    At(modem).modem->AddFault(fault);
}

bool Simulator::AddFault(int modem, const std::string& rule, std::string* error) {
    Fault f;
    if (!ParseFault(rule, &f, error)) return false;
    AddFault(modem, f);
    return true;
}

void Simulator::ClearFaults(int modem) {
    std::lock_guard<std::mutex> lk(m_mutex);
    At(modem).modem->ClearFaults();
}

void Simulator::HangUp(int modem) {
    std::lock_guard<std::mutex> lk(m_mutex);
    Entry& e = At(modem);
    ClosePty(e);
    e.replugAt.reset();
    Changed();
    Wake();
}

bool Simulator::Replug(int modem) {
    std::lock_guard<std::mutex> lk(m_mutex);
    Entry& e = At(modem);
    ClosePty(e);
    e.replugAt.reset();
    e.modem->Reset();
    if (!OpenPty(e)) return false;
    Relink(e);
    Changed();
    Wake();
    return true;
}

bool Simulator::Plugged(int modem) const {
    std::lock_guard<std::mutex> lk(m_mutex);
    return At(modem).plugged;
}

std::vector<Submit> Simulator::Submits(int modem) const {
    std::lock_guard<std::mutex> lk(m_mutex);
    return At(modem).modem->submits;
}

std::vector<Rejected> Simulator::RejectedPdus(int modem) const {
    std::lock_guard<std::mutex> lk(m_mutex);
    return At(modem).modem->rejected;
}

std::vector<std::string> Simulator::Commands(int modem) const {
    std::lock_guard<std::mutex> lk(m_mutex);
    return At(modem).modem->commands;
}

std::vector<StoredMessage> Simulator::Stored(int modem) const {
    std::lock_guard<std::mutex> lk(m_mutex);
    std::vector<StoredMessage> out;
    const auto& slots = At(modem).modem->slots;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].used) out.push_back({static_cast<int>(i) + 1, slots[i].stat, slots[i].pdu});
    }
    return out;
}

int Simulator::Dropped(int modem) const {
    std::lock_guard<std::mutex> lk(m_mutex);
    return At(modem).modem->dropped;
}

std::vector<std::string> Simulator::StatusReports(int modem) const {
    std::lock_guard<std::mutex> lk(m_mutex);
    return At(modem).modem->reports;
}

void Simulator::ClearRecords(int modem) {
    std::lock_guard<std::mutex> lk(m_mutex);
    Entry& e = At(modem);
    e.modem->submits.clear();
    e.modem->reports.clear();
    e.modem->rejected.clear();
    e.modem->commands.clear();
    e.modem->seenSubmits = e.seenCommands = e.seenRejected = 0;
}

bool Simulator::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        uint64_t generation;
        {
            std::lock_guard<std::mutex> lk(m_mutex);
            generation = m_generation;
        }
        if (pred()) return true;
        std::unique_lock<std::mutex> lk(m_mutex);
        if (!m_changed.wait_until(lk, deadline, [&] { return m_generation != generation; })) {
            lk.unlock();
            return pred();
        }
    }
}

bool Simulator::WaitForSubmits(int modem, size_t count, std::chrono::milliseconds timeout) {
    return WaitFor([&] { return Submits(modem).size() >= count; }, timeout);
}

bool Simulator::WaitForStatusReports(int modem, size_t count, std::chrono::milliseconds timeout) {
    return WaitFor([&] { return StatusReports(modem).size() >= count; }, timeout);
}

bool Simulator::WaitForCommand(int modem, const std::string& prefix,
                               std::chrono::milliseconds timeout) {
    auto upper = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    const std::string p = upper(prefix);
    return WaitFor(
        [&] {
            for (const std::string& c : Commands(modem)) {
                if (upper(c).rfind(p, 0) == 0) return true;
            }
            return false;
        },
        timeout);
}

void Simulator::SetObserver(std::function<void(const SimEvent&)> observer) {
    std::lock_guard<std::mutex> lk(m_mutex);
    m_observer = std::move(observer);
}

void Simulator::Loop() {
    std::vector<pollfd> fds;
    std::vector<int> ids;
    std::vector<SimEvent> events;
    std::vector<char> buf(16384);
    std::unique_lock<std::mutex> lk(m_mutex);
    while (!m_stop) {
        auto now = std::chrono::steady_clock::now();
        auto next = now + std::chrono::seconds(1);
        fds.clear();
        ids.clear();
        fds.push_back({m_wake[0], POLLIN, 0});
        ids.push_back(-1);
        for (size_t i = 0; i < m_modems.size(); ++i) {
            Entry& e = *m_modems[i];
            if (!e.plugged) {
                if (e.replugAt) next = std::min(next, *e.replugAt);
                continue;
            }
            if (auto due = e.modem->NextReportDue()) next = std::min(next, *due);
            short ev = POLLIN;
            if (!e.modem->out.empty()) {
                if (e.modem->out.front().due <= now) {
                    ev |= POLLOUT;
                } else {
                    next = std::min(next, e.modem->out.front().due);
                }
            }
            fds.push_back({e.pty.master, ev, 0});
            ids.push_back(static_cast<int>(i));
        }
        auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
        int timeoutMs = wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
        lk.unlock();
        poll(fds.data(), fds.size(), timeoutMs);
        lk.lock();
        if (fds[0].revents & POLLIN) {
            char drain[256];
            while (read(m_wake[0], drain, sizeof drain) > 0) {
            }
        }
        now = std::chrono::steady_clock::now();
        bool activity = false;
        for (size_t k = 1; k < fds.size(); ++k) {
            Entry& e = *m_modems[ids[k]];
            if (!e.plugged || e.pty.master != fds[k].fd || !(fds[k].revents & POLLIN)) continue;
            for (int rounds = 0; rounds < 4; ++rounds) {
                ssize_t n = read(e.pty.master, buf.data(), buf.size());
                if (n <= 0) break;
                e.modem->Feed(buf.data(), static_cast<size_t>(n), now);
                activity = true;
            }
        }
        for (size_t i = 0; i < m_modems.size(); ++i) {
            Entry& e = *m_modems[i];
            SimModem& m = *e.modem;
            if (!e.plugged && e.replugAt && *e.replugAt <= now) {
                e.replugAt.reset();
                m.Reset();
                if (OpenPty(e)) {
                    Relink(e);
                    events.push_back(
                        {SimEvent::Kind::Replug, static_cast<int>(i), e.pty.slavePath});
                    activity = true;
                }
            }
            if (e.plugged && m.ProduceReports(now)) activity = true;
            while (e.plugged && !m.out.empty() && m.out.front().due <= now) {
                std::string& bytes = m.out.front().bytes;
                ssize_t n = write(e.pty.master, bytes.data(), bytes.size());
                if (n <= 0) break;
                activity = true;
                if (static_cast<size_t>(n) < bytes.size()) {
                    bytes.erase(0, static_cast<size_t>(n));
                    break;
                }
                m.out.pop_front();
            }
            if (e.plugged && m.hangUpRequested) {
                ClosePty(e);
                m.hangUpRequested = false;
                if (m.replugMs > 0) {
                    e.replugAt = now + std::chrono::nanoseconds(qvclock::ToRealNs(m.replugMs));
                }
                events.push_back({SimEvent::Kind::HangUp, static_cast<int>(i), ""});
                activity = true;
            }
            if (!m_observer) continue;
            for (; e.seenCommands < m.commands.size(); ++e.seenCommands) {
                events.push_back(
                    {SimEvent::Kind::Command, static_cast<int>(i), m.commands[e.seenCommands]});
            }
            for (; m.seenSubmits < m.submits.size(); ++m.seenSubmits) {
                events.push_back({SimEvent::Kind::Submit, static_cast<int>(i),
                                  Describe(m.submits[m.seenSubmits])});
            }
            for (; e.seenRejected < m.rejected.size(); ++e.seenRejected) {
                const Rejected& r = m.rejected[e.seenRejected];
                events.push_back(
                    {SimEvent::Kind::Rejected, static_cast<int>(i), r.reason + ": " + r.pdu});
            }
        }
        if (activity) Changed();
        if (!events.empty()) {
            auto observer = m_observer;
            std::vector<SimEvent> batch;
            batch.swap(events);
            lk.unlock();
            if (observer) {
                for (const SimEvent& ev : batch) observer(ev);
            }
            lk.lock();
        }
    }
}

}  // namespace qvsim
