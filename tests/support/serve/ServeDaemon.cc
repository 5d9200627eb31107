#include "support/serve/ServeDaemon.h"

#include "support/WaitUntil.h"

#include <signal.h>
#include <stdlib.h>

#include <filesystem>

#include <thread>

namespace qvtest {

WorkDir::WorkDir() {
    char templ[] = "/tmp/qvtest-serve-XXXXXX";
    if (mkdtemp(templ) != nullptr) m_path = templ;
}

WorkDir::~WorkDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}

ServeDaemon::ServeDaemon(const WorkDir& dir, std::string token)
    : m_dir(dir), m_token(std::move(token)) {}

bool ServeDaemon::Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv{QVGSM_QVGSM_EXE, "serve", "--listen",
                                  "127.0.0.1:0",   "--db",  m_dir.Path() + "/gateway.db"};
    if (!m_token.empty()) argv.insert(argv.end(), {"--token", m_token});
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> env{{"QVGSM_LOGDIR", m_dir.Path()}};
#ifdef QVGSM_DRIVER_SO
    env["QVGSM_DRIVER"] = QVGSM_DRIVER_SO;
#endif
    m_child = std::make_unique<ChildProcess>();
    if (!m_child->Start(argv, env)) return false;
    std::string line;
    const std::string marker = "listening on http://127.0.0.1:";
    while (m_child->ReadLine(&line, std::chrono::milliseconds(30000))) {
        size_t at = line.find(marker);
        if (at != std::string::npos) {
            m_port = std::stoi(line.substr(at + marker.size()));
            return true;
        }
    }
    return false;
}

int ServeDaemon::Stop() {
    m_child->Signal(SIGTERM);
    return m_child->Wait(std::chrono::milliseconds(60000));
}

void ServeDaemon::Kill() {
    m_child->Signal(SIGKILL);
    m_child->Wait(std::chrono::milliseconds(10000));
}

httplib::Headers ServeDaemon::Auth(const std::string& token) const {
    const std::string& t = token.empty() ? m_token : token;
    if (t.empty() || t == "-") return {};
    return {{"Authorization", "Bearer " + t}};
}

HttpAnswer ServeDaemon::Answer(const httplib::Result& r) {
    HttpAnswer a;
    if (!r) return a;
    a.status = r->status;
    a.text = r->body;
    a.body = nlohmann::json::parse(r->body, nullptr, false);
    return a;
}

HttpAnswer ServeDaemon::Get(const std::string& path, const std::string& token) {
    httplib::Client c("127.0.0.1", m_port);
    return Answer(c.Get(path, Auth(token)));
}

HttpAnswer ServeDaemon::Post(const std::string& path, const nlohmann::json& body,
                             const std::string& token) {
    httplib::Client c("127.0.0.1", m_port);
    return Answer(c.Post(path, Auth(token), body.dump(), "application/json"));
}

HttpAnswer ServeDaemon::Delete(const std::string& path) {
    httplib::Client c("127.0.0.1", m_port);
    return Answer(c.Delete(path, Auth("")));
}

bool ServeDaemon::WaitLinesUp(size_t lines) {
    return Poll(
        [&] {
            HttpAnswer a = Get("/v1/lines");
            if (a.status != 200) return false;
            size_t up = 0;
            for (const auto& l : a.body["lines"]) up += l["state"] == "up";
            return up == lines;
        },
        std::chrono::milliseconds(60000));
}

size_t ServeDaemon::CountState(const std::string& state) {
    HttpAnswer a = Get("/metrics");
    const std::string key = "qvgsm_messages{state=\"" + state + "\"} ";
    size_t at = a.text.find(key);
    return at == std::string::npos ? 0 : std::stoul(a.text.substr(at + key.size()));
}

bool ServeDaemon::WaitState(const std::string& state, size_t n, std::chrono::milliseconds timeout) {
    return Poll([&] { return CountState(state) >= n; }, timeout);
}

bool Poll(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    // Each look is a request to the daemon: fewer looks than WaitUntil's.
    return WaitUntil(pred, timeout, std::chrono::milliseconds(20));
}

}  // namespace qvtest
