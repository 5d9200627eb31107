// Serial entry points: opening "\\.\COMn", line settings, and the forwarding
// of the overlapped calls to the device.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/device.h"
#include "platform/posix/reactor.h"

namespace qvplat {
namespace {

// "\\.\COMn" (or "COMn") -> $QVGSM_COMDIR/comN, else /dev/ttyS<n-1>. Any
// other name is taken as a path.
std::string DevicePath(const char* name) {
    const char* p = name;
    if (std::strncmp(p, "\\\\.\\", 4) == 0) p += 4;
    if (strncasecmp(p, "COM", 3) != 0) return name;
    p += 3;
    size_t digits = std::strspn(p, "0123456789");
    if (digits == 0 || digits > 6 || p[digits] != '\0') return name;
    long n = std::strtol(p, nullptr, 10);
    if (n < 1) return name;
    const char* dir = std::getenv("QVGSM_COMDIR");
    if (dir && *dir) return std::string(dir) + "/com" + std::to_string(n);
    return "/dev/ttyS" + std::to_string(n - 1);
}

speed_t SpeedOf(DWORD baud) {
    struct Entry {
        DWORD baud;
        speed_t speed;
    };
    static constexpr Entry kSpeeds[] = {
        {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
        {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
        {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
        {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000},
        {4000000, B4000000},
    };
    for (const Entry& e : kSpeeds) {
        if (e.baud == baud) return e.speed;
    }
    return B0;
}

// Ptys have no modem lines: such failures do not fail SetCommState.
bool ModemLinesUnsupported(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOTSUP;
}

bool SetModemLine(int fd, int line, bool raise) {
    int bits = line;
    if (ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
    return ModemLinesUnsupported(errno);
}

}  // namespace

BOOL Device::SetState(const DCB& dcb) {
    speed_t speed = SpeedOf(dcb.BaudRate);
    tcflag_t size = dcb.ByteSize == 5   ? CS5
                    : dcb.ByteSize == 6 ? CS6
                    : dcb.ByteSize == 7 ? CS7
                    : dcb.ByteSize == 8 ? CS8
                                        : 0;
    constexpr BYTE kOddParity = 1, kEvenParity = 2, kTwoStopBits = 2;
    if (speed == B0 || size == 0 || dcb.Parity > kEvenParity ||
        (dcb.StopBits != ONESTOPBIT && dcb.StopBits != kTwoStopBits)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    qv::MutexLock lock(m_mu);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    termios tio{};
    if (tcgetattr(m_fd, &tio) != 0) return Fail(ErrorFromErrno(errno));
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= size | CREAD | CLOCAL;
    if (dcb.Parity == kOddParity) tio.c_cflag |= PARENB | PARODD;
    if (dcb.Parity == kEvenParity) tio.c_cflag |= PARENB;
    if (dcb.StopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;
    // VMIN 1 / VTIME 0: a non-blocking read then says EAGAIN when nothing is
    // buffered and 0 only at a hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    int rc;
    do {
        rc = tcsetattr(m_fd, TCSANOW, &tio);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return Fail(ErrorFromErrno(errno));
    if (!SetModemLine(m_fd, TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE) ||
        !SetModemLine(m_fd, TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE)) {
        return Fail(ErrorFromErrno(errno));
    }
    return TRUE;
}

BOOL AssociateDevice(HANDLE h, const Ref<Port>& port, ULONG_PTR key) {
    Ref<Device> d = Get<Device>(h);
    if (!d) return FALSE;
    return d->Associate(port, key);
}

}  // namespace qvplat

using qvplat::Device;
using qvplat::Get;
using qvplat::Ref;

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    qvplat::RaiseFdLimit();
    std::string path = qvplat::DevicePath(name);
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetLastError(qvplat::ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive: TIOCEXCL refuses later opens (except by root), the lock
    // catches root too. The second opener sees ERROR_ACCESS_DENIED.
    int err = 0;
    if (!isatty(fd)) {
        err = ENOTTY;
    } else if (ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = errno;
    }
    if (err != 0) {
        close(fd);
        SetLastError(qvplat::ErrorFromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    auto* d = new Device(fd);
    if (!d->Start()) {
        err = errno;
        d->Release();
        SetLastError(qvplat::ErrorFromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    return d;
}

BOOL SetupComm(HANDLE h, DWORD, DWORD) {
    return Get<Device>(h) ? TRUE : FALSE;  // the kernel sizes terminal queues itself
}

BOOL SetCommState(HANDLE h, LPDCB dcb) {
    if (!dcb) return qvplat::Fail(ERROR_INVALID_PARAMETER);
    Ref<Device> d = Get<Device>(h);
    return d ? d->SetState(*dcb) : FALSE;
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    if (!timeouts) return qvplat::Fail(ERROR_INVALID_PARAMETER);
    Ref<Device> d = Get<Device>(h);
    return d ? d->SetTimeouts(*timeouts) : FALSE;
}

BOOL SetFileCompletionNotificationModes(HANDLE h, UCHAR flags) {
    Ref<Device> d = Get<Device>(h);
    return d ? d->SetSkipOnSuccess((flags & FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != 0) : FALSE;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
    Ref<Device> d = Get<Device>(h);
    return d ? d->SetMask(mask) : FALSE;
}

BOOL WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED overlapped) {
    Ref<Device> d = Get<Device>(h);
    return d ? d->WaitEvent(mask, overlapped) : FALSE;
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
    Ref<Device> d = Get<Device>(h);
    return d ? d->Read(buffer, length, read, overlapped) : FALSE;
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
    Ref<Device> d = Get<Device>(h);
    return d ? d->Write(buffer, length, written, overlapped) : FALSE;
}

BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    Ref<Device> d = Get<Device>(h);
    return d ? d->Status(errors, stat) : FALSE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    Ref<Device> d = Get<Device>(h);
    return d ? d->Purge(flags) : FALSE;
}
