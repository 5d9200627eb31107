#include "tools/serve/Store.h"

#include <sqlite3.h>

#include <chrono>
#include <stdexcept>

namespace qvserve {
namespace {

// Each entry brings the schema from version i to i+1; never edit one that
// has shipped, add the next.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE runs(
  id INTEGER PRIMARY KEY,
  started_at INTEGER NOT NULL,
  ended_at INTEGER,
  clean INTEGER NOT NULL DEFAULT 0);
CREATE TABLE messages(
  id INTEGER PRIMARY KEY,
  to_number TEXT NOT NULL,
  text TEXT NOT NULL,
  line INTEGER,
  status_report INTEGER NOT NULL DEFAULT 0,
  state TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  sent_line INTEGER,
  result_code INTEGER,
  parts INTEGER NOT NULL,
  handovers INTEGER NOT NULL DEFAULT 0,
  created_at INTEGER NOT NULL,
  updated_at INTEGER NOT NULL);
CREATE INDEX messages_state ON messages(state, id);
CREATE INDEX messages_updated ON messages(updated_at);
CREATE TABLE message_events(
  id INTEGER PRIMARY KEY,
  message_id INTEGER NOT NULL REFERENCES messages(id),
  at INTEGER NOT NULL,
  state TEXT NOT NULL,
  line INTEGER,
  code INTEGER,
  attempts INTEGER NOT NULL DEFAULT 0,
  detail TEXT NOT NULL DEFAULT '');
CREATE INDEX message_events_message ON message_events(message_id, id);
CREATE TABLE reports(
  message_id INTEGER NOT NULL REFERENCES messages(id),
  part INTEGER NOT NULL,
  total_parts INTEGER NOT NULL,
  reference INTEGER NOT NULL,
  status INTEGER NOT NULL,
  final INTEGER NOT NULL,
  sc_time INTEGER NOT NULL,
  discharge_time INTEGER NOT NULL,
  received_at INTEGER NOT NULL,
  PRIMARY KEY(message_id, part));
CREATE TABLE inbox(
  id INTEGER PRIMARY KEY,
  from_number TEXT NOT NULL,
  text TEXT NOT NULL,
  line INTEGER NOT NULL,
  parts INTEGER NOT NULL,
  received_at INTEGER NOT NULL,
  run INTEGER NOT NULL,
  confirmed INTEGER NOT NULL DEFAULT 0,
  deleted INTEGER NOT NULL DEFAULT 0,
  webhook TEXT NOT NULL DEFAULT 'none',
  webhook_attempts INTEGER NOT NULL DEFAULT 0,
  webhook_next INTEGER NOT NULL DEFAULT 0);
CREATE INDEX inbox_received ON inbox(received_at);
CREATE INDEX inbox_reread ON inbox(confirmed, line, from_number);
CREATE INDEX inbox_webhook ON inbox(webhook, webhook_next);
)sql",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == Store::kSchemaVersion);

// Unconfirmed rows of an unclean run that may stand for a re-read: the
// latest ones of each line, as many as a SIM holds between two deletions.
constexpr int kRereadWindow = 30;

class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db) + " in " + sql);
        }
    }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Bind(int i, int64_t v) {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Stmt& Bind(int i, const std::string& v) {
        sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Bind(int i, std::optional<int> v) {
        if (v) return Bind(i, static_cast<int64_t>(*v));
        sqlite3_bind_null(m_stmt, i);
        return *this;
    }
    // True while a row is there.
    bool Step() {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) {
            throw std::runtime_error(std::string("sqlite: ") +
                                     sqlite3_errmsg(sqlite3_db_handle(m_stmt)));
        }
        return false;
    }
    int64_t Int(int col) const { return sqlite3_column_int64(m_stmt, col); }
    std::optional<int> OptInt(int col) const {
        if (sqlite3_column_type(m_stmt, col) == SQLITE_NULL) return std::nullopt;
        return sqlite3_column_int(m_stmt, col);
    }
    std::string Text(int col) const {
        const unsigned char* t = sqlite3_column_text(m_stmt, col);
        return t == nullptr ? std::string()
                            : std::string(reinterpret_cast<const char*>(t),
                                          static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)));
    }

  private:
    sqlite3_stmt* m_stmt = nullptr;
};

