// qvgsm demo: three simulated modems end to end, inside 30 seconds.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/ChildProcess.h"

namespace {

TEST(ToolDemo, RunsToItsSummaryAndPasses) {
    std::map<std::string, std::string> env;
#ifdef QVGSM_DRIVER_SO
    env["QVGSM_DRIVER"] = QVGSM_DRIVER_SO;
#endif
    auto start = std::chrono::steady_clock::now();
    qvtest::RunResult r =
        qvtest::RunProgram({QVGSM_QVGSM_EXE, "demo"}, env, std::chrono::milliseconds(60000));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r.output.find("no pseudo-terminal") != std::string::npos) GTEST_SKIP() << "no pty";
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    EXPECT_LT(seconds, 30.0);
    EXPECT_NE(r.output.find("Summary"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("| sent       |        3 |        3 | 3 decoded texts match"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("| received   |        2 |        2 | 2 texts match injected"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Demo passed"), std::string::npos) << r.output;
    // Each callback was shown as it came: three lines, three sends, two arrivals.
    EXPECT_NE(r.output.find("(8/8) callback:"), std::string::npos) << r.output;

    const std::string marker = "Line logs: ";
    size_t at = r.output.find(marker);
    ASSERT_NE(at, std::string::npos);
    std::string dir = r.output.substr(at + marker.size());
    dir = dir.substr(0, dir.find(' '));
    for (int com = 1; com <= 3; ++com) {
        auto log = std::filesystem::path(dir) / ("GSM_COM" + std::to_string(com) + ".log");
        ASSERT_TRUE(std::filesystem::exists(log)) << log;
        EXPECT_GT(std::filesystem::file_size(log), 0u) << log;
    }
    std::error_code ec;
    if (dir.find("qvgsm-demo-logs-") != std::string::npos) std::filesystem::remove_all(dir, ec);
}

}  // namespace
