#include "support/SerialClient.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <regex>

namespace qvtest {

SerialClient::~SerialClient() {
    Close();
}

bool SerialClient::Open(const std::string& path) {
    Close();
    m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    m_hungUp = false;
    m_in.clear();
    m_reads.clear();
    return m_fd >= 0;
}

void SerialClient::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

bool SerialClient::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_fd, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

bool SerialClient::ReadSome(ms timeout) {
    if (m_fd < 0 || m_hungUp) return false;
    pollfd p{m_fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(timeout.count()));
    if (r <= 0) return false;
    char buf[4096];
    ssize_t n = read(m_fd, buf, sizeof buf);
    if (n > 0) {
        m_in.append(buf, static_cast<size_t>(n));
        m_reads.push_back(static_cast<size_t>(n));
        return true;
    }
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || n == 0 || (p.revents & POLLHUP)) {
        m_hungUp = true;
    }
    return false;
}

bool SerialClient::ReadUntil(const std::string& text, ms timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_in.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_hungUp) return false;
        ReadSome(left);
    }
    return true;
}

void SerialClient::ReadFor(ms period) {
    auto deadline = std::chrono::steady_clock::now() + period;
    for (;;) {
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_hungUp) return;
        ReadSome(left);
    }
}

bool HasFinalResult(const std::string& text) {
    static const std::regex kFinal(R"(\r\n(OK|ERROR|\+CM[SE] ERROR: \d+)\r\n|\r\n> )");
    return std::regex_search(text, kFinal);
}

std::string SerialClient::Command(const std::string& cmd, ms timeout) {
    Write(cmd + "\r");
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!HasFinalResult(m_in)) {
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_hungUp) break;
        ReadSome(left);
    }
    return Take();
}

std::string SerialClient::Take() {
    std::string out;
    out.swap(m_in);
    return out;
}

}  // namespace qvtest