// Rolls back unless committed: a thrown step leaves no half change.
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : m_db(db) { Run("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!m_done) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void Commit() {
        Run("COMMIT");
        m_done = true;
    }

  private:
    void Run(const char* sql) {
        char* err = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
            std::string what = err != nullptr ? err : "?";
            sqlite3_free(err);
            throw std::runtime_error("sqlite: " + what);
        }
    }
    sqlite3* m_db;
    bool m_done = false;
};

constexpr const char* kMessageColumns =
    "id, to_number, text, line, status_report, state, attempts, sent_line, result_code, parts, "
    "handovers, created_at, updated_at";

Message ReadMessage(const Stmt& s) {
    Message m;
    m.id = s.Int(0);
    m.to = s.Text(1);
    m.text = s.Text(2);
    m.line = s.OptInt(3);
    m.statusReport = s.Int(4) != 0;
    m.state = s.Text(5);
    m.attempts = static_cast<int>(s.Int(6));
    m.sentLine = s.OptInt(7);
    m.resultCode = s.OptInt(8);
    m.parts = static_cast<int>(s.Int(9));
    m.handovers = static_cast<int>(s.Int(10));
    m.createdAt = s.Int(11);
    m.updatedAt = s.Int(12);
    return m;
}

constexpr const char* kInboxColumns =
    "id, from_number, text, line, parts, received_at, webhook, webhook_attempts";

InboxMessage ReadInbox(const Stmt& s) {
    InboxMessage m;
    m.id = s.Int(0);
    m.from = s.Text(1);
    m.text = s.Text(2);
    m.line = static_cast<int>(s.Int(3));
    m.parts = static_cast<int>(s.Int(4));
    m.receivedAt = s.Int(5);
    m.webhook = s.Text(6);
    m.webhookAttempts = static_cast<int>(s.Int(7));
    return m;
}

}  // namespace

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const std::vector<std::string>& MessageStates() {
    static const std::vector<std::string> states{"queued",  "submitted", "sent",
                                                 "failed",  "delivered", "undeliverable",
                                                 "expired", "unknown"};
    return states;
}

bool ReportIsFinal(int status) {
    // 0x20-0x3F: a temporary error the service centre still works on.
    return status < 0x20 || status > 0x3F;
}

std::string StateFromReports(const std::vector<PartReport>& reports, int totalParts) {
    std::map<int, int> finals;  // part -> TP-ST
    for (const auto& r : reports) {
        if (ReportIsFinal(r.status)) finals[r.part] = r.status;
    }
    bool expired = false, failed = false;
    for (int p = 1; p <= totalParts; ++p) {
        auto it = finals.find(p);
        if (it == finals.end()) return "";
        if (it->second == 0x46) {
            expired = true;  // validity period expired
        } else if (it->second >= 0x40) {
            failed = true;  // permanent, or temporary that is no longer tried
        }
    }
    if (expired) return "expired";
    return failed ? "undeliverable" : "delivered";
}

Store::~Store() {
    if (m_db != nullptr) sqlite3_close(m_db);
}

bool Store::Open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (sqlite3_open_v2(path.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        *error = path + ": " + (m_db != nullptr ? sqlite3_errmsg(m_db) : "cannot open");
        return false;
    }
    sqlite3_busy_timeout(m_db, 5000);
    try {
        {
            Stmt wal(m_db, "PRAGMA journal_mode=WAL");
            if (!wal.Step() || wal.Text(0) != "wal") {
                *error = path + ": the database cannot use write-ahead logging";
                return false;
            }
        }
        // A commit is on disk before the call returns: a message received is
        // never lost to a crash, even of the machine.
        Exec("PRAGMA synchronous=FULL");
        Exec("PRAGMA foreign_keys=ON");
        return Migrate(error);
    } catch (const std::exception& e) {
        *error = path + ": " + e.what();
        return false;
    }
}

