// Records of the AT command engine: expected answer texts, the callback of a
// command, one command in flight, and one entry of a command sequence.
#pragma once

#include <functional>
#include <map>

class GenericCOMModemInterface;
struct ATCommandEntry;

// One expected text of an answer.
struct ResponseSpec {
    const char* m_pszText = nullptr;  // NUL-terminated, not owned
    int m_nLength = 0;                // informational; matching uses the NUL
    int m_bTriggered = 0;             // found in the response window
    int m_bTerminal = 0;              // finding it completes the answer...
    int m_bRequired = 0;              // ...only once every required spec was found
};

using ResponseSpecMap = std::map<int, ResponseSpec*>;

// Packet kinds a command callback reports: a completed answer or a receive
// error (2), a send error (3), a time-out (4).
enum ATCallbackKind { AT_KIND_RECV = 2, AT_KIND_SEND = 3, AT_KIND_TIMEOUT = 4 };

// Completion of an asynchronous command: (cbData, always 1, result code
// QV_OK/QV_IOWRITEERROR/QV_IOREADERROR/QV_TIMEOUT, engine, kind, cbParam).
// Called exactly once per issued command, on a pool worker, outside locks.
typedef int (*ATCommandCallback)(int cbData, int flag, int result, GenericCOMModemInterface* modem,
                                 int kind, void* cbParam);

// Custom judgement of a sequence entry that completed: QV_OK goes on,
// QV_PENDING means the check issued its own follow-up, anything else fails
// the entry with that code.
typedef int (*ResultCheck)(int resultCode, ATCommandEntry* entry);

struct ATOutcome;
// Completion of a command issued with IssueCommand: its outcome as a value.
using ATOutcomeHandler = std::function<void(const ATOutcome&)>;

// One asynchronous command in flight; freed exactly once. It ends through
// handler when one is set, else through callback.
struct PendingCommand {
    int cbData = 0;
    ATCommandCallback callback = nullptr;
    GenericCOMModemInterface* modem = nullptr;
    ResponseSpecMap* specs = nullptr;
    void* cbParam = nullptr;
    ATOutcomeHandler handler;
};

// One command of a sequence.
struct ATCommandEntry {
    char command[261] = {};      // without terminator; up to 259 characters kept
    char alternative[261] = {};  // tried once after a failure
    int order = 0;               // the runner goes by order number
    int timeout = 0;             // seconds
    int critical = 0;            // a failure aborts the sequence
    int hasAlternative = 0;      // set and not yet tried
    int activated = 0;           // cleared: skipped
    ResultCheck check = nullptr;
    void* context = nullptr;  // the owner's (the device)

    // Fills the entry; alternative may be null.
    void Set(int order, const char* command, int timeoutSeconds, int critical, ResultCheck check,
             void* context, const char* alternative);
};
