// The installed package: `cmake --install` of this build into a fresh prefix,
// the C example host built against it with find_package(qvGSMcomdrv), run
// against a simulated modem.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/ChildProcess.h"
#include "tools/sim/Simulator.h"

namespace fs = std::filesystem;

namespace {

using ms = std::chrono::milliseconds;

class Package : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/qvgsm-package-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        m_root = templ;
    }
    void TearDown() override {
        std::error_code ec;
        if (!m_root.empty()) fs::remove_all(m_root, ec);
    }

    qvtest::RunResult Run(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env = {}) {
        return qvtest::RunProgram(argv, env, ms(200000));
    }

    fs::path m_root;
};

TEST_F(Package, InstalledExampleSendsThroughASimulatedModem) {
    const fs::path prefix = m_root / "prefix";
    const std::string cmake = "/usr/bin/cmake";
    auto r = Run({cmake, "--install", QVGSM_BINARY_DIR, "--prefix", prefix.string()});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;

    // What a user of the package gets.
    EXPECT_TRUE(fs::exists(prefix / "include/qvGSMcomdrv.h"));
    EXPECT_TRUE(fs::exists(prefix / "bin/qvgsm"));
    bool lib = false, tarn = false, config = false, pc = false;
    for (const auto& e : fs::recursive_directory_iterator(prefix)) {
        const std::string name = e.path().filename().string();
        lib |= name == "libqvGSMcomdrv.so";
        tarn |= name == "libtarn_log.so";
        config |= name == "qvGSMcomdrvConfig.cmake";
        pc |= name == "qvGSMcomdrv.pc";
    }
    EXPECT_TRUE(lib && tarn && config && pc) << lib << tarn << config << pc;

    const fs::path build = m_root / "example";
    r = Run({cmake, "-S", QVGSM_SOURCE_DIR "/examples", "-B", build.string(),
             "-DCMAKE_PREFIX_PATH=" + prefix.string(), "-DCMAKE_BUILD_TYPE=Release"});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    r = Run({cmake, "--build", build.string(), "-j1"});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;

    qvsim::Simulator sim;
    int modem = sim.Add();
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal";
    const fs::path comDir = m_root / "com";
    const fs::path logDir = m_root / "logs";
    fs::create_directories(comDir);
    fs::create_directories(logDir);
    ASSERT_TRUE(sim.Link(modem, comDir.string(), 4));

    r = Run({(build / "send_one").string(), "4", "+15557654321", "installed and sending"},
            {{"QVGSM_COMDIR", comDir.string()}, {"QVGSM_LOGDIR", logDir.string()}});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    EXPECT_NE(r.output.find("sent to +15557654321"), std::string::npos) << r.output;
    auto submits = sim.Submits(modem);
    ASSERT_EQ(submits.size(), 1u);
    EXPECT_EQ(submits[0].number, "+15557654321");
    EXPECT_EQ(submits[0].utf8, "installed and sending");
    EXPECT_TRUE(fs::exists(logDir / "GSM_COM4.log"));

    // The installed qvgsm finds the installed library next to itself.
    r = Run({(prefix / "bin/qvgsm").string(), "send", "--line", "4=" + sim.SlavePath(modem), "--to",
             "+15557654321", "--text", "again"},
            {{"QVGSM_LOGDIR", logDir.string()}, {"QVGSM_DRIVER", ""}});
    EXPECT_EQ(r.status, 0) << r.output << r.errors;
    EXPECT_NE(r.output.find("driver " + prefix.string()), std::string::npos) << r.output;
    EXPECT_EQ(sim.Submits(modem).size(), 2u);
}

}  // namespace