bool Store::Migrate(std::string* error) {
    int version = 0;
    {
        Stmt v(m_db, "PRAGMA user_version");
        v.Step();
        version = static_cast<int>(v.Int(0));
    }
    if (version > kSchemaVersion) {
        *error = "the database has schema version " + std::to_string(version) +
                 ", newer than this qvgsm knows (" + std::to_string(kSchemaVersion) + ")";
        return false;
    }
    for (; version < kSchemaVersion; ++version) {
        Transaction t(m_db);
        Exec(kMigrations[version]);
        Exec(("PRAGMA user_version=" + std::to_string(version + 1)).c_str());
        t.Commit();
    }
    return true;
}

int Store::SchemaVersion() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Stmt v(m_db, "PRAGMA user_version");
    v.Step();
    return static_cast<int>(v.Int(0));
}

void Store::Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string what = err != nullptr ? err : "?";
        sqlite3_free(err);
        throw std::runtime_error("sqlite: " + what);
    }
}

int64_t Store::BeginRun() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Transaction t(m_db);
    Stmt(m_db, "INSERT INTO runs(started_at) VALUES(?)").Bind(1, NowMs()).Step();
    m_run = sqlite3_last_insert_rowid(m_db);
    // Older unconfirmed rows cannot still be on a SIM.
    Stmt(m_db,
         "UPDATE inbox SET confirmed=1 WHERE confirmed=0 AND id NOT IN (SELECT i.id FROM inbox i "
         "WHERE i.line=inbox.line ORDER BY i.id DESC LIMIT ?)")
        .Bind(1, int64_t{kRereadWindow})
        .Step();
    t.Commit();
    return m_run;
}

void Store::EndRun() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Transaction t(m_db);
    Stmt(m_db, "UPDATE runs SET ended_at=?, clean=1 WHERE id=?")
        .Bind(1, NowMs())
        .Bind(2, m_run)
        .Step();
    // The driver deletes a message from the SIM before a clean stop ends.
    Stmt(m_db, "UPDATE inbox SET confirmed=1 WHERE run=?").Bind(1, m_run).Step();
    t.Commit();
}

Store::Recovery Store::Recover(bool atLeastOnce) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Recovery r;
    Transaction t(m_db);
    const int64_t now = NowMs();
    std::vector<int64_t> ids;
    {
        Stmt s(m_db, "SELECT id, attempts FROM messages WHERE state='submitted' ORDER BY id");
        while (s.Step()) ids.push_back(s.Int(0));
    }
    const std::string state = atLeastOnce ? "queued" : "unknown";
    const std::string detail =
        atLeastOnce ? "the daemon stopped while the driver had it; queued again (at-least-once)"
                    : "the daemon stopped while the driver had it; not sent again (at-most-once)";
    for (int64_t id : ids) {
        Stmt(m_db, "UPDATE messages SET state=?, updated_at=? WHERE id=?")
            .Bind(1, state)
            .Bind(2, now)
            .Bind(3, id)
            .Step();
        AddEvent(id, now, state, std::nullopt, std::nullopt, 0, detail);
        (atLeastOnce ? r.requeued : r.unknown)++;
    }
    t.Commit();
    return r;
}

void Store::AddEvent(int64_t id, int64_t at, const std::string& state, std::optional<int> line,
                     std::optional<int> code, int attempts, const std::string& detail) {
    Stmt(m_db,
         "INSERT INTO message_events(message_id, at, state, line, code, attempts, detail) "
         "VALUES(?,?,?,?,?,?,?)")
        .Bind(1, id)
        .Bind(2, at)
        .Bind(3, state)
        .Bind(4, line)
        .Bind(5, code)
        .Bind(6, int64_t{attempts})
        .Bind(7, detail)
        .Step();
}

