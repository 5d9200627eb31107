// The line log written through the real tarn_log into files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/LoggingHandler.h"
#include "logging/tarn/tarn_log.h"

namespace fs = std::filesystem;

namespace {

// This file also runs as a Windows program (tests/win).
void SetLogDir(const std::string& dir) {
#if defined(_WIN32)
    _putenv_s("QVGSM_LOGDIR", dir.c_str());
#else
    if (dir.empty()) {
        unsetenv("QVGSM_LOGDIR");
    } else {
        setenv("QVGSM_LOGDIR", dir.c_str(), 1);
    }
#endif
}

void FlushAll() {
#if !defined(_WIN32)
    tarn_flush_all();  // on Windows every line is written through at once
#endif
}

class TarnLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        fs::path path =
            fs::temp_directory_path() /
            ("qvgsm-logs-" + std::string(info->name()) + "-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        ASSERT_TRUE(fs::create_directory(path));
        dir = path.string();
        SetLogDir(dir);
    }
    void TearDown() override {
        SetLogDir("");
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::vector<std::string> ReadLines(const std::string& name) {
        FlushAll();
        std::ifstream in(dir + "/" + name);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    static int CountEndingWith(const std::vector<std::string>& lines, const std::string& tail) {
        int count = 0;
        for (const auto& line : lines)
            if (line.size() >= tail.size() &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
                ++count;
        return count;
    }

    std::string dir;
};

// What a line does with its log: the file named after the COM port, the
// start banner, lines at three severities, the end banner.
TEST_F(TarnLogTest, LineLogFileCarriesBannerAndSeverities) {
    CLoggingHandler log;
    char fileName[100] = {};
    std::snprintf(fileName, sizeof fileName, "GSM_COM%d.log", 12);
    log.Open(fileName, "GSM_DRV", 1);
    EXPECT_NE(log.GetHandle(), 0u);
    log.LogInfo("|============= STARTING LOG - COM: %d =============|", 12);
    log.LogWarning("a warning %d", 2);
    log.LogError("an error %s", "here");
    log.LogInfo2("second entry %d", 5);

    auto lines = ReadLines("GSM_COM12.log");
    ASSERT_EQ(lines.size(), 4u);
    // time, thread, source, severity, text
    std::regex shape(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] \[GSM_DRV\] \[(\w+)\] (.*)$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, shape)) << lines[0];
    EXPECT_EQ(match[1], "info");
    EXPECT_EQ(match[2], "|============= STARTING LOG - COM: 12 =============|");
    ASSERT_TRUE(std::regex_match(lines[1], match, shape)) << lines[1];
    EXPECT_EQ(match[1], "warning");
    EXPECT_EQ(match[2], "a warning 2");
    ASSERT_TRUE(std::regex_match(lines[2], match, shape)) << lines[2];
    EXPECT_EQ(match[1], "error");
    EXPECT_EQ(match[2], "an error here");
    ASSERT_TRUE(std::regex_match(lines[3], match, shape)) << lines[3];
    EXPECT_EQ(match[1], "info");

    log.LogInfo("|==================== END OF LOG ==================|");
    log.Close();
    log.LogInfo("after close");
    // Close writes what was buffered without an explicit flush.
    std::ifstream in(dir + "/GSM_COM12.log");
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_NE(all.str().find("END OF LOG"), std::string::npos);
    EXPECT_EQ(all.str().find("after close"), std::string::npos);
}

TEST_F(TarnLogTest, DifferentPortsWriteDifferentFiles) {
    CLoggingHandler a, b;
    a.Open("GSM_COM1.log", "GSM_DRV", 1);
    b.Open("GSM_COM2.log", "GSM_DRV", 1);
    a.LogInfo("to one");
    b.LogInfo("to two");
    auto one = ReadLines("GSM_COM1.log");
    auto two = ReadLines("GSM_COM2.log");
    ASSERT_EQ(one.size(), 1u);
    ASSERT_EQ(two.size(), 1u);
    EXPECT_EQ(CountEndingWith(one, "to one"), 1);
    EXPECT_EQ(CountEndingWith(two, "to two"), 1);
    a.Close();
    b.Close();
}

// A refused duplicate line opens the registered line's file too: both
// handles write to the one file.
TEST_F(TarnLogTest, TwoHandlesOnOneFileShareIt) {
    CLoggingHandler first, duplicate;
    first.Open("GSM_COM5.log", "GSM_DRV", 1);
    duplicate.Open("GSM_COM5.log", "GSM_DRV", 1);
    EXPECT_NE(first.GetHandle(), duplicate.GetHandle());
    first.LogInfo("first %d", 1);
    duplicate.LogInfo("duplicate %d", 2);
    duplicate.Close();
    first.LogInfo("first %d", 3);
    auto lines = ReadLines("GSM_COM5.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(CountEndingWith(lines, "first 1"), 1);
    EXPECT_EQ(CountEndingWith(lines, "duplicate 2"), 1);
    EXPECT_EQ(CountEndingWith(lines, "first 3"), 1);
    first.Close();
}

TEST_F(TarnLogTest, ConcurrentWritersKeepLinesWhole) {
    CLoggingHandler log;
    log.Open("GSM_COM7.log", "GSM_DRV", 1);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&log, t] {
            for (int i = 0; i < 500; ++i) log.LogInfo("writer %d line %d end", t, i);
        });
    for (auto& w : writers) w.join();
    auto lines = ReadLines("GSM_COM7.log");
    ASSERT_EQ(lines.size(), 2000u);
    std::regex whole(R"(.*\] writer \d line \d+ end$)");
    for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
    log.Close();
}

