// How the host commands report: one readable line per event, or with --json
// one JSON object per line. Thread-safe.
#pragma once

#include <mutex>
#include <string>

#include "tools/host/Host.h"

namespace qvhost {

class Printer {
  public:
    explicit Printer(bool json) : m_json(json) {}

    void Event(const HostEvent& ev);
    // A problem a person can act on: stderr, and as an "error" object with --json.
    void Error(int exitCode, const std::string& message);
    // An informational line (not shown with --json).
    void Info(const std::string& line);

  private:
    void Out(const std::string& line);
    bool m_json;
    std::mutex m_mutex;
};

// Describes one event in a line of text (without the time).
std::string Describe(const HostEvent& ev);

}  // namespace qvhost
