#include "support/PtyPeer.h"

#include "support/ProcessDir.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace qvtest {
namespace {

// One folder of comN links per process, named in QVGSM_COMDIR.
const std::string& ComDir() {
    static std::string dir = ProcessDir("/tmp/qvgsm-comdir-XXXXXX", "QVGSM_COMDIR");
    return dir;
}

std::atomic<int> g_NextCom{101};

}  // namespace

PtyPeer::~PtyPeer() {
    HangUp();
    if (!m_link.empty()) unlink(m_link.c_str());
}

bool PtyPeer::Open() {
    if (!qvpty::Open(&m_pair)) return false;
    int com = g_NextCom++;
    m_link = ComDir() + "/com" + std::to_string(com);
    unlink(m_link.c_str());
    if (symlink(m_pair.slavePath.c_str(), m_link.c_str()) != 0) return false;
    m_deviceName = "\\\\.\\COM" + std::to_string(com);
    return true;
}

void PtyPeer::HangUp() {
    qvpty::Close(&m_pair);
}

bool PtyPeer::Write(const std::string& bytes, ms gap) {
    size_t done = 0;
    while (done < bytes.size()) {
        size_t chunk = gap.count() > 0 ? 1 : bytes.size() - done;
        ssize_t n = write(m_pair.master, bytes.data() + done, chunk);
        if (n > 0) {
            done += static_cast<size_t>(n);
            // Bytes apart in real time are what a caller asks for with a gap.
            if (gap.count() > 0 && done < bytes.size()) std::this_thread::sleep_for(gap);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_pair.master, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

bool PtyPeer::ReadSome(ms timeout) {
    if (m_pair.master < 0) return false;
    pollfd p{m_pair.master, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char buf[8192];
    ssize_t n = read(m_pair.master, buf, sizeof buf);
    if (n <= 0) return false;
    m_in.append(buf, static_cast<size_t>(n));
    return true;
}

bool PtyPeer::ReadUntil(const std::string& text, ms timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (m_in.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<ms>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        ReadSome(std::min(left, ms(50)));
    }
    return true;
}

bool PtyPeer::ReadCount(size_t count, ms timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (m_in.size() < count) {
        auto left = std::chrono::duration_cast<ms>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        ReadSome(std::min(left, ms(50)));
    }
    return true;
}

void PtyPeer::ReadFor(ms period) {
    auto end = std::chrono::steady_clock::now() + period;
    for (;;) {
        auto left = std::chrono::duration_cast<ms>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        ReadSome(left);
    }
}

std::string PtyPeer::Take() {
    std::string taken;
    taken.swap(m_in);
    return taken;
}

}  // namespace qvtest
