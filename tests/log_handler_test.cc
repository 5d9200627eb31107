// The line log's calls into tarn_log, recorded by a fake of its entry points.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "logging/LoggingHandler.h"
#include "logging/TarnEntries.h"

namespace {

struct Call {
    std::string entry;  // "open", "close", "A", "B"
    uint32_t handle = 0;
    int severity = -1, level = -1, reserved1 = -1, reserved2 = -1;
    std::string text;  // formatted line, or the open template
    std::string source, fileName;
    int locking = -1, openLevel = -1, limit = -1;
};

std::vector<Call> g_Calls;
uint32_t g_NextHandle = 42;

void FakeOpen(uint32_t* handle, const char* configTemplate, ...) {
    Call call;
    call.entry = "open";
    call.text = configTemplate;
    va_list args;
    va_start(args, configTemplate);
    call.source = va_arg(args, const char*);
    call.fileName = va_arg(args, const char*);
    call.locking = va_arg(args, int);
    call.openLevel = va_arg(args, int);
    call.limit = va_arg(args, int);
    va_end(args);
    *handle = g_NextHandle;
    g_Calls.push_back(call);
}

void FakeClose(uint32_t handle) {
    Call call;
    call.entry = "close";
    call.handle = handle;
    g_Calls.push_back(call);
}

void Record(const char* entry, uint32_t handle, int severity, int level, int reserved1,
            int reserved2, const char* format, va_list args) {
    Call call;
    call.entry = entry;
    call.handle = handle;
    call.severity = severity;
    call.level = level;
    call.reserved1 = reserved1;
    call.reserved2 = reserved2;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    call.text = line;
    g_Calls.push_back(call);
}

void FakeWriteA(uint32_t h, int s, int l, int r1, int r2, const char* f, va_list a) {
    Record("A", h, s, l, r1, r2, f, a);
}

void FakeWriteB(uint32_t h, int s, int l, int r1, int r2, const char* f, va_list a) {
    Record("B", h, s, l, r1, r2, f, a);
}

class LogHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved = TarnEntries();
        TarnEntries() = TarnEntryTable{FakeOpen, FakeClose, FakeWriteA, FakeWriteB};
        g_Calls.clear();
        g_NextHandle = 42;
    }
    void TearDown() override { TarnEntries() = saved; }

    void LogAllSix(CLoggingHandler& log) {
        log.LogInfo("info %d", 1);
        log.LogInfo2("info2 %s", "x");
        log.LogWarning("warning %d", 2);
        log.LogWarning2("warning2 %d", 3);
        log.LogError("error %s", "y");
        log.LogError2("error2 %d", 4);
    }

    TarnEntryTable saved{};
};

TEST_F(LogHandlerTest, NoLibraryCallWhileClosed) {
    CLoggingHandler log;
    EXPECT_EQ(log.GetHandle(), 0u);
    LogAllSix(log);
    log.Close();
    EXPECT_TRUE(g_Calls.empty());

    log.Open("GSM_COM1.log", "GSM_DRV", 1);
    log.Close();
    g_Calls.clear();
    LogAllSix(log);
    log.Close();
    EXPECT_TRUE(g_Calls.empty()) << "after Close";
}

TEST_F(LogHandlerTest, OpenPassesTemplateAndFieldValues) {
    CLoggingHandler log;
    char fileName[100] = {};
    std::snprintf(fileName, sizeof fileName, "GSM_COM%d.log", 12);
    log.Open(fileName, "GSM_DRV", 1);
    ASSERT_EQ(g_Calls.size(), 1u);
    const Call& open = g_Calls[0];
    EXPECT_EQ(open.entry, "open");
    EXPECT_EQ(open.text, "%source;%csvlogname;%locking;%loglevel;%csvlimit");
    EXPECT_EQ(open.source, "GSM_DRV");
    EXPECT_EQ(open.fileName, "GSM_COM12.log");
    EXPECT_EQ(open.locking, 1);
    EXPECT_EQ(open.openLevel, 1);
    EXPECT_EQ(open.limit, 5242880);
    EXPECT_EQ(log.GetHandle(), 42u);
}

