#include "support/WaitUntil.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace qvtest {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               std::chrono::milliseconds every) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        // The state has no notification to wait on: look again shortly.
        std::this_thread::sleep_for(every);
    }
    return true;
}

int CurrentThreadId() {
    return static_cast<int>(syscall(SYS_gettid));
}

bool ThreadAsleep(int tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string stat = ss.str();
    // "<tid> (<name>) <state> ...": the name may hold spaces and parentheses.
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

}  // namespace qvtest
