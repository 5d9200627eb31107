// The modem-independent half of a line: turns command texts into AT commands
// on its serial port, collects and matches the answers, reports each command
// exactly once, and runs ordered command sequences (CommandSequence.cc).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "io/DelayedWork.h"
#include "modem/ATAnswer.h"
#include "modem/ATTypes.h"
#include "platform/thread_annotations.h"
#include "platform/win32.h"
#include "qvGSMcomdrv.h"

class ComPort;
class IOComAsyncPacket;
class CAThreadPool;
class ILogInterface;

class GenericCOMModemInterface {
  public:
    // Takes ownership of port.
    explicit GenericCOMModemInterface(ComPort* port);
    virtual ~GenericCOMModemInterface();

    // The device's own lifecycle and work.
    virtual int Init() = 0;
    virtual int Uninit(int reason) = 0;
    virtual int ModemInitProcess() = 0;
    virtual int SendSMS(SMSJob* job) = 0;

    // Opens comPort ("\\\\.\\COM%d" when deviceName is null), attaches it to
    // the pool and starts listening. QV_OK or a failure code.
    virtual int Init(int comPort, int baudRate, CAThreadPool* pool, const char* deviceName);
    virtual int ClosePort();
    // Runs the next entry after `order`; sequenceEnd 0 keeps the stored end.
    virtual int ExecuteNextCMD(int order, int sequenceEnd);
    virtual int AsyncSendFormattedData(const char* command,
                                       void (*portCallback)(ComPort*, IOComAsyncPacket*, int),
                                       void* data, unsigned timeoutMs);
    virtual int SendFormattedData(const char* command, char* out, unsigned* outLen,
                                  ResponseSpecMap* specs, unsigned timeoutMs);
    // QV_PENDING when the command was written; then exactly one callback follows.
    virtual int AsyncSendFormattedDataEx(const char* command, ResponseSpecMap* specs,
                                         unsigned timeoutMs, ATCommandCallback callback, int cbData,
                                         void* cbParam);
    // Writes command; its answer ends with a final result line, or with the
    // ">" prompt when promptEnds. QV_PENDING when written: then done runs
    // exactly once, on a pool worker, outside locks, with the outcome.
    int IssueCommand(const char* command, int timeoutSeconds, bool promptEnds,
                     ATOutcomeHandler done);
    // The outcome of the command whose callback is running (for callbacks
    // of the older shape); valid until that callback issues the next one.
    const ATOutcome& LastOutcome() const { return m_LastOutcome; }
    // true when issued (async: exactly one callback follows).
    virtual bool IssueGenericCMD(bool async, const char* command, int timeoutSeconds, int cbData,
                                 ATCommandCallback callback, void* cbParam);
    virtual int WaitForResponse(char* out, unsigned* outLen, unsigned timeoutMs, int ignored,
                                ResponseSpecMap* specs);
    // Map back to key 1 "ERROR", key 2 "OK", all untriggered.
    virtual void ResetResponseSpecs();
    virtual void DeviceExecuteCMD(ATCommandEntry* entry);
    virtual void InitComplete(int resultCode, int order);
    virtual const char* GetErrorText(int resultCode);
    // 1: go on with the next entry; 0: a command is pending or the run ended.
    virtual int ProcessCMDResult(ATCommandEntry* entry, int resultCode);
    virtual ATCommandEntry* FindCMD(int fromOrder, int toOrder);

    // The text of the last completed match (bounded, NUL-terminated).
    char* GetResponseBuffer() { return m_szResponse; }
    ComPort* GetPort() { return m_pPort; }

    int GetResponseLength() const { return m_nResponseLength; }

    // The matcher: every receive completion, send error and time-out.
    static void OnCommandIO(ComPort* port, IOComAsyncPacket* packet, int timedOut);
    // Sets the read event of a synchronous command.
    static void OnSyncIO(ComPort* port, IOComAsyncPacket* packet, int timedOut);

    // Ends the running sequence for good: no step of it starts after this
    // returns (a pending pause or retry is cancelled). Never waits: a step
    // already running is work inside the port's gate, so closing the port
    // waits for it. Called when the line closes.
    void StopSequence();
    bool IsSequenceStopped();
    // Frees the command in flight, if any, without calling back.
    void DropPendingCommand();

    static constexpr int kCommandBufferSize = 2500;  // a text this long or longer is refused
    static constexpr int kResponseWindowSize = 30000;
    static constexpr unsigned kCommandPauseMs = 20;  // between two entries of a sequence