int64_t Store::Enqueue(const std::string& to, const std::string& text, std::optional<int> line,
                       bool statusReport, int parts) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Transaction t(m_db);
    const int64_t now = NowMs();
    Stmt(m_db,
         "INSERT INTO messages(to_number, text, line, status_report, state, parts, created_at, "
         "updated_at) VALUES(?,?,?,?,'queued',?,?,?)")
        .Bind(1, to)
        .Bind(2, text)
        .Bind(3, line)
        .Bind(4, int64_t{statusReport})
        .Bind(5, int64_t{parts})
        .Bind(6, now)
        .Bind(7, now)
        .Step();
    int64_t id = sqlite3_last_insert_rowid(m_db);
    AddEvent(id, now, "queued", line, std::nullopt, 0, "accepted");
    t.Commit();
    return id;
}

std::vector<Message> Store::Claim(size_t max) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Message> out;
    if (max == 0) return out;
    Transaction t(m_db);
    {
        Stmt s(m_db, (std::string("SELECT ") + kMessageColumns +
                      " FROM messages WHERE state='queued' ORDER BY id LIMIT ?")
                         .c_str());
        s.Bind(1, static_cast<int64_t>(max));
        while (s.Step()) out.push_back(ReadMessage(s));
    }
    const int64_t now = NowMs();
    for (auto& m : out) {
        m.state = "submitted";
        ++m.handovers;
        Stmt(m_db,
             "UPDATE messages SET state='submitted', handovers=handovers+1, updated_at=? WHERE "
             "id=?")
            .Bind(1, now)
            .Bind(2, m.id)
            .Step();
        AddEvent(m.id, now, "submitted", m.line, std::nullopt, m.attempts, "handed to the driver");
    }
    t.Commit();
    return out;
}

void Store::Requeue(int64_t id, const std::string& detail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Transaction t(m_db);
    const int64_t now = NowMs();
    Stmt(m_db, "UPDATE messages SET state='queued', updated_at=? WHERE id=?")
        .Bind(1, now)
        .Bind(2, id)
        .Step();
    AddEvent(id, now, "queued", std::nullopt, std::nullopt, 0, detail);
    t.Commit();
}

void Store::Finish(int64_t id, const std::string& state, int line, int code, int attempts,
                   const std::string& detail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Transaction t(m_db);
    const int64_t now = NowMs();
    std::optional<int> onLine;
    if (line > 0) onLine = line;
    Stmt(m_db,
         "UPDATE messages SET state=?, sent_line=COALESCE(?, sent_line), result_code=?, "
         "attempts=attempts+?, updated_at=? WHERE id=?")
        .Bind(1, state)
        .Bind(2, onLine)
        .Bind(3, int64_t{code})
        .Bind(4, int64_t{attempts})
        .Bind(5, now)
        .Bind(6, id)
        .Step();
    AddEvent(id, now, state, onLine, code, attempts, detail);
    if (state == "sent") {
        // Reports may come before the driver's own word on the last part.
        int total = 0;
        const std::vector<PartReport> reports = PartReports(id, &total);
        std::string final = total > 0 ? StateFromReports(reports, total) : "";
        if (!final.empty()) SettleByReports(id, now, final);
    }
    t.Commit();
}

std::vector<PartReport> Store::PartReports(int64_t id, int* total) {
    std::vector<PartReport> reports;
    Stmt s(m_db, "SELECT part, total_parts, status FROM reports WHERE message_id=?");
    s.Bind(1, id);
    while (s.Step()) {
        PartReport r;
        r.part = static_cast<int>(s.Int(0));
        if (total != nullptr) *total = static_cast<int>(s.Int(1));
        r.status = static_cast<int>(s.Int(2));
        reports.push_back(r);
    }
    return reports;
}

void Store::SettleByReports(int64_t id, int64_t now, const std::string& state) {
    Stmt(m_db, "UPDATE messages SET state=?, updated_at=? WHERE id=?")
        .Bind(1, state)
        .Bind(2, now)
        .Bind(3, id)
        .Step();
    AddEvent(id, now, state, std::nullopt, std::nullopt, 0, "every part's final report");
}

