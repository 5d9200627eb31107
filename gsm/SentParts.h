// The parts a line sent with a delivery report requested, kept so that a
// report can be matched to its job: by the message reference the modem
// answered (+CMGS) and the recipient. An entry lives until its job's last
// final report, or kKeepMs (72 hours), and a line keeps at most kMaxEntries
// (the oldest go first). Thread-safe; no I/O.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "platform/thread_annotations.h"

class SentParts {
  public:
    static constexpr uint64_t kKeepMs = 72ull * 60 * 60 * 1000;
    static constexpr size_t kMaxEntries = 20000;

    struct Part {
        int reference = 0;  // TP-MR
        std::string recipient;
        uint32_t part = 1;  // 1-based
        uint32_t total = 1;
        unsigned char hostData0[8] = {};
        uint64_t job = 0;  // parts of one attempt share it
        uint64_t sentMs = 0;
        bool final = false;
        bool delivered = false;
    };

    // A report's match. found is false for a report that matches no part.
    // jobEnded once every part of the job has had its final report, and
    // jobDelivered when each of them says delivered.
    struct Match {
        bool found = false;
        Part part;
        bool jobEnded = false;
        bool jobDelivered = false;
    };

    // A new attempt's parts are kept under this number.
    uint64_t NewJob() QV_EXCLUDES(m_Lock);
    // A part with the same reference and recipient is replaced (references
    // wrap after 256 parts).
    void Add(Part part, uint64_t nowMs) QV_EXCLUDES(m_Lock);
    Match OnReport(int reference, const std::string& recipient, bool final, bool delivered,
                   uint64_t nowMs) QV_EXCLUDES(m_Lock);
    size_t Size() QV_EXCLUDES(m_Lock);

    // The same subscriber: equal digits, or the shorter (at least six
    // digits) ends the longer (a national form against an international
    // one); leading zeros (trunk and international prefixes) left out.
    static bool SameNumber(const std::string& a, const std::string& b);

  private:
    void Expire(uint64_t nowMs) QV_REQUIRES(m_Lock);

    qv::Mutex m_Lock;
    std::deque<Part> m_Parts QV_GUARDED_BY(m_Lock);
    uint64_t m_NextJob QV_GUARDED_BY(m_Lock) = 1;
};
