// Serial devices over a real pseudo-terminal: comm events, reads, writes,
// purge, hang-up, naming and exclusive open.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/pty.h"
#include "platform/win32.h"
#include "support/WaitUntil.h"

namespace {

namespace fs = std::filesystem;

constexpr ULONG_PTR kKey = 0x5eed;

struct Completion {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED ov = nullptr;
};

Completion Next(HANDLE port, DWORD timeoutMs = 5000) {
    Completion c;
    c.ok = GetQueuedCompletionStatus(port, &c.bytes, &c.key, &c.ov, timeoutMs);
    c.error = c.ok ? 0 : GetLastError();
    return c;
}

bool NothingQueued(HANDLE port, DWORD waitMs) {
    Completion c = Next(port, waitMs);
    return !c.ok && c.ov == nullptr && c.error == WAIT_TIMEOUT;
}

void WriteAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            FAIL() << "write to master failed: " << errno;
        }
    }
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// A pty pair whose slave is reachable as \\.\COM7 through QVGSM_COMDIR.
class SerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!qvpty::Open(&m_pty)) GTEST_SKIP() << "no pseudo-terminal available";
        char tmpl[] = "/tmp/qvplatXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        fs::create_symlink(m_pty.slavePath, m_dir / "com7");
        setenv("QVGSM_COMDIR", m_dir.c_str(), 1);
        m_port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        ASSERT_NE(m_port, nullptr);
        m_dev = Open("\\\\.\\COM7");
        ASSERT_NE(m_dev, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_EQ(CreateIoCompletionPort(m_dev, m_port, kKey, 0), m_port);
    }

    void TearDown() override {
        if (m_dev != INVALID_HANDLE_VALUE) CloseHandle(m_dev);
        if (m_port) CloseHandle(m_port);
        qvpty::Close(&m_pty);
        if (!m_dir.empty()) fs::remove_all(m_dir);
    }

    static HANDLE Open(const char* name) {
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) return h;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = 115200;
        dcb.fBinary = 1;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.ByteSize = 8;
        COMMTIMEOUTS to{MAXDWORD, 0, 0, 0, 0};
        EXPECT_TRUE(SetupComm(h, 16384, 16384));
        EXPECT_TRUE(SetCommState(h, &dcb)) << GetLastError();
        EXPECT_TRUE(SetCommTimeouts(h, &to));
        EXPECT_TRUE(SetCommMask(h, EV_RXCHAR));
        return h;
    }

    void StartWait() {
        m_mask = 0xdead;
        m_waitOv = {};
        ASSERT_FALSE(WaitCommEvent(m_dev, &m_mask, &m_waitOv));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }

    // Starts a read; it completes through the port either way.
    void StartRead() {
        m_readOv = {};
        if (!ReadFile(m_dev, m_buf, sizeof m_buf, nullptr, &m_readOv)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
    }

    qvpty::Pair m_pty;
    fs::path m_dir;
    HANDLE m_port = nullptr;
    HANDLE m_dev = INVALID_HANDLE_VALUE;
    DWORD m_mask = 0;
    OVERLAPPED m_waitOv{};
    OVERLAPPED m_readOv{};
    char m_buf[19999];
};

TEST_F(SerialTest, PeerWriteCompletesTheWaitAndTheReadGetsTheBytes) {
    StartWait();
    EXPECT_TRUE(NothingQueued(m_port, 50));
    WriteAll(m_pty.master, "OK\r\n");
    Completion c = Next(m_port);
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.ov, &m_waitOv);
    EXPECT_EQ(c.key, kKey);
    EXPECT_EQ(m_mask, EV_RXCHAR);

    StartRead();
    c = Next(m_port);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &m_readOv);
    ASSERT_EQ(c.bytes, 4u);
    EXPECT_EQ(std::string(m_buf, 4), "OK\r\n");
    EXPECT_EQ(m_readOv.Internal, 0u);
    EXPECT_EQ(m_readOv.InternalHigh, 4u);
    EXPECT_TRUE(NothingQueued(m_port, 50));  // exactly once
}

