#include "tools/host/DriverLib.h"

#include <dlfcn.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace qvhost {
namespace {

constexpr const char* kLibName = "libqvGSMcomdrv.so";

bool IsFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ExecutableDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::vector<std::string> Glob(const std::string& pattern) {
    std::vector<std::string> found;
    glob_t g{};
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i) found.emplace_back(g.gl_pathv[i]);
    }
    globfree(&g);
    return found;
}

template <typename F>
bool Resolve(void* handle, const char* name, F** out, std::string* error) {
    void* sym = dlsym(handle, name);
    if (sym == nullptr) {
        *error = std::string("the library does not export ") + name;
        return false;
    }
    *out = reinterpret_cast<F*>(sym);
    return true;
}

}  // namespace

std::string FindDriverLibrary(const std::string& option, std::vector<std::string>* tried) {
    if (!option.empty()) {
        tried->push_back(option + " (--lib)");
        return IsFile(option) ? option : std::string();
    }
    if (const char* env = std::getenv("QVGSM_DRIVER"); env != nullptr && *env != '\0') {
        tried->push_back(std::string(env) + " (QVGSM_DRIVER)");
        return IsFile(env) ? std::string(env) : std::string();
    }
    std::string dir = ExecutableDir();
    if (!dir.empty()) {
        std::vector<std::string> candidates{dir + "/" + kLibName};
        for (const char* pattern : {"/../lib*/", "/../lib*/*/"}) {
            for (auto& p : Glob(dir + pattern + kLibName)) candidates.push_back(p);
        }
        tried->push_back(dir + "/" + kLibName + ", " + dir + "/../lib*/" + kLibName);
        for (const auto& c : candidates) {
            if (IsFile(c)) return c;
        }
    }
#ifdef QVGSM_DRIVER_BUILD_PATH
    tried->push_back(QVGSM_DRIVER_BUILD_PATH);
    if (IsFile(QVGSM_DRIVER_BUILD_PATH)) return QVGSM_DRIVER_BUILD_PATH;
#endif
    return {};
}

bool DriverLib::Load(const std::string& path, std::string* error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        *error = why != nullptr ? why : "dlopen failed";
        return false;
    }
    bool ok = Resolve(handle, "gsmdrvInit", &Init, error) &&
              Resolve(handle, "gsmdrvShutdown", &Shutdown, error) &&
              Resolve(handle, "gsmdrvaddGSMline", &AddLine, error) &&
              Resolve(handle, "gsmdrvreinitGSMline", &ReinitLine, error) &&
              Resolve(handle, "gsmdrvuninitGSMline", &UninitLine, error) &&
              Resolve(handle, "gsmdrvSendSMS", &SendSMS, error);
    if (!ok) {
        dlclose(handle);
        return false;
    }
    m_path = path;
    return true;
}

}  // namespace qvhost
