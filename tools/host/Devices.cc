#include "tools/host/Devices.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace qvhost {

bool ParseLineSpec(const std::string& text, LineSpec* out, std::string* error) {
    size_t eq = text.find('=');
    std::string com = text.substr(0, eq);
    if (eq == std::string::npos || com.empty() || eq + 1 >= text.size()) {
        *error = "line '" + text + "' is not COM=DEVICE (e.g. 1=/dev/ttyUSB0)";
        return false;
    }
    if (com.size() > 3 && strncasecmp(com.c_str(), "COM", 3) == 0) com = com.substr(3);
    if (com.size() > 6 || com.find_first_not_of("0123456789") != std::string::npos ||
        std::atoi(com.c_str()) < 1) {
        *error = "line '" + text + "': the COM number must be a positive number";
        return false;
    }
    out->com = std::atoi(com.c_str());
    out->device = text.substr(eq + 1);
    return true;
}

DeviceState CheckDevice(const std::string& path, std::string* detail) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *detail = path + " does not exist (" + std::strerror(errno) + ")";
        return DeviceState::Missing;
    }
    if (!S_ISCHR(st.st_mode)) {
        *detail = path + " is not a serial device";
        return DeviceState::Unusable;
    }
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        *detail = path + (err == EBUSY ? " is busy: another program has it open"
                                       : std::string(" cannot be opened: ") + std::strerror(err));
        return err == EBUSY ? DeviceState::Busy : DeviceState::Unusable;
    }
    // The driver takes the device exclusively; a lock held elsewhere means
    // another program (perhaps another qvgsm) is using it.
    DeviceState state = DeviceState::Ready;
    if (!isatty(fd)) {
        *detail = path + " is not a terminal device";
        state = DeviceState::Unusable;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *detail = path + " is busy: another program has it locked";
        state = DeviceState::Busy;
    }
    close(fd);
    return state;
}

bool NormaliseNumber(const std::string& text, std::string* out) {
    std::string n;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            n.push_back(c);
        } else if (c == '+' && n.empty()) {
            n.push_back(c);
        } else if (c != ' ' && c != '-' && c != '.' && c != '(' && c != ')') {
            return false;
        }
    }
    size_t digits = n.size() - (!n.empty() && n[0] == '+' ? 1 : 0);
    if (digits < 1 || digits > 20) return false;
    *out = n;
    return true;
}

TempDir::~TempDir() {
    if (m_path.empty() || m_keep) return;
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

bool TempDir::Create(const std::string& prefix, std::string* error) {
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        *error = "cannot create a folder in " + templ + ": " + std::strerror(errno);
        return false;
    }
    m_path = templ;
    return true;
}

bool LinkCom(const std::string& dir, int com, const std::string& device, std::string* error) {
    std::string link = dir + "/com" + std::to_string(com);
    std::error_code ec;
    std::string target = std::filesystem::absolute(device, ec).string();
    if (ec) target = device;
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) {
        *error = "cannot link " + link + " -> " + target + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace qvhost
