// `qvgsm serve` run by a test as its own process, on modems the test's own
// simulator provides, reached through its HTTP API.
#pragma once

#include <httplib.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace qvtest {

// A fresh folder for the database and the line logs, removed at the end.
class WorkDir {
  public:
    WorkDir();
    ~WorkDir();
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

// Re-checks pred through the API until it holds or timeout passes.
bool Poll(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

struct HttpAnswer {
    int status = 0;  // 0: no answer
    nlohmann::json body;
    std::string text;
};

class ServeDaemon {
  public:
    explicit ServeDaemon(const WorkDir& dir, std::string token = "test-token");

    // Starts `qvgsm serve` with args on a free loopback port and the work
    // folder's database; true once it listens.
    bool Start(const std::vector<std::string>& args);
    // SIGTERM, then the exit status.
    int Stop();
    // SIGKILL: the daemon ends at once, as in a crash.
    void Kill();
    std::string Errors() const { return m_child ? m_child->Errors() : ""; }
    int Port() const { return m_port; }

    HttpAnswer Get(const std::string& path, const std::string& token = "");
    HttpAnswer Post(const std::string& path, const nlohmann::json& body,
                    const std::string& token = "");
    HttpAnswer Delete(const std::string& path);
    // Polls the API until every line reports up.
    bool WaitLinesUp(size_t lines);
    // Polls until the count of messages in state reaches n.
    bool WaitState(const std::string& state, size_t n, std::chrono::milliseconds timeout);
    size_t CountState(const std::string& state);

  private:
    httplib::Headers Auth(const std::string& token) const;
    static HttpAnswer Answer(const httplib::Result& r);

    const WorkDir& m_dir;
    std::string m_token;
    std::unique_ptr<ChildProcess> m_child;
    int m_port = 0;
};

}  // namespace qvtest