  protected:
    // Copies command (length < kCommandBufferSize) with its "\r" into the
    // zeroed format buffer; returns the formatted length.
    unsigned FormatCommand(const char* command, size_t length);
    static void ClearTriggered(ResponseSpecMap* specs);
    // The completion of every sequence command (cbData = order, cbParam = entry).
    static int OnSequenceResult(int order, int flag, int result, GenericCOMModemInterface* modem,
                                int kind, void* entry);
    // Allows a new sequence to run after StopSequence.
    void StartSequence();
    // Runs the entry after `order` (the part of ExecuteNextCMD after the pause).
    void RunNextCMD(int order);
    // Schedules fn after delayMs on a pool worker as one sequence step: it is
    // skipped once the sequence is stopped. The step is work inside the
    // port's gate from now until it has run or was cancelled. Without a
    // timer fn runs here.
    void ScheduleSequenceStep(unsigned delayMs, std::function<void()> fn);
    // The time-out of the command with this serial; a late one (its command
    // already completed, another one in flight) does nothing.
    void OnCommandTimeout(unsigned serial);

    // Takes what the packet received into the answer of the command in
    // flight, refreshes the response window and the specs' flags. Called
    // under m_PendingLock; true when the answer is complete.
    bool MatchResponse(IOComAsyncPacket* packet, ResponseSpecMap* specs) QV_REQUIRES(m_PendingLock);
    // The specs' flags from a line-read answer, for users of the specs.
    static void MarkSpecs(ResponseSpecMap* specs, const ATOutcome& outcome);
    // Issues command with pending as its completion.
    int IssuePending(const char* command, ResponseSpecMap* specs, unsigned timeoutMs,
                     bool promptEnds, PendingCommand* pending);
    // Copies the packet's data (at most the window) into the response
    // window, echo of the last command blanked when asked. Its length.
    size_t LoadResponseWindow(IOComAsyncPacket* packet, bool dropEcho);
    // The same from text (at most the window's size of it).
    size_t LoadWindow(const std::string& text, bool dropEcho);
    // Scans the response window; checkRequired holds a terminal text back
    // until every required one was seen.
    bool ScanSpecs(ResponseSpecMap* specs, bool checkRequired);
    // The outcome of the command that just ended, also kept for LastOutcome.
    ATOutcome TakeOutcome(int result) QV_REQUIRES(m_PendingLock);
    // Calls the finished command's handler or callback, outside the lock.
    void CallBack(const PendingCommand& command, const ATOutcome& outcome, int kind)
        QV_EXCLUDES(m_PendingLock);

    ResponseSpecMap m_ResponseSpecs;
    ResponseSpec m_OKSpec;
    ResponseSpec m_ERRORSpec;
    ComPort* m_pPort = nullptr;
    HANDLE m_hReadEvent = nullptr;
    HANDLE m_hWriteEvent = nullptr;
    // Not cleared up front: each holds a counted or terminated text, and
    // memory a line never uses stays untouched (lines come by the thousand).
    char m_szLastCommand[kCommandBufferSize];
    char m_szFormatBuffer[kCommandBufferSize];
    char m_szResponse[kResponseWindowSize + 1];
    int m_nLastCommandLength = 0;
    ILogInterface* m_pLog = nullptr;
    int m_bEchoSuppression = 0;
    int m_nSequenceEnd = 0;
    std::vector<ATCommandEntry> m_CommandList;

    int m_nResponseLength = 0;
    CAThreadPool* m_pPool = nullptr;  // given to Init

    // Lock order: m_PendingLock before the packets' own locks. Guards the
    // installing, matching and taking of the command in flight (the receive
    // packet's completion data) and the last command text.
    qv::Mutex m_PendingLock;
    unsigned m_nCommandSerial QV_GUARDED_BY(m_PendingLock) = 0;  // last command installed
    // The installed one still in flight, 0 when none.
    unsigned m_nActiveSerial QV_GUARDED_BY(m_PendingLock) = 0;
    // The active command's time-out, and how often it started again
    // because the command's text still waited behind an earlier write.
    unsigned m_nActiveTimeoutMs QV_GUARDED_BY(m_PendingLock) = 0;
    unsigned m_nActiveTimeoutExtensions QV_GUARDED_BY(m_PendingLock) = 0;
    ATAnswer m_Answer QV_GUARDED_BY(m_PendingLock);  // of the command in flight
    ATOutcome m_LastOutcome;                         // see LastOutcome

    // The pause between entries and the back-off before a retry.
    DelayedWork m_SequenceDelay;
    std::atomic<bool> m_bSequenceStopped{false};
};
