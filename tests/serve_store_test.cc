// The gateway's SQLite store and its configuration: what reports make of a
// message, what a restart does with rows the driver held, re-reads of the
// SIM after a crash, schema versions, and the TOML file with flags on top.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>

#include "support/serve/ServeDaemon.h"
#include "tools/serve/Config.h"
#include "tools/serve/Store.h"

namespace {

using qvserve::PartReport;
using qvserve::StateFromReports;

PartReport Report(int part, int status) {
    PartReport r;
    r.part = part;
    r.status = status;
    return r;
}

TEST(ServeReports, FinalStatusesOfEveryPartDecideTheState) {
    EXPECT_EQ(StateFromReports({Report(1, 0x00)}, 1), "delivered");
    EXPECT_EQ(StateFromReports({Report(1, 0x02)}, 1), "delivered");          // replaced by the SC
    EXPECT_EQ(StateFromReports({Report(1, 0x00)}, 2), "");                   // part 2 still open
    EXPECT_EQ(StateFromReports({Report(1, 0x00), Report(2, 0x20)}, 2), "");  // SC still trying
    EXPECT_EQ(StateFromReports({Report(1, 0x00), Report(2, 0x41)}, 2), "undeliverable");
    EXPECT_EQ(StateFromReports({Report(1, 0x62)}, 1), "undeliverable");  // no longer tried
    EXPECT_EQ(StateFromReports({Report(1, 0x46)}, 1), "expired");
    EXPECT_EQ(StateFromReports({Report(2, 0x00), Report(1, 0x00), Report(3, 0x1F)}, 3),
              "delivered");
}

class ServeStore : public ::testing::Test {
  protected:
    bool Open(qvserve::Store& store) {
        std::string error;
        bool ok = store.Open(m_dir.Path() + "/g.db", &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    qvtest::WorkDir m_dir;
};

TEST_F(ServeStore, ReportsBeforeAndAfterTheSentCallbackBothEndDelivered) {
    qvserve::Store store;
    ASSERT_TRUE(Open(store));
    store.BeginRun();
    int64_t early = store.Enqueue("+1555", "two parts", std::nullopt, true, 2);
    int64_t late = store.Enqueue("+1556", "one part", std::nullopt, true, 1);
    ASSERT_EQ(store.Claim(10).size(), 2u);

    std::string state;
    PartReport r = Report(1, 0x00);
    r.totalParts = 2;
    ASSERT_TRUE(store.AddReport(early, r, &state));
    r.part = 2;
    ASSERT_TRUE(store.AddReport(early, r, &state));
    EXPECT_EQ(state, "");  // not moved while still submitted
    store.Finish(early, "sent", 1, 0, 1, "sent on COM1");
    EXPECT_EQ(store.Get(early)->state, "delivered");

    store.Finish(late, "sent", 2, 0, 1, "sent on COM2");
    r = Report(1, 0x20);  // temporary: stays sent
    ASSERT_TRUE(store.AddReport(late, r, &state));
    EXPECT_EQ(store.Get(late)->state, "sent");
    r.status = 0x00;
    ASSERT_TRUE(store.AddReport(late, r, &state));
    EXPECT_EQ(state, "delivered");
    EXPECT_EQ(store.Reports(late).size(), 1u);  // the final report replaced the first
    EXPECT_FALSE(store.AddReport(9999, r, &state));
}

TEST_F(ServeStore, RowsTheDriverHeldBecomeUnknownOrQueuedOnRestart) {
    for (bool atLeastOnce : {false, true}) {
        qvtest::WorkDir dir;
        std::string error;
        int64_t held, waiting;
        {
            qvserve::Store store;
            ASSERT_TRUE(store.Open(dir.Path() + "/g.db", &error)) << error;
            store.BeginRun();
            held = store.Enqueue("+1", "held", std::nullopt, false, 1);
            ASSERT_EQ(store.Claim(1).size(), 1u);
            waiting = store.Enqueue("+2", "waiting", std::nullopt, false, 1);
        }  // no EndRun: a crash
        qvserve::Store store;
        ASSERT_TRUE(store.Open(dir.Path() + "/g.db", &error)) << error;
        store.BeginRun();
        auto r = store.Recover(atLeastOnce);
        EXPECT_EQ(r.requeued, atLeastOnce ? 1 : 0);
        EXPECT_EQ(r.unknown, atLeastOnce ? 0 : 1);
        EXPECT_EQ(store.Get(held)->state, atLeastOnce ? "queued" : "unknown");
        EXPECT_EQ(store.Get(waiting)->state, "queued");
        EXPECT_EQ(store.History(held).back().state, atLeastOnce ? "queued" : "unknown");
    }
}

TEST_F(ServeStore, AMessageReadAgainAfterACrashIsKeptOnce) {
    bool dup = true;
    {
        qvserve::Store store;
        ASSERT_TRUE(Open(store));
        store.BeginRun();
        store.AddInbox(1, "+1555", "hello", 1, false, &dup);
        EXPECT_FALSE(dup);
    }  // crash: the SIM may still hold it
    {
        qvserve::Store store;
        ASSERT_TRUE(Open(store));
        store.BeginRun();
        store.AddInbox(1, "+1555", "hello", 1, false, &dup);
        EXPECT_TRUE(dup);  // the re-read
        store.AddInbox(1, "+1555", "hello", 1, false, &dup);
        EXPECT_FALSE(dup);  // the same text sent again is a new message
        store.AddInbox(2, "+1555", "other line", 1, false, &dup);
        EXPECT_FALSE(dup);
        EXPECT_EQ(store.InboxCount(), 3);
        store.EndRun();
    }
    qvserve::Store store;
    ASSERT_TRUE(Open(store));
    store.BeginRun();
    store.AddInbox(1, "+1555", "hello", 1, false, &dup);
    EXPECT_FALSE(dup);  // after a clean stop nothing is left to re-read
}

TEST_F(ServeStore, SchemaIsVersionedAndANewerOneIsRefused) {
    {
        qvserve::Store store;
        ASSERT_TRUE(Open(store));
        EXPECT_EQ(store.SchemaVersion(), qvserve::Store::kSchemaVersion);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((m_dir.Path() + "/g.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    qvserve::Store store;
    std::string error;
    EXPECT_FALSE(store.Open(m_dir.Path() + "/g.db", &error));
    EXPECT_NE(error.find("schema version 99"), std::string::npos) << error;
}

TEST(ServeConfig, FileThenFlagsAndItsChecks) {
    qvtest::WorkDir dir;
    const std::string path = dir.Path() + "/gw.toml";
    std::ofstream(path) << "listen = \"0.0.0.0:9000\"\ntoken = \"abc\"\ndelivery = "
                           "\"at-least-once\"\n[webhook]\nurl = \"http://127.0.0.1:1/hook\"\n"
                           "[[line]]\ncom = 1\ndevice = \"/dev/ttyUSB0\"\nstatus_reports = true\n"
                           "[[line]]\ncom = 2\ndevice = \"/dev/ttyUSB1\"\nsend = false\n";
    qvserve::ServeFlags flags;
    flags.configFile = path;
    flags.lines = {"2=/dev/ttyACM0,nointl,retries=5", "7=/dev/ttyACM1,noreceive"};
    flags.db = dir.Path() + "/x.db";
    qvserve::ServeConfig c;
    std::string error;
    ASSERT_TRUE(qvserve::LoadConfig(flags, &c, &error)) << error;
    EXPECT_EQ(c.listen, "0.0.0.0:9000");
    EXPECT_EQ(c.db, dir.Path() + "/x.db");
    EXPECT_EQ(c.delivery, qvserve::Delivery::AtLeastOnce);
    EXPECT_EQ(c.webhookUrl, "http://127.0.0.1:1/hook");
    ASSERT_EQ(c.lines.size(), 3u);
    EXPECT_TRUE(c.lines[0].statusReports);
    EXPECT_EQ(c.lines[1].device, "/dev/ttyACM0");  // the flag replaced COM2
    EXPECT_TRUE(c.lines[1].send);
    EXPECT_FALSE(c.lines[1].international);
    EXPECT_EQ(c.lines[1].retries, 5u);
    EXPECT_FALSE(c.lines[2].receive);

    flags.token = "";  // off loopback a token is required
    EXPECT_FALSE(qvserve::LoadConfig(flags, &c, &error));
    EXPECT_NE(error.find("token is required"), std::string::npos) << error;

    std::ofstream(path) << "listen = \"127.0.0.1:9000\"\nlisen = 1\n";
    qvserve::ServeFlags typo;
    typo.configFile = path;
    typo.simulate = 2;
    EXPECT_FALSE(qvserve::LoadConfig(typo, &c, &error));
    EXPECT_NE(error.find("unknown key 'lisen'"), std::string::npos) << error;

    qvserve::LineSetting line;
    EXPECT_FALSE(qvserve::ParseLineFlag("1=/dev/ttyS0,fast", &line, &error));
    EXPECT_NE(error.find("unknown flag 'fast'"), std::string::npos) << error;
}

}  // namespace