bool Store::AddReport(int64_t id, const PartReport& r, std::string* newState) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Transaction t(m_db);
    std::string state;
    {
        Stmt s(m_db, "SELECT state FROM messages WHERE id=?");
        s.Bind(1, id);
        if (!s.Step()) return false;
        state = s.Text(0);
    }
    const int64_t now = NowMs();
    Stmt(m_db,
         "INSERT INTO reports(message_id, part, total_parts, reference, status, final, sc_time, "
         "discharge_time, received_at) VALUES(?,?,?,?,?,?,?,?,?) ON CONFLICT(message_id, part) "
         "DO UPDATE SET total_parts=excluded.total_parts, reference=excluded.reference, "
         "status=excluded.status, final=excluded.final, sc_time=excluded.sc_time, "
         "discharge_time=excluded.discharge_time, received_at=excluded.received_at")
        .Bind(1, id)
        .Bind(2, int64_t{r.part})
        .Bind(3, int64_t{r.totalParts})
        .Bind(4, int64_t{r.reference})
        .Bind(5, int64_t{r.status})
        .Bind(6, int64_t{r.final})
        .Bind(7, r.serviceCentreTime)
        .Bind(8, r.dischargeTime)
        .Bind(9, now)
        .Step();
    char detail[96];
    std::snprintf(detail, sizeof detail, "report for part %d/%d, reference %d: status 0x%02X",
                  r.part, r.totalParts, r.reference, r.status);
    AddEvent(id, now, state, std::nullopt, r.status, 0, detail);
    const std::vector<PartReport> reports = PartReports(id, nullptr);
    // Only a message the driver called sent (or whose fate is unknown after
    // a restart) moves on; one still submitted moves when it is sent.
    std::string final = StateFromReports(reports, r.totalParts);
    if (!final.empty() &&
        (state == "sent" || state == "unknown" || state == "delivered" ||
         state == "undeliverable" || state == "expired") &&
        final != state) {
        SettleByReports(id, now, final);
        *newState = final;
    }
    t.Commit();
    return true;
}

std::optional<Message> Store::Get(int64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Stmt s(m_db, (std::string("SELECT ") + kMessageColumns + " FROM messages WHERE id=?").c_str());
    s.Bind(1, id);
    if (!s.Step()) return std::nullopt;
    return ReadMessage(s);
}

std::vector<MessageEvent> Store::History(int64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<MessageEvent> out;
    Stmt s(m_db,
           "SELECT at, state, line, code, attempts, detail FROM message_events WHERE "
           "message_id=? ORDER BY id");
    s.Bind(1, id);
    while (s.Step()) {
        MessageEvent e;
        e.at = s.Int(0);
        e.state = s.Text(1);
        e.line = s.OptInt(2);
        e.code = s.OptInt(3);
        e.attempts = static_cast<int>(s.Int(4));
        e.detail = s.Text(5);
        out.push_back(e);
    }
    return out;
}

std::vector<PartReport> Store::Reports(int64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<PartReport> out;
    Stmt s(m_db,
           "SELECT part, total_parts, reference, status, final, sc_time, discharge_time, "
           "received_at FROM reports WHERE message_id=? ORDER BY part");
    s.Bind(1, id);
    while (s.Step()) {
        PartReport r;
        r.part = static_cast<int>(s.Int(0));
        r.totalParts = static_cast<int>(s.Int(1));
        r.reference = static_cast<int>(s.Int(2));
        r.status = static_cast<int>(s.Int(3));
        r.final = s.Int(4) != 0;
        r.serviceCentreTime = s.Int(5);
        r.dischargeTime = s.Int(6);
        r.receivedAt = s.Int(7);
        out.push_back(r);
    }
    return out;
}

std::vector<Message> Store::List(const std::string& state, int64_t since, size_t limit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Message> out;
    Stmt s(m_db, (std::string("SELECT ") + kMessageColumns +
                  " FROM messages WHERE (?1='' OR state=?1) AND updated_at>=?2 ORDER BY id DESC "
                  "LIMIT ?3")
                     .c_str());
    s.Bind(1, state).Bind(2, since).Bind(3, static_cast<int64_t>(limit));
    while (s.Step()) out.push_back(ReadMessage(s));
    return out;
}