TEST_F(TarnLogTest, LongLinesAreWrittenWhole) {
    CLoggingHandler log;
    log.Open("GSM_COM8.log", "GSM_DRV", 1);
    std::string data(70000, 'x');
    data.back() = 'y';
    log.LogInfo("RECV(%d): %s", 70000, data.c_str());
    auto lines = ReadLines("GSM_COM8.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(CountEndingWith(lines, "RECV(70000): " + data), 1);
    log.Close();
}

TEST_F(TarnLogTest, SizeLimitRotatesTheFile) {
    uint32_t handle = 0;
    tarn_ordinal_36(&handle, "%source;%csvlogname;%locking;%loglevel;%csvlimit", "GSM_DRV",
                    "GSM_COM9.log", 1, 1, 4000);
    ASSERT_NE(handle, 0u);
    auto write = [handle](const char* format, ...) {
        va_list args;
        va_start(args, format);
        tarn_ordinal_34(handle, 2, 3, 0, 0, format, args);
        va_end(args);
    };
    for (int i = 0; i < 200; ++i) write("line %d of a file that grows past its limit", i);
    tarn_ordinal_12(handle);
    EXPECT_TRUE(fs::exists(dir + "/GSM_COM9.1.log"));
    EXPECT_LE(fs::file_size(dir + "/GSM_COM9.log"), 4000u);
}

TEST_F(TarnLogTest, UnknownHandlesAndMissingNamesAreHarmless) {
    uint32_t handle = 123;
    tarn_ordinal_36(&handle, "%source;%csvlogname;%locking;%loglevel;%csvlimit", "GSM_DRV", nullptr,
                    1, 1, 5242880);
    EXPECT_EQ(handle, 0u);
    tarn_ordinal_12(0);
    tarn_ordinal_12(987654);
    CLoggingHandler log;
    log.Attach(987654);
    log.LogError("into nowhere");
    FlushAll();
}

}  // namespace

