#include "gsm/SentParts.h"

#include <algorithm>

namespace {

// The digits without the leading zeros of a trunk or international prefix.
std::string Digits(const std::string& number) {
    std::string out;
    for (char c : number) {
        if (c >= '0' && c <= '9' && !(c == '0' && out.empty())) out += c;
    }
    return out;
}

}  // namespace

bool SentParts::SameNumber(const std::string& a, const std::string& b) {
    const std::string da = Digits(a), db = Digits(b);
    if (da.empty() || db.empty()) return da == db;
    if (da == db) return true;
    const std::string& shorter = da.size() < db.size() ? da : db;
    const std::string& longer = da.size() < db.size() ? db : da;
    return shorter.size() >= 6 &&
           longer.compare(longer.size() - shorter.size(), shorter.size(), shorter) == 0;
}

uint64_t SentParts::NewJob() {
    qv::MutexLock lock(m_Lock);
    return m_NextJob++;
}

void SentParts::Add(Part part, uint64_t nowMs) {
    qv::MutexLock lock(m_Lock);
    Expire(nowMs);
    part.sentMs = nowMs;
    auto same = std::find_if(m_Parts.begin(), m_Parts.end(), [&](const Part& p) {
        return p.reference == part.reference && SameNumber(p.recipient, part.recipient);
    });
    if (same != m_Parts.end()) m_Parts.erase(same);
    while (m_Parts.size() >= kMaxEntries) m_Parts.pop_front();
    m_Parts.push_back(std::move(part));
}

SentParts::Match SentParts::OnReport(int reference, const std::string& recipient, bool final,
                                     bool delivered, uint64_t nowMs) {
    qv::MutexLock lock(m_Lock);
    Expire(nowMs);
    Match match;
    // The newest part with that reference: an older one may still wait
    // after the references wrapped.
    auto it = std::find_if(m_Parts.rbegin(), m_Parts.rend(), [&](const Part& p) {
        return p.reference == reference && SameNumber(p.recipient, recipient);
    });
    if (it == m_Parts.rend()) return match;
    match.found = true;
    it->final = final;
    it->delivered = delivered;
    match.part = *it;
    const uint64_t job = it->job;
    uint32_t ended = 0;
    bool allDelivered = true;
    for (const Part& p : m_Parts) {
        if (p.job != job || !p.final) continue;
        ++ended;
        allDelivered = allDelivered && p.delivered;
    }
    if (final && ended == match.part.total) {
        match.jobEnded = true;
        match.jobDelivered = allDelivered;
        m_Parts.erase(std::remove_if(m_Parts.begin(), m_Parts.end(),
                                     [job](const Part& p) { return p.job == job; }),
                      m_Parts.end());
    }
    return match;
}

size_t SentParts::Size() {
    qv::MutexLock lock(m_Lock);
    return m_Parts.size();
}

void SentParts::Expire(uint64_t nowMs) {
    while (!m_Parts.empty() && nowMs - m_Parts.front().sentMs >= kKeepMs) m_Parts.pop_front();
}