TEST_F(SerialTest, BufferedInputCompletesANewWaitAtOnce) {
    const std::string text = "+CMTI: \"SM\",3\r\n";
    WriteAll(m_pty.master, text);
    // The bytes wait in the device's input queue before the wait starts.
    ASSERT_TRUE(qvtest::WaitUntil(
        [&] {
            int pending = 0;
            return ioctl(m_pty.holder, FIONREAD, &pending) == 0 &&
                   pending >= static_cast<int>(text.size());
        },
        std::chrono::milliseconds(2000)));
    StartWait();
    Completion c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(m_mask, EV_RXCHAR);
}

TEST_F(SerialTest, ReadWithNothingBufferedCompletesWithZeroBytes) {
    StartRead();
    Completion c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &m_readOv);
    EXPECT_EQ(c.bytes, 0u);
}

// With FILE_SKIP_COMPLETION_PORT_ON_SUCCESS an operation that succeeds in
// its call leaves its result in the OVERLAPPED and queues nothing; a wait
// still completes through the port.
TEST_F(SerialTest, SkippingThePortOnSuccessQueuesNoPacketForImmediateSuccesses) {
    ASSERT_TRUE(SetFileCompletionNotificationModes(m_dev, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS));
    WriteAll(m_pty.master, "OK\r\n");
    StartWait();
    Completion c = Next(m_port);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &m_waitOv);

    m_readOv = {};
    ASSERT_TRUE(ReadFile(m_dev, m_buf, sizeof m_buf, nullptr, &m_readOv));
    EXPECT_EQ(m_readOv.InternalHigh, 4u);
    EXPECT_EQ(std::string(m_buf, 4), "OK\r\n");
    OVERLAPPED writeOv{};
    ASSERT_TRUE(WriteFile(m_dev, "AT\r", 3, nullptr, &writeOv));
    EXPECT_EQ(writeOv.InternalHigh, 3u);
    // First in, first out: a marker posted now is the next packet.
    OVERLAPPED marker{};
    ASSERT_TRUE(PostQueuedCompletionStatus(m_port, 0, kKey, &marker));
    EXPECT_EQ(Next(m_port).ov, &marker);
}

// A worker blocked inside its handler must not keep the port's other
// workers from completions that readiness brings meanwhile.
TEST_F(SerialTest, AWorkerBlockedInAHandlerLeavesTheOthersTheirCompletions) {
    constexpr ULONG_PTR kExit = 0xe417;
    COMMTIMEOUTS waitForBytes{};  // a read waits for its first byte
    ASSERT_TRUE(SetCommTimeouts(m_dev, &waitForBytes));
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<LPOVERLAPPED> blockedOn{nullptr};
    std::atomic<LPOVERLAPPED> handledMeanwhile{nullptr};
    std::atomic<pid_t> tids[2] = {0, 0};
    std::atomic<int> started{0};
    auto worker = [&] {
        tids[started++] = static_cast<pid_t>(syscall(SYS_gettid));
        for (;;) {
            Completion c = Next(m_port, INFINITE);
            if (c.key == kExit || (!c.ok && c.ov == nullptr)) return;
            LPOVERLAPPED none = nullptr;
            if (blockedOn.compare_exchange_strong(none, c.ov)) {
                WaitForSingleObject(release, INFINITE);
            } else {
                handledMeanwhile = c.ov;
            }
        }
    };
    std::thread first(worker);
    std::thread second(worker);
    // Both idle in the port before the first byte: one waits on readiness,
    // the other on the queue.
    auto asleep = [&](pid_t tid) {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t end = text.rfind(')');
        return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
    };
    ASSERT_TRUE(
        qvtest::WaitUntil([&] { return started.load() == 2 && asleep(tids[0]) && asleep(tids[1]); },
                          std::chrono::milliseconds(5000)));
    StartRead();
    WriteAll(m_pty.master, "A");
    bool blocked = qvtest::WaitUntil([&] { return blockedOn.load() == &m_readOv; },
                                     std::chrono::milliseconds(5000));
    ASSERT_TRUE(SetCommMask(m_dev, EV_RXCHAR));  // "A" is old news to the wait
    StartWait();
    WriteAll(m_pty.master, "B");
    bool reached = qvtest::WaitUntil([&] { return handledMeanwhile.load() == &m_waitOv; },
                                     std::chrono::milliseconds(5000));
    SetEvent(release);
    PostQueuedCompletionStatus(m_port, 0, kExit, nullptr);
    PostQueuedCompletionStatus(m_port, 0, kExit, nullptr);
    first.join();
    second.join();
    CloseHandle(release);
    EXPECT_TRUE(blocked);
    EXPECT_TRUE(reached);
}

