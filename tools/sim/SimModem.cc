#include "tools/sim/SimModem.h"

#include <algorithm>
#include <cctype>

#include "platform/clock.h"
#include "tools/sim/SimPdu.h"

namespace qvsim {
namespace {

constexpr size_t kMaxLine = 4096;  // a line longer than this is noise, dropped

std::chrono::nanoseconds Span(int platformMs) {
    if (platformMs <= 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(qvclock::ToRealNs(static_cast<uint64_t>(platformMs)));
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (prefix.size() > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) !=
            std::toupper(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

int64_t WallSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

SimModem::SimModem(const ModemConfig& cfg)
    : config(cfg), slots(cfg.capacity), simSlots(cfg.capacity), echo(cfg.echo), m_rng(cfg.seed) {}

std::vector<SimModem::Slot>& SimModem::Selected() {
    return readStorage == config.storage ? slots : simSlots;
}

void SimModem::Reset() {
    echo = config.echo;
    readStorage = "SM";
    cnmiSetting = "0,0,0,0,0";
    cnmiMt = 0;
    cnmiDs = 0;
    m_line.clear();
    m_pduMode = false;
    m_pdu.clear();
    m_deferred.clear();
    out.clear();
    hangUpRequested = false;
}

void SimModem::Feed(const char* data, size_t size, SteadyTime now) {
    // PDU text is echoed as one piece per read, the way it came in.
    std::string echoed;
    auto flushEcho = [&] {
        if (!echoed.empty()) Emit(echoed, now, 0, 0);
        echoed.clear();
    };
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (m_pduMode) {
            if (c == 0x1A || c == 0x1B) {
                flushEcho();
                HandlePdu(c == 0x1B, now);
            } else if (c != '\r' && c != '\n') {
                if (m_pdu.size() < kMaxLine) m_pdu.push_back(c);
                if (echo) echoed.push_back(c);
            }
            continue;
        }
        if (c == '\r') {
            std::string line;
            line.swap(m_line);
            if (!line.empty()) HandleLine(line, now);
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            // Control bytes (LF, a stray ESC or Ctrl-Z) are no part of a command.
            if (m_line.size() < kMaxLine) m_line.push_back(c);
        }
    }
    flushEcho();
}

SimModem::Plan SimModem::MatchFaults(const std::string& text) {
    Plan plan;
    for (size_t i = 0; i < m_faults.size(); ++i) {
        Fault& f = m_faults[i];
        if (!StartsWithNoCase(text, f.prefix)) continue;
        if (++m_matches[i] <= f.after || f.times == 0) continue;
        if (f.probability < 1.0 &&
            std::uniform_real_distribution<double>(0, 1)(m_rng) >= f.probability) {
            continue;
        }
        if (f.times > 0) --f.times;
        switch (f.action) {
            case Fault::Action::Silent:
                plan.silent = true;
                break;
            case Fault::Action::Mute:
                plan.mute = true;
                break;
            case Fault::Action::Error:
                plan.replace = true;
                plan.replacement = "\r\nERROR\r\n";
                break;
            case Fault::Action::CmsError:
                plan.replace = true;
                plan.replacement = "\r\n+CMS ERROR: " + std::to_string(f.code) + "\r\n";
                break;
            case Fault::Action::CmeError:
                plan.replace = true;
                plan.replacement = "\r\n+CME ERROR: " + std::to_string(f.code) + "\r\n";
                break;
            case Fault::Action::Reply:
                plan.replace = true;
                plan.replacement = f.text;
                break;
            case Fault::Action::Delay:
                plan.delayMs += f.ms;
                break;
            case Fault::Action::Chunks:
                plan.chunk = static_cast<size_t>(std::max(1, f.size));
                plan.gapMs = f.gapMs;
                break;
            case Fault::Action::Garbage:
                plan.garbage += f.text;
                break;
            case Fault::Action::Cmti:
                plan.cmti.push_back(f.code);
                break;
            case Fault::Action::HangUp:
                plan.hangUp = true;
                replugMs = f.ms;
                break;
        }
    }
    return plan;
}

void SimModem::HandleLine(const std::string& line, SteadyTime now) {
    commands.push_back(line);
    Plan plan = MatchFaults(line);
    if (plan.silent) return;
    if (echo) Emit(line + "\r", now, 0, 0);
    if (plan.hangUp) {
        hangUpRequested = true;
        return;
    }
    // A line that does not start with AT is noise to a modem: no answer.
    if (!plan.replace && !StartsWithNoCase(line, "AT")) return;
    const std::string answer = plan.replace ? plan.replacement : Execute(line);
    if (!plan.mute) Answer(plan, answer, now);
}

void SimModem::HandlePdu(bool cancelled, SteadyTime now) {
    m_pduMode = false;
    std::string pdu;
    pdu.swap(m_pdu);
    commands.push_back(pdu + (cancelled ? "\x1B" : "\x1A"));
    Plan plan = MatchFaults(">" + pdu);
    if (!plan.silent && plan.hangUp) hangUpRequested = true;
    if (!plan.silent && !plan.hangUp) {
        std::string answer;
        if (plan.replace) {
            answer = plan.replacement;
        } else if (cancelled) {
            answer = "\r\nOK\r\n";
        } else {
            answer = AcceptSubmit(pdu, now);
        }
        if (!plan.mute) Answer(plan, answer, now);
    }
    std::vector<std::string> held;
    held.swap(m_deferred);
    for (const std::string& text : held) Emit(text, now, 0, 0);
}

std::string SimModem::WithNoise(const std::string& text) {
    static const char* const kNoise[] = {
        "^RSSI:14", "^BOOT:12345678,0,0,0,23", "^MODE:3,2", "RING", "+CREG: 1", "+CIEV: 2,3",
        "^SRVST:2"};
    std::string out;
    std::uniform_real_distribution<double> chance(0, 1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\r\n") == 0 && chance(m_rng) < config.noise) {
            out += "\r\n";
            out += kNoise[m_rng() % (sizeof(kNoise) / sizeof(kNoise[0]))];
        }
        out.push_back(text[i]);
    }
    return out;
}

void SimModem::Answer(const Plan& plan, const std::string& answer, SteadyTime now) {
    std::string text = plan.garbage + (config.noise > 0 ? WithNoise(answer) : answer);
    for (int index : plan.cmti) text += Announcement(index == 0 ? m_lastAnnounced : index);
    Emit(text, now + Span(plan.delayMs), plan.chunk, plan.gapMs);
}

void SimModem::Emit(const std::string& bytes, SteadyTime at, size_t chunk, int gapMs) {
    if (bytes.empty()) return;
    SteadyTime due = out.empty() ? at : std::max(at, out.back().due);
    if (chunk == 0 || chunk >= bytes.size()) {
        out.push_back({due, bytes});
        return;
    }
    for (size_t i = 0; i < bytes.size(); i += chunk) {
        out.push_back({due, bytes.substr(i, chunk)});
        due += Span(gapMs);
    }
}

void SimModem::AddFault(const Fault& fault) {
    m_faults.push_back(fault);
    m_matches.push_back(0);
}

void SimModem::ClearFaults() {
    m_faults.clear();
    m_matches.clear();
}

void SimModem::Unsolicited(const std::string& text, SteadyTime now) {
    Emit(text, now, 0, 0);
}

std::string SimModem::Announcement(int index) const {
    return "\r\n+CMTI: \"" + config.storage + "\"," + std::to_string(index) + "\r\n";
}

int SimModem::Used(const std::vector<Slot>& in) const {
    return static_cast<int>(
        std::count_if(in.begin(), in.end(), [](const Slot& s) { return s.used; }));
}

void SimModem::Indicate(const std::string& text, SteadyTime now) {
    if (m_pduMode) {
        m_deferred.push_back(text);
    } else {
        Emit(text, now, 0, 0);
    }
}

int SimModem::Place(const std::string& pdu, int stat, bool announce, SteadyTime now) {
    auto free = std::find_if(slots.begin(), slots.end(), [](const Slot& s) { return !s.used; });
    if (free == slots.end()) {
        ++dropped;
        if (announce && config.reportFull) Emit("\r\n+CMS ERROR: 322\r\n", now, 0, 0);
        return -1;
    }
    *free = Slot{true, stat, pdu};
    return static_cast<int>(free - slots.begin()) + 1;
}

int SimModem::Store(const std::string& pdu, int stat, bool announce, SteadyTime now) {
    const int index = Place(pdu, stat, announce, now);
    if (index > 0 && announce && (config.announceAlways || cnmiMt == 1)) {
        m_lastAnnounced = index;
        Indicate(Announcement(index), now);
    }
    return index;
}

std::optional<SteadyTime> SimModem::NextReportDue() const {
    if (m_pendingReports.empty()) return std::nullopt;
    return m_pendingReports.begin()->first;
}

bool SimModem::ProduceReports(SteadyTime now) {
    bool produced = false;
    while (!m_pendingReports.empty() && m_pendingReports.begin()->first <= now) {
        const PendingReport r = m_pendingReports.begin()->second;
        m_pendingReports.erase(m_pendingReports.begin());
        const std::string pdu = EncodeStatusReport(config.smsc, r.reference, r.recipient,
                                                   r.serviceCentreTime, WallSeconds(), r.status);
        reports.push_back(pdu);
        produced = true;
        if (cnmiDs == 1) {
            Indicate("\r\n+CDS: " + std::to_string(TpduLength(pdu)) + "\r\n" + pdu + "\r\n", now);
            continue;
        }
        const int index = Place(pdu, 0, cnmiDs == 2, now);
        if (index > 0 && cnmiDs == 2) {
            Indicate("\r\n+CDSI: \"" + config.storage + "\"," + std::to_string(index) + "\r\n",
                     now);
        }
    }
    return produced;
}

std::vector<int> SimModem::Inject(const Incoming& in, SteadyTime now) {
    std::vector<std::string> parts = EncodeDeliver(in, config.smsc, m_nextConcatRef);
    if (parts.size() > 1 && in.concatReference < 0) m_nextConcatRef = (m_nextConcatRef + 1) & 0xFF;
    std::vector<int> order = in.order;
    if (order.empty()) {
        for (size_t i = 1; i <= parts.size(); ++i) order.push_back(static_cast<int>(i));
    }
    std::vector<int> indices;
    for (int part : order) {
        if (part < 1 || part > static_cast<int>(parts.size())) continue;
        indices.push_back(Store(parts[part - 1], in.stat, in.announce, now));
    }
    return indices;
}

}  // namespace qvsim