// A modem's answer with its line ends, Ctrl-Z and ESC stays one entry.
TEST_F(TarnLogTest, ControlCharactersAreEscapedSoAnEntryIsOneLine) {
    CLoggingHandler log;
    log.Open("GSM_COM10.log", "GSM_DRV", 1);
    log.LogInfo("RECV(%d): %s", 12, "\r\nOK\r\n\x1A\x1B\tx");
    // Control characters at and between word boundaries of a longer text;
    // bytes from 0x7F up are text.
    log.LogInfo("%s",
                "\x01"
                "abcdefg\rhijklmn\nopqrstuvwxyz0123\x1A"
                "45\x7F\x80\xFF");
    log.Close();
    auto lines = ReadLines("GSM_COM10.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(CountEndingWith(lines, "RECV(12): \\r\\nOK\\r\\n\\x1A\\x1B\tx"), 1);
    EXPECT_EQ(
        CountEndingWith(lines, "] \\x01abcdefg\\rhijklmn\\nopqrstuvwxyz0123\\x1A45\x7F\x80\xFF"), 1)
        << lines[1];
}

#if !defined(_WIN32)
// A pool worker's warnings and errors reach the file when it has handled its
// packet; any other thread's at once. Neither waits for the second's flush.
TEST_F(TarnLogTest, DeferredWarningsReachTheFileWhenTheWorkerFlushesThem) {
    CLoggingHandler log;
    log.Open("GSM_COM31.log", "GSM_DRV", 1);
    auto written = [&](const std::string& text) {
        std::ifstream in(dir + "/GSM_COM31.log");
        std::stringstream all;
        all << in.rdbuf();
        return all.str().find(text) != std::string::npos;
    };
    std::thread worker([&] {
        DeferLogFlushes(true);
        log.LogError("an error");
        log.LogWarning("then a warning");
        FlushDeferredLogs();
        EXPECT_TRUE(written("then a warning"));
        DeferLogFlushes(false);
    });
    worker.join();
    log.LogWarning("not deferred");
    EXPECT_TRUE(written("not deferred"));
    log.Close();
}
#endif

#if !defined(_WIN32)
// Lines still in memory when the process dies of a signal are in the file:
// they are the ones that tell why.
TEST_F(TarnLogTest, AFatalSignalWritesTheBufferedLinesFirst) {
    GTEST_FLAG_SET(death_test_style, "fast");  // the child writes into this test's folder
    EXPECT_DEATH(
        {
            CLoggingHandler log;
            log.Open("GSM_COM41.log", "GSM_DRV", 1);
            log.LogInfo("the last words %d", 1);
            std::abort();
        },
        "");
    auto lines = ReadLines("GSM_COM41.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(CountEndingWith(lines, "the last words 1"), 1);
}
#endif

TEST_F(TarnLogTest, ALogFileThatCannotBeCreatedIsSaidOnStderr) {
    std::ofstream(dir + "/blocker") << "a file where a folder would have to be";
    uint32_t handle = 7;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 2; ++i)
        tarn_ordinal_36(&handle, "%source;%csvlogname;%locking;%loglevel;%csvlimit", "GSM_DRV",
                        "blocker/GSM_COM11.log", 1, 1, 4000);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(handle, 0u);
    EXPECT_NE(said.find("cannot create the log file"), std::string::npos) << said;
    EXPECT_EQ(said.find("cannot create", said.find("cannot create") + 1), std::string::npos)
        << "said more than once: " << said;
}

// A busy line may log less: the level is taken when the file is opened.
TEST_F(TarnLogTest, LogLevelFromTheEnvironmentDropsLessSevereLines) {
    const struct {
        const char* level;
        int kept;  // of an info, a warning and an error line
    } cases[] = {{"error", 1}, {"warning", 2}, {"info", 3}, {"anything else", 3}};
    int port = 20;
    for (const auto& c : cases) {
#if defined(_WIN32)
        _putenv_s("QVGSM_LOGLEVEL", c.level);
#else
        setenv("QVGSM_LOGLEVEL", c.level, 1);
#endif
        const std::string name = "GSM_COM" + std::to_string(++port) + ".log";
        CLoggingHandler log;
        log.Open(name.c_str(), "GSM_DRV", 1);
        log.LogInfo("an info line");
        log.LogWarning("a warning line");
        log.LogError("an error line");
        log.Close();
        EXPECT_EQ(ReadLines(name).size(), static_cast<size_t>(c.kept)) << c.level;
    }
#if defined(_WIN32)
    _putenv_s("QVGSM_LOGLEVEL", "");
#else
    unsetenv("QVGSM_LOGLEVEL");
#endif
}

// Lines are formatted as printf would, whichever way they are formatted.
TEST_F(TarnLogTest, EntriesReadAsPrintfWouldFormatThem) {
    CLoggingHandler log;
    log.Open("GSM_COM40.log", "GSM_DRV", 1);
    std::vector<std::string> expected;
    auto both = [&](auto... args) {
        char text[512];
        std::snprintf(text, sizeof text, args...);
        expected.push_back(text);
        log.LogInfo(args...);
    };
    both("%s|%d|%i|%u|%x|%c|%%|end", "text", -42, 0, 4294967295u, 0xBEEFu, 'Z');
    both("%ld %lu %lld %llu %zu %zd", -1L, 123456789UL, -9223372036854775807LL - 1,
         18446744073709551615ULL, static_cast<size_t>(77), static_cast<std::ptrdiff_t>(-77));
    both("%d%s", -2147483647 - 1, "");
    both("%5d|%-4s|%.2f|%08X|%+d", 7, "ab", 3.14159, 0xABCu, 5);
    both("100%% %s", "sure");
    both("%s %u, then %5.1f", "plain", 3u, 2.25);  // falls back after a start
    log.Close();
    auto lines = ReadLines("GSM_COM40.log");
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(CountEndingWith({lines[i]}, "[info] " + expected[i]), 1) << lines[i];
}