std::map<std::string, int64_t> Store::CountByState() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<std::string, int64_t> out;
    for (const auto& st : MessageStates()) out[st] = 0;
    Stmt s(m_db, "SELECT state, COUNT(*) FROM messages GROUP BY state");
    while (s.Step()) out[s.Text(0)] = s.Int(1);
    return out;
}

int64_t Store::AddInbox(int line, const std::string& from, const std::string& text, int parts,
                        bool webhook, bool* duplicate) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Transaction t(m_db);
    *duplicate = false;
    int64_t reread = 0;
    if (m_absorb) {
        Stmt s(m_db,
               "SELECT i.id FROM inbox i JOIN runs r ON r.id=i.run WHERE i.confirmed=0 AND "
               "i.run<? AND r.clean=0 AND i.line=? AND i.from_number=? AND i.text=? ORDER BY "
               "i.id LIMIT 1");
        s.Bind(1, m_run).Bind(2, int64_t{line}).Bind(3, from).Bind(4, text);
        if (s.Step()) reread = s.Int(0);
    }
    if (reread != 0) {
        Stmt(m_db, "UPDATE inbox SET confirmed=1 WHERE id=?").Bind(1, reread).Step();
        t.Commit();
        *duplicate = true;
        return reread;
    }
    Stmt(m_db,
         "INSERT INTO inbox(from_number, text, line, parts, received_at, run, webhook) "
         "VALUES(?,?,?,?,?,?,?)")
        .Bind(1, from)
        .Bind(2, text)
        .Bind(3, int64_t{line})
        .Bind(4, int64_t{parts})
        .Bind(5, NowMs())
        .Bind(6, m_run)
        .Bind(7, std::string(webhook ? "pending" : "none"))
        .Step();
    int64_t id = sqlite3_last_insert_rowid(m_db);
    t.Commit();
    return id;
}

void Store::StopAbsorbingRereads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_absorb = false;
}

std::vector<InboxMessage> Store::Inbox(int64_t since, size_t limit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<InboxMessage> out;
    Stmt s(m_db, (std::string("SELECT ") + kInboxColumns +
                  " FROM inbox WHERE deleted=0 AND received_at>=? ORDER BY id DESC LIMIT ?")
                     .c_str());
    s.Bind(1, since).Bind(2, static_cast<int64_t>(limit));
    while (s.Step()) out.push_back(ReadInbox(s));
    return out;
}

std::optional<InboxMessage> Store::GetInbox(int64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Stmt s(
        m_db,
        (std::string("SELECT ") + kInboxColumns + " FROM inbox WHERE id=? AND deleted=0").c_str());
    s.Bind(1, id);
    if (!s.Step()) return std::nullopt;
    return ReadInbox(s);
}

bool Store::DeleteInbox(int64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The row stays, marked, so a re-read after a crash still finds it.
    Stmt(m_db, "UPDATE inbox SET deleted=1 WHERE id=? AND deleted=0").Bind(1, id).Step();
    return sqlite3_changes(m_db) > 0;
}

int64_t Store::InboxCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Stmt s(m_db, "SELECT COUNT(*) FROM inbox WHERE deleted=0");
    s.Step();
    return s.Int(0);
}

std::vector<InboxMessage> Store::DueWebhooks(int64_t now, size_t limit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<InboxMessage> out;
    Stmt s(m_db, (std::string("SELECT ") + kInboxColumns +
                  " FROM inbox WHERE webhook='pending' AND webhook_next<=? ORDER BY id LIMIT ?")
                     .c_str());
    s.Bind(1, now).Bind(2, static_cast<int64_t>(limit));
    while (s.Step()) out.push_back(ReadInbox(s));
    return out;
}

void Store::WebhookResult(int64_t id, bool delivered, int attempts, int64_t nextAt, bool givenUp) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string state = delivered ? "done" : givenUp ? "failed" : "pending";
    Stmt(m_db, "UPDATE inbox SET webhook=?, webhook_attempts=?, webhook_next=? WHERE id=?")
        .Bind(1, state)
        .Bind(2, int64_t{attempts})
        .Bind(3, nextAt)
        .Bind(4, id)
        .Step();
}

}  // namespace qvserve