TEST_F(SerialTest, DriverWritesReachThePeer) {
    OVERLAPPED ov{};
    const char cmd[] = "AT+CMGF=0\r";
    if (!WriteFile(m_dev, cmd, sizeof cmd - 1, nullptr, &ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    Completion c = Next(m_port);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &ov);
    EXPECT_EQ(c.bytes, sizeof cmd - 1);
    pollfd p{m_pty.master, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char got[64];
    ssize_t n = read(m_pty.master, got, sizeof got);
    EXPECT_EQ(std::string(got, n > 0 ? n : 0), "AT+CMGF=0\r");
}

TEST_F(SerialTest, LargeWriteCompletesFullyWhileThePeerDrainsSlowly) {
    std::string data(100 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('A' + i % 26);
    std::string received;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        char chunk[1024];
        while (!stop && received.size() < data.size()) {
            ssize_t n = read(m_pty.master, chunk, sizeof chunk);
            if (n > 0) received.append(chunk, static_cast<size_t>(n));
            // A slow peer: real time between reads is what this test is about.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    OVERLAPPED ov{};
    BOOL ok = WriteFile(m_dev, data.data(), static_cast<DWORD>(data.size()), nullptr, &ov);
    EXPECT_TRUE(ok || GetLastError() == ERROR_IO_PENDING);
    Completion c = Next(m_port, 30000);
    stop = c.ok == FALSE;
    peer.join();
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.ov, &ov);
    EXPECT_EQ(c.bytes, data.size());
    EXPECT_EQ(received, data);
    EXPECT_TRUE(NothingQueued(m_port, 50));
}

TEST_F(SerialTest, TheOutputQueueHoldsWhatAPendingWriteHasNotWritten) {
    auto outQueue = [&] {
        COMSTAT stat{};
        DWORD errors = 0;
        EXPECT_TRUE(ClearCommError(m_dev, &errors, &stat));
        return stat.cbOutQue;
    };
    // More than the terminal takes while nobody reads.
    const std::string data(256 * 1024, 'x');
    OVERLAPPED ov{};
    ASSERT_FALSE(WriteFile(m_dev, data.data(), static_cast<DWORD>(data.size()), nullptr, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    const DWORD left = outQueue();
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, data.size());
    std::thread peer([&] {
        std::vector<char> chunk(4096);
        size_t got = 0;
        while (got < data.size()) {
            pollfd p{m_pty.master, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) break;
            ssize_t n = read(m_pty.master, chunk.data(), chunk.size());
            if (n > 0) got += static_cast<size_t>(n);
        }
    });
    Completion c = Next(m_port, 10000);
    peer.join();
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.bytes, data.size());
    EXPECT_EQ(outQueue(), 0u);
}

TEST_F(SerialTest, PurgeAbortsPendingReadAndWriteButNotTheWait) {
    StartWait();
    COMMTIMEOUTS blocking{0, 0, 0, 0, 0};  // a read now waits for data
    ASSERT_TRUE(SetCommTimeouts(m_dev, &blocking));
    StartRead();
    std::string big(1 << 20, 'x');  // more than the pty takes while nobody reads
    OVERLAPPED wov{};
    ASSERT_FALSE(WriteFile(m_dev, big.data(), static_cast<DWORD>(big.size()), nullptr, &wov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(NothingQueued(m_port, 50));

    ASSERT_TRUE(PurgeComm(m_dev, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    std::vector<LPOVERLAPPED> aborted;
    for (int i = 0; i < 2; ++i) {
        Completion c = Next(m_port, 2000);
        EXPECT_FALSE(c.ok);
        EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(c.key, kKey);
        if (c.ov == &wov) {
            EXPECT_LT(c.bytes, big.size());
        }
        aborted.push_back(c.ov);
    }
    std::sort(aborted.begin(), aborted.end());
    std::vector<LPOVERLAPPED> expected{&m_readOv, &wov};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(aborted, expected);
    // As on Windows, the purge leaves the comm-event wait pending; a new mask ends it.
    EXPECT_TRUE(NothingQueued(m_port, 50));
    ASSERT_TRUE(SetCommMask(m_dev, 0));
    Completion c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &m_waitOv);
    EXPECT_EQ(m_mask, 0u);
}

TEST_F(SerialTest, SetCommMaskForgetsInputThatCameBefore) {
    const std::string text = "\r\nOK\r\n";
    WriteAll(m_pty.master, text);
    ASSERT_TRUE(qvtest::WaitUntil(
        [&] {
            COMSTAT stat{};
            DWORD errors = 1;
            return ClearCommError(m_dev, &errors, &stat) && errors == 0 &&
                   stat.cbInQue == text.size();
        },
        std::chrono::milliseconds(2000)));
    // The bytes came before the mask was set: they raise no event, as on
    // Windows, so the wait is still pending when the next mask ends it.
    ASSERT_TRUE(SetCommMask(m_dev, EV_RXCHAR));
    StartWait();
    ASSERT_TRUE(SetCommMask(m_dev, EV_RXCHAR));
    Completion c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &m_waitOv);
    EXPECT_EQ(m_mask, 0u);
    // The next arrival raises one.
    StartWait();
    WriteAll(m_pty.master, "+");
    c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &m_waitOv);
    EXPECT_EQ(m_mask, EV_RXCHAR);
    StartRead();
    c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.bytes, text.size() + 1);
}

TEST_F(SerialTest, SetCommMaskCompletesAPendingWaitWithMaskZero) {
    StartWait();
    ASSERT_TRUE(SetCommMask(m_dev, 0));
    Completion c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &m_waitOv);
    EXPECT_EQ(m_mask, 0u);
    // With mask 0 input no longer completes anything.
    ASSERT_TRUE(SetCommMask(m_dev, 0));
    StartWait();
    WriteAll(m_pty.master, "x");
    EXPECT_TRUE(NothingQueued(m_port, 100));
}

TEST_F(SerialTest, ClosingTheDeviceAbortsItsPendingWait) {
    StartWait();
    ASSERT_TRUE(CloseHandle(m_dev));
    m_dev = INVALID_HANDLE_VALUE;
    Completion c = Next(m_port, 2000);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(c.ov, &m_waitOv);
}

TEST_F(SerialTest, PeerHangUpFailsTheReadWithoutABusyLoop) {
    StartWait();
    qvpty::Close(&m_pty);
    Completion c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &m_waitOv);
    EXPECT_EQ(m_mask, EV_RXCHAR);
    StartRead();
    c = Next(m_port, 2000);
    EXPECT_FALSE(c.ok);  // the failure arrives with its packet
    EXPECT_EQ(c.ov, &m_readOv);
    EXPECT_EQ(c.key, kKey);
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));

    // Keep listening the way the port does (wait, read, wait, ...) for a
    // while: the failures keep coming, but slowly and without burning CPU.
    double cpuStart = CpuSeconds();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
    int failedReads = 0;
    while (std::chrono::steady_clock::now() < end) {
        StartWait();
        c = Next(m_port, 2000);
        ASSERT_TRUE(c.ok);
        ASSERT_EQ(c.ov, &m_waitOv);
        StartRead();
        c = Next(m_port, 2000);
        ASSERT_FALSE(c.ok);
        ASSERT_EQ(c.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
        ++failedReads;
    }
    double cpu = CpuSeconds() - cpuStart;
    EXPECT_GE(failedReads, 3);
    EXPECT_LE(failedReads, 12);
    EXPECT_LT(cpu, 0.2);

    // A wait nobody follows with a read is not completed again.
    StartWait();
    c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    StartWait();
    cpuStart = CpuSeconds();
    EXPECT_TRUE(NothingQueued(m_port, 400));
    EXPECT_LT(CpuSeconds() - cpuStart, 0.1);
    ASSERT_TRUE(SetCommMask(m_dev, EV_RXCHAR));
    c = Next(m_port, 2000);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.ov, &m_waitOv);
    EXPECT_EQ(m_mask, 0u);
}

