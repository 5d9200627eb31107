// The gateway's durable state in one SQLite file (WAL): the outgoing queue
// with each message's history and delivery reports, and the inbox. Every
// change is committed before the call returns. One connection, used under
// one mutex, so any thread may call.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace qvserve {

// Milliseconds since 1970 UTC.
int64_t NowMs();

struct Message {
    int64_t id = 0;
    std::string to;
    std::string text;         // UTF-8
    std::optional<int> line;  // requested COM port
    bool statusReport = false;
    std::string state;  // queued submitted sent failed delivered undeliverable expired unknown
    int attempts = 0;
    std::optional<int> sentLine;
    std::optional<int> resultCode;
    int parts = 1;
    int handovers = 0;  // times given to the driver
    int64_t createdAt = 0;
    int64_t updatedAt = 0;
};

struct MessageEvent {
    int64_t at = 0;
    std::string state;
    std::optional<int> line;
    std::optional<int> code;
    int attempts = 0;
    std::string detail;
};

struct PartReport {
    int part = 1;
    int totalParts = 1;
    int reference = 0;  // TP-MR
    int status = 0;     // TP-ST
    bool final = false;
    int64_t serviceCentreTime = 0;  // seconds since 1970
    int64_t dischargeTime = 0;
    int64_t receivedAt = 0;
};

struct InboxMessage {
    int64_t id = 0;
    std::string from;
    std::string text;
    int line = 0;
    int parts = 1;
    int64_t receivedAt = 0;
    std::string webhook;  // none pending done failed
    int webhookAttempts = 0;
};

// The states a message can be in, in the order they are listed.
const std::vector<std::string>& MessageStates();

// Whether TP-ST `status` ends the network's work on a part.
bool ReportIsFinal(int status);
// The state final reports for parts 1..totalParts give a message, or ""
// while any part still lacks one.
std::string StateFromReports(const std::vector<PartReport>& reports, int totalParts);

class Store {
  public:
    static constexpr int kSchemaVersion = 1;

    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    bool Open(const std::string& path, std::string* error);
    int SchemaVersion();

    // A new run of the daemon; EndRun marks it ended cleanly.
    int64_t BeginRun();
    void EndRun();

    // Restart rules for rows the driver had taken when the last run ended:
    // back to queued with at-least-once, else unknown. Counts of each.
    struct Recovery {
        int requeued = 0;
        int unknown = 0;
    };
    Recovery Recover(bool atLeastOnce);

    int64_t Enqueue(const std::string& to, const std::string& text, std::optional<int> line,
                    bool statusReport, int parts);
    // Up to max queued rows, oldest first, moved to submitted.
    std::vector<Message> Claim(size_t max);
    // A row the driver refused to take goes back to the queue.
    void Requeue(int64_t id, const std::string& detail);
    // The driver's final word on a job: sent, failed, queued (never tried)
    // or unknown. A sent message whose reports are all in moves on at once.
    void Finish(int64_t id, const std::string& state, int line, int code, int attempts,
                const std::string& detail);
    // Stores a part's report; the message's new state when it reached one.
    // False when no such message exists.
    bool AddReport(int64_t id, const PartReport& report, std::string* newState);

    std::optional<Message> Get(int64_t id);
    std::vector<MessageEvent> History(int64_t id);
    std::vector<PartReport> Reports(int64_t id);
    // Newest first; state "" for any, since (ms) 0 for all.
    std::vector<Message> List(const std::string& state, int64_t since, size_t limit);
    std::map<std::string, int64_t> CountByState();

    // Commits a received message. A message equal (line, sender, text) to an
    // unconfirmed one of a run that ended without a clean stop is the same
    // message read again from the SIM: *duplicate is set and its row kept.
    int64_t AddInbox(int line, const std::string& from, const std::string& text, int parts,
                     bool webhook, bool* duplicate);
    // Whether earlier runs' unconfirmed rows may still absorb a re-read.
    void StopAbsorbingRereads();
    std::vector<InboxMessage> Inbox(int64_t since, size_t limit);
    std::optional<InboxMessage> GetInbox(int64_t id);
    bool DeleteInbox(int64_t id);
    int64_t InboxCount();

    // Received messages whose webhook call is due.
    std::vector<InboxMessage> DueWebhooks(int64_t now, size_t limit);
    void WebhookResult(int64_t id, bool delivered, int attempts, int64_t nextAt, bool givenUp);

  private:
    // The reports stored for a message (caller holds m_mutex); *total, when
    // asked, the part count they name.
    std::vector<PartReport> PartReports(int64_t id, int* total);
    // Moves a message to the state its parts' final reports decide.
    void SettleByReports(int64_t id, int64_t now, const std::string& state);
    bool Migrate(std::string* error);
    void Exec(const char* sql);
    void AddEvent(int64_t id, int64_t at, const std::string& state, std::optional<int> line,
                  std::optional<int> code, int attempts, const std::string& detail);

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    int64_t m_run = 0;
    bool m_absorb = true;
};

}  // namespace qvserve
