// The +CMTI pre-processor on its own: which indications queue records and
// what stays in the receive history.
#include <gtest/gtest.h>

#include "gsm/GSMDevice.h"
#include "io/ComPort.h"
#include "support/RecordingLog.h"

using namespace qvtest;

namespace {

class NotifyDevice : public GSMDevice {
  public:
    NotifyDevice(const GSMLineConfig* config, ILogInterface* log)
        : GSMDevice(config, new ComPort(), log, nullptr) {}

    std::vector<uint32_t> Queued() {
        qv::MutexLock lock(m_RecvLock);
        std::vector<uint32_t> out;
        for (SMSRecv* r : m_RecvQueue) out.push_back(r->simIndex);
        return out;
    }
};

class RecvNotify : public ::testing::Test {
  protected:
    RecvNotify() : config(), device(&config, &log) {}

    GSMLineConfig config;
    RecordingLog log;
    NotifyDevice device;
};

TEST_F(RecvNotify, OneIndicationQueuesItsIndexAndKeepsTheRest) {
    std::string history = "\r\n+CMTI: \"SM\",3\r\nRING";
    EXPECT_TRUE(device.PreProcessRecvNotifications(history));
    EXPECT_EQ(device.Queued(), (std::vector<uint32_t>{3}));
    EXPECT_EQ(history, "\r\nRING");
    EXPECT_TRUE(log.Has("SMSPreProcesser: SMS part receive notification detected ...", 'I'));
}

TEST_F(RecvNotify, TwoIndicationsQueueInOrder) {
    std::string history = "+CMTI: \"SM\",3\r\n+CMTI: \"SM\",4\r\n";
    EXPECT_TRUE(device.PreProcessRecvNotifications(history));
    EXPECT_EQ(device.Queued(), (std::vector<uint32_t>{3, 4}));
}

TEST_F(RecvNotify, IndicationsBackToBackEndAtThePlus) {
    std::string history = "+CMTI: \"SM\",12+CMTI: \"SM\",13\r\n";
    EXPECT_TRUE(device.PreProcessRecvNotifications(history));
    EXPECT_EQ(device.Queued(), (std::vector<uint32_t>{12, 13}));
}

TEST_F(RecvNotify, EachStorageIsKeptApartAndUnknownOnesOrIndexZeroQueueNothing) {
    std::string history = "+CMTI: \"ME\",4\r\n+CMTI: \"SM\",4\r\n+CMTI: MT, 9\r\n";
    EXPECT_TRUE(device.PreProcessRecvNotifications(history));
    EXPECT_EQ(device.Queued(), (std::vector<uint32_t>{storage::Slot(storage::ME, 4), 4,
                                                      storage::Slot(storage::MT, 9)}));
    std::string ignored = "+CMTI: \"SM\",0\r\n+CMTI: \"XY\",3\r\n+CMTI: \"SM\"\r\n";
    EXPECT_FALSE(device.PreProcessRecvNotifications(ignored));
    EXPECT_EQ(device.Queued().size(), 3u);
}

TEST_F(RecvNotify, OnlyTextThatMayStillBecomeAnIndicationOrReportIsKept) {
    const struct {
        const char* history;
        const char* kept;
    } cases[] = {
        {"\r\nOK\r\n", ""},
        {"\r\n+CMT", "\r\n+CMT"},
        // A report whose PDU line is still to come.
        {"\r\n+CDS: 25\r\n", "\r\n+CDS: 25\r\n"},
        // Answers to the line's own commands would otherwise pile up to the cap.
        {"AT+CMGS=20\r\r\n> 0011\r\n+CMGS: 4\r\n\r\nOK\r\n", ""},
    };
    for (const auto& c : cases) {
        std::string history = c.history;
        EXPECT_FALSE(device.PreProcessRecvNotifications(history)) << c.history;
        EXPECT_EQ(history, c.kept);
    }
}

TEST_F(RecvNotify, IndexSplitAcrossReadsIsTakenWhole) {
    std::string history = "+CMTI: \"SM\",1";
    EXPECT_FALSE(device.PreProcessRecvNotifications(history));
    EXPECT_TRUE(device.Queued().empty());
    history += "2\r\n";
    EXPECT_TRUE(device.PreProcessRecvNotifications(history));
    EXPECT_EQ(device.Queued(), (std::vector<uint32_t>{12}));
}

TEST_F(RecvNotify, RepeatedIndexIsQueuedOnce) {
    std::string history = "+CMTI: \"SM\",5\r\n+CMTI: \"SM\",5\r\n";
    EXPECT_TRUE(device.PreProcessRecvNotifications(history));
    EXPECT_EQ(device.Queued(), (std::vector<uint32_t>{5}));
    std::string again = "+CMTI: \"SM\",5\r\n";
    EXPECT_FALSE(device.PreProcessRecvNotifications(again));
    EXPECT_EQ(device.Queued(), (std::vector<uint32_t>{5}));
}

TEST_F(RecvNotify, EndlessIndexQueuesNothing) {
    std::string history = "+CMTI: \"SM\"," + std::string(100, '7');
    EXPECT_FALSE(device.PreProcessRecvNotifications(history));
    history += "\r\n";
    EXPECT_FALSE(device.PreProcessRecvNotifications(history));
    EXPECT_TRUE(device.Queued().empty());
}

}  // namespace