TEST_F(SerialTest, WriteAfterHangUpFailsThroughThePort) {
    qvpty::Close(&m_pty);
    OVERLAPPED ov{};
    const char at[] = "AT\r";
    EXPECT_FALSE(WriteFile(m_dev, at, 3, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    Completion c = Next(m_port, 2000);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.ov, &ov);
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

TEST_F(SerialTest, TheDeviceIsExclusiveAndCanBeReopenedAfterClose) {
    HANDLE second = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(CloseHandle(m_dev));
    m_dev = Open("\\\\.\\COM7");
    ASSERT_NE(m_dev, INVALID_HANDLE_VALUE) << GetLastError();
    // The pair survived the close: data still flows.
    ASSERT_EQ(CreateIoCompletionPort(m_dev, m_port, kKey, 0), m_port);
    StartWait();
    WriteAll(m_pty.master, "RING\r\n");
    Completion c = Next(m_port);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(m_mask, EV_RXCHAR);
}

TEST_F(SerialTest, NamesMapToTheComFolderOrTtyS) {
    HANDLE h = CreateFileA("\\\\.\\COM8", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    fs::create_symlink(m_dir / "nowhere", m_dir / "com9");  // a dangling link
    h = CreateFileA("\\\\.\\COM9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    unsetenv("QVGSM_COMDIR");
    h = CreateFileA("\\\\.\\COM7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!fs::exists("/dev/ttyS6")) {
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    } else if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
    h = CreateFileA("/dev/null", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);  // not a terminal
}

TEST_F(SerialTest, BadArgumentsAreRefusedWithoutACompletion) {
    StartWait();
    OVERLAPPED other{};
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(m_dev, &mask, &other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ReadFile(m_dev, m_buf, 10, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DCB dcb{};
    dcb.BaudRate = 12345;
    dcb.ByteSize = 8;
    EXPECT_FALSE(SetCommState(m_dev, &dcb));
    EXPECT_FALSE(ReadFile(m_port, m_buf, 10, nullptr, &other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(NothingQueued(m_port, 50));
}

int ThreadCount() {
    int n = 0;
    for (auto& e : fs::directory_iterator("/proc/self/task")) {
        (void)e;
        ++n;
    }
    return n;
}

TEST(SerialMany, TheLargestLineCountSharesOneReactorThread) {
    constexpr int kPorts = 1999;
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    std::vector<qvpty::Pair> ptys(kPorts);
    std::vector<HANDLE> devs(kPorts, INVALID_HANDLE_VALUE);
    std::vector<OVERLAPPED> ovs(kPorts);
    std::vector<DWORD> masks(kPorts);
    int threadsBefore = -1;
    for (int i = 0; i < kPorts; ++i) {
        if (!qvpty::Open(&ptys[i])) {
            int err = errno;
            for (int j = 0; j < i; ++j) {
                CloseHandle(devs[j]);
                qvpty::Close(&ptys[j]);
            }
            CloseHandle(port);
            GTEST_SKIP() << "only " << i << " pseudo-terminals available (errno " << err << ")";
        }
        devs[i] = CreateFileA(ptys[i].slavePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(devs[i], INVALID_HANDLE_VALUE);
        ASSERT_EQ(CreateIoCompletionPort(devs[i], port, static_cast<ULONG_PTR>(i), 0), port);
        ASSERT_TRUE(SetCommMask(devs[i], EV_RXCHAR));
        ASSERT_FALSE(WaitCommEvent(devs[i], &masks[i], &ovs[i]));
        if (i == 0) threadsBefore = ThreadCount();
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);  // no thread per port
    for (auto& p : ptys) WriteAll(p.master, "x");
    std::vector<int> seen(kPorts);
    for (int i = 0; i < kPorts; ++i) {
        Completion c = Next(port);
        ASSERT_TRUE(c.ok);
        ASSERT_LT(c.key, static_cast<ULONG_PTR>(kPorts));
        EXPECT_EQ(c.ov, &ovs[c.key]);
        ++seen[c.key];
    }
    for (int i = 0; i < kPorts; ++i) EXPECT_EQ(seen[i], 1);
    for (int i = 0; i < kPorts; ++i) EXPECT_EQ(masks[i], EV_RXCHAR);
    for (HANDLE d : devs) CloseHandle(d);
    for (auto& p : ptys) qvpty::Close(&p);
    CloseHandle(port);
}

}  // namespace
