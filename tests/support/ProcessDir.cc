#include "support/ProcessDir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

namespace qvtest {
namespace {

std::mutex g_Mutex;
std::vector<std::string> g_Made;

void RemoveMade() {
    std::lock_guard<std::mutex> lock(g_Mutex);
    std::error_code ec;
    for (const std::string& dir : g_Made) std::filesystem::remove_all(dir, ec);
}

}  // namespace

std::string ProcessDir(const char* pattern, const char* variable) {
    const char* existing = getenv(variable);
    if (existing && *existing) return existing;
    std::string buffer = pattern;
    const char* made = mkdtemp(buffer.data());
    if (made == nullptr) return "/tmp";
    {
        std::lock_guard<std::mutex> lock(g_Mutex);
        if (g_Made.empty()) std::atexit(RemoveMade);
        g_Made.push_back(made);
    }
    setenv(variable, made, 1);
    return made;
}

}  // namespace qvtest