TEST_F(LogHandlerTest, LevelsOutsideZeroToThreeOpenWithOne) {
    const int given[] = {7, 2, 0, 3, -1, 4};
    const int expected[] = {1, 2, 0, 3, 1, 1};
    for (size_t i = 0; i < std::size(given); ++i) {
        g_Calls.clear();
        CLoggingHandler log;
        log.Open("GSM_COM1.log", "GSM_DRV", given[i]);
        ASSERT_EQ(g_Calls.size(), 1u);
        EXPECT_EQ(g_Calls[0].openLevel, expected[i]) << "level " << given[i];
        log.Close();
    }
}

TEST_F(LogHandlerTest, SecondOpenMakesNoCallAndKeepsHandle) {
    CLoggingHandler log;
    log.Open("GSM_COM1.log", "GSM_DRV", 1);
    g_NextHandle = 99;
    log.Open("GSM_COM2.log", "GSM_DRV", 1);
    EXPECT_EQ(g_Calls.size(), 1u);
    EXPECT_EQ(log.GetHandle(), 42u);
}

TEST_F(LogHandlerTest, EachOperationMapsToItsEntrySeverityAndLevel) {
    CLoggingHandler log;
    log.Open("GSM_COM1.log", "GSM_DRV", 1);
    g_Calls.clear();
    LogAllSix(log);
    struct Expect {
        const char* entry;
        int severity, level;
        const char* text;
    };
    const Expect expected[] = {
        {"A", 2, 3, "info 1"},     {"B", 2, 3, "info2 x"}, {"A", 1, 2, "warning 2"},
        {"B", 1, 2, "warning2 3"}, {"A", 0, 1, "error y"}, {"B", 0, 1, "error2 4"},
    };
    ASSERT_EQ(g_Calls.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(g_Calls[i].entry, expected[i].entry) << i;
        EXPECT_EQ(g_Calls[i].handle, 42u) << i;
        EXPECT_EQ(g_Calls[i].severity, expected[i].severity) << i;
        EXPECT_EQ(g_Calls[i].level, expected[i].level) << i;
        EXPECT_EQ(g_Calls[i].reserved1, 0) << i;
        EXPECT_EQ(g_Calls[i].reserved2, 0) << i;
        EXPECT_EQ(g_Calls[i].text, expected[i].text) << i;
    }
}

TEST_F(LogHandlerTest, CloseCallsLibraryOnceAndClearsHandle) {
    CLoggingHandler log;
    log.Open("GSM_COM1.log", "GSM_DRV", 1);
    log.Close();
    log.Close();
    ASSERT_EQ(g_Calls.size(), 2u);
    EXPECT_EQ(g_Calls[1].entry, "close");
    EXPECT_EQ(g_Calls[1].handle, 42u);
    EXPECT_EQ(log.GetHandle(), 0u);
}

TEST_F(LogHandlerTest, FailedOpenStillCountsAsOpen) {
    g_NextHandle = 0;
    CLoggingHandler log;
    log.Open("GSM_COM1.log", "GSM_DRV", 1);
    log.LogInfo("x");
    ASSERT_EQ(g_Calls.size(), 2u);
    EXPECT_EQ(g_Calls[1].entry, "A");
    EXPECT_EQ(g_Calls[1].handle, 0u);
}

TEST_F(LogHandlerTest, AttachOpensOnlyForRealHandles) {
    CLoggingHandler log;
    log.Attach(0);
    log.LogInfo("a");
    log.Attach(UINT32_MAX);
    log.LogInfo("b");
    EXPECT_TRUE(g_Calls.empty());
    log.Attach(7);
    EXPECT_EQ(log.GetHandle(), 7u);
    log.LogInfo("c");
    ASSERT_EQ(g_Calls.size(), 1u);
    EXPECT_EQ(g_Calls[0].handle, 7u);
    // Open on an attached log makes no call.
    log.Open("GSM_COM1.log", "GSM_DRV", 1);
    EXPECT_EQ(g_Calls.size(), 1u);
}

}  // namespace
