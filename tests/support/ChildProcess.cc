#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace qvtest {

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
    if (!m_errFile.empty()) unlink(m_errFile.c_str());
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env) {
    // Everything the child needs is built before fork: the parent has threads.
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        if (env.count(entry.substr(0, entry.find('='))) != 0) continue;
        // LeakSanitizer's tracer (GCC 12) reads a stale dynamic-TLS range
        // of the driver a host program loads with dlopen and crashes at
        // exit; the children's leak check leaves thread-local roots out.
        if (entry.rfind("LSAN_OPTIONS=", 0) == 0) entry += ":use_tls=0";
        envText.push_back(entry);
    }
    for (const auto& [key, value] : env) envText.push_back(key + "=" + value);
    std::vector<char*> envp, args;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText = argv;
    for (auto& a : argText) args.push_back(a.data());
    args.push_back(nullptr);

    char errName[] = "/tmp/qvtest-stderr-XXXXXX";
    int errFd = mkstemp(errName);
    if (errFd < 0) return false;
    m_errFile = errName;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        close(errFd);
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(errFd);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(errFd, 2);
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, 0);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(errFd);
    close(pipeFds[1]);
    m_out = pipeFds[0];
    m_pid = pid;
    return true;
}

bool ChildProcess::ReadLine(std::string* line, ms timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            *line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            m_lines.push_back(*line);
            return true;
        }
        if (m_out < 0) return false;
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{m_out, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[4096];
        ssize_t n = read(m_out, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(m_out);
            m_out = -1;
            if (!m_buffer.empty()) {  // a last line without newline
                *line = m_buffer;
                m_buffer.clear();
                m_lines.push_back(*line);
                return true;
            }
            return false;
        }
        m_buffer.append(buf, static_cast<size_t>(n));
    }
}

bool ChildProcess::Signal(int sig) {
    return m_pid > 0 && kill(m_pid, sig) == 0;
}

int ChildProcess::Wait(ms timeout) {
    if (m_pid <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    while (m_out >= 0 && std::chrono::steady_clock::now() < deadline) {
        ReadLine(&line,
                 std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now()));
    }
    for (;;) {
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
            return -1;
        }
        usleep(10000);
    }
}

std::string ChildProcess::Output() const {
    std::string all;
    for (const auto& l : m_lines) all += l + "\n";
    return all;
}

std::string ChildProcess::Errors() const {
    std::ifstream in(m_errFile);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env, ChildProcess::ms timeout) {
    RunResult r;
    ChildProcess child;
    if (!child.Start(argv, env)) return r;
    r.status = child.Wait(timeout);
    r.lines = child.Lines();
    r.output = child.Output();
    r.errors = child.Errors();
    return r;
}

}  // namespace qvtest
