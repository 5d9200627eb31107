// One GSM line: one modem on one COM port. Built on the AT engine; adds the
// line's configuration, log, line state and the GSM work, one file each:
//   Lifecycle.cc  construction, Init/Uninit, line state, events, work refs
//   InitSequence.cc  the initialisation command list, CNMI negotiation, InitComplete
//   Checks.cc     AT+CSQ and the stored-message pass (AT+CMGL=4)
//   Sending.cc    SendSMS .. SendComplete
//   Receiving.cc  +CMTI pre-processor, AT+CMGR reads, reassembly, AT+CMGD
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gsm/SMSRecv.h"
#include "gsm/SMSSendData.h"
#include "gsm/SendFailure.h"
#include "gsm/SentParts.h"
#include "gsm/StorageSlot.h"
#include "io/Quiescence.h"
#include "modem/GenericCOMModemInterface.h"
#include "platform/thread_annotations.h"
#include "qvGSMcomdrv.h"

namespace pdu {
struct StatusReport;
}

class GSMDevice;
struct CompletionKey;

// Device events, reported to the owner (the device manager).
enum DeviceEvent {
    DEV_INIT_OK = 0,
    DEV_INIT_RETRY = 1,
    DEV_INIT_FAILED = 2,
    DEV_SMS_RECEIVED = 3,  // data: ReceivedSMS*
    DEV_SEND_DONE = 4,     // code: result; data: SMSJob*
    DEV_LINE_IDLE = 5,
    DEV_SEND_RETRY = 6,  // data: SMSJob*
    DEV_SMS_STATUS = 7,  // data: SMSStatusReport* (lines that ask for reports)
};

// Line states; value 2 is not used.
enum LineState {
    LINE_IDLE = 0,
    LINE_RECEIVING = 1,
    LINE_DOWN = 3,
    LINE_INITIALISING = 4,
    LINE_SENDING = 5,
};

typedef int (*DeviceEventHandler)(int event, GSMDevice* device, int code, void* owner, void* data);

// Supported values 0..3 of the five AT+CNMI parameters, one bit each.
struct CNMICaps {
    uint32_t mode = 0, mt = 0, bm = 0, ds = 0, bfr = 0;
};

class GSMDevice : public GenericCOMModemInterface {
  public:
    // Copies config; takes ownership of port and log; opens the log.
    GSMDevice(const GSMLineConfig* config, ComPort* port, ILogInterface* log, CAThreadPool* pool);
    ~GSMDevice() override;

    using GenericCOMModemInterface::Init;
    // Opens the port and starts the initialisation run. Refused while a
    // close is still running.
    int Init() override;
    // Closes the line: no new work starts and the port stops. Once nothing
    // of the line runs any more, the job in flight ends with QV_ABORTED, the
    // queued receive records go, the line is down, and then done runs (on
    // the thread whose work left last, or here). Never waits. A close asked
    // for while one runs finishes with it.
    void BeginUninit(std::function<void()> done);
    // BeginUninit, waiting for its end unless called on a pool worker.
    // QV_OK, or QV_NOTINITIALIZED when the line was not initialised.
    int Uninit(int reason) override;
    // Runs fn at once, or after the close that is running.
    void AfterClose(std::function<void()> fn);
    bool IsClosing();
    int ModemInitProcess() override;
    // 1: attempt started (its end comes as DEV_SEND_DONE or DEV_SEND_RETRY);
    // 0: refused (busy, not initialised, cannot send, not international).
    int SendSMS(SMSJob* job) override;
    void InitComplete(int result, int stage) override;
    const char* GetErrorText(int code) override;
    virtual int IsInitialized() { return m_bInitialized; }

    // A delivered message not yet confirmed deleted from the SIM.
    struct DeliveredEntry {
        uint32_t index;
        uint64_t digest;
        int deleteFailures;
    };
    // What this line remembers of delivered messages, for the next line on
    // the same port (a removed line's SIM is listed again by its successor).
    std::vector<DeliveredEntry> TakeDelivered();
    void AdoptDelivered(std::vector<DeliveredEntry> entries);

    const GSMLineConfig* GetConfigs() const { return &m_Config; }
    int ComPortNumber() const { return m_Config.ComPortNumber; }
    int GetLineState() const { return m_nLineState.load(); }
    void SetLineState(int state, const char* reason);
    // 1 when the line went from LINE_IDLE to state atomically; else 0.
    int AcquireLine(int state, const char* reason);

    void SetDeviceEventHandler(DeviceEventHandler handler, void* owner);
    void* Owner() const { return m_pOwner; }
    // The owner's: held while it starts Init or Uninit of this line, so the
    // host's calls and its work items start them one at a time.
    qv::Mutex& LifecycleLock() QV_RETURN_CAPABILITY(m_LifecycleLock) { return m_LifecycleLock; }
    // Starts an initialisation run; the first of a series counts attempts
    // from one again.
    int StartInitRun(bool firstAttempt) {
        if (firstAttempt) m_nInitAttempts = 0;
        return Init();
    }
    // The code of the last failed run (then 0).
    int TakeFailCode() { return m_nFailCode.exchange(0); }
    // True once when the line's log file could not be created.
    bool TakeLogUnavailable() { return m_bLogUnavailable.exchange(false); }
    // Live references (work items, walks, reports): for diagnostics.
    int WorkRefs() { return m_Refs.Count(); }
    // Calls the owner's handler; false when none is installed.
    bool RaiseEvent(int event, int code, void* data);

    // References to this object held outside it: work items queued for it,
    // walks over the lines, a report on its way. The owner destroys a line
    // once it is closed and released (Release's continuation).
    bool AddWorkRef() { return m_Refs.TryEnter(); }
    void ReleaseWorkRef() { m_Refs.Leave(); }
    // No new references from now on; then runs once the last one is gone.
    void Release(std::function<void()> then) { m_Refs.Close(std::move(then)); }

    // --- Initialisation (InitSequence.cc) ---
    // Back-off before a retry (platform-clock ms, by the failure code).
    static constexpr unsigned kRetryWaitMs = 300;
    static constexpr unsigned kRetryWaitLongMs = 1500;
    void AddCNMIRoutingCMD();
    // "AT+CNMI=<mode>,<mt>,<bm>,<ds>,<bfr>" from the modem's own ranges.
    std::string CNMIRoutingCommand() const;
    // The five values of that command, from this attempt's answer.
    CNMICaps ChooseCNMI() const;
    // Check of the "AT" after the reset: AT+CMEE=1, then the SIM's state.
    static int OnModemReady(int result, ATCommandEntry* entry);
    void AskSIMState(unsigned waitedMs);
    // Asks which storages are used (AT+CPMS?) and selects the one new
    // messages go to for reading; then the list goes on.
    void AskStorage();
    void OnStorageAnswer(const ATOutcome& outcome);
    void OnSIMState(const ATOutcome& outcome, unsigned waitedMs);
    // A busy SIM is asked again every kSimBusyPollMs, up to kSimBusyLimitMs
    // in one attempt (platform-clock ms).
    static constexpr unsigned kSimBusyPollMs = 1000;
    static constexpr unsigned kSimBusyLimitMs = 20000;
    static int OnCNMITestResult(int result, ATCommandEntry* entry);
    bool ParseCNMIRanges(const char* text);
    static bool ParseCNMIParam(const char* group, uint32_t* mask);
    void LogCNMIParams();
    const CNMICaps& GetCNMICaps() const { return m_CNMICaps; }

    // --- Post-initialisation checks (Checks.cc) ---
    static int OnCSQResult(int result, ATCommandEntry* entry);
    static int OnCMGLResult(int result, ATCommandEntry* entry);
    // One entry of a listing: its storage index and PDU.
    struct ListedEntry {
        uint32_t index;
        std::string pdu;
    };
    static std::vector<ListedEntry> ListedEntries(const std::vector<std::string>& lines);
    int CheckForAreadyRecvMSGS(const std::vector<ListedEntry>& entries);
    // Queues the listed messages not already on their way; the count queued.
    int QueueListedEntries(const std::vector<ListedEntry>& entries);
    // Without new-message indications (the modem offers no AT+CNMI routing
    // for them), the storage is listed every kStoragePollMs instead.
    static constexpr unsigned kStoragePollMs = 30000;
    void ScheduleStoragePoll();
    void PollStorage();
    DelayedWork m_StoragePoll;
    std::atomic<bool> m_bPollStorage{false};
    void FinishStoredMessages();
    int m_nStoredPassOrder = 0;  // the listing entry whose pass is running

    // --- Sending (Sending.cc) ---
    bool StartSendingProcess(SMSJob* job);
    void SendSMSPhaseA(SMSJob* job);
    int SendMessagePiece(SMSJob* job);
    // The answer to AT+CMGS (stage 2) or to the PDU (stage 3).
    void OnSendAnswer(SMSJob* job, int stage, const ATOutcome& outcome);
    void SendSMSPhaseB(SMSJob* job);
    void SendSMSPhaseD(SMSJob* job);
    // Ends the attempt once; failure says whether and where it may be retried.
    void SendComplete(int result, int phase, SMSJob* job,
                      SendFailure failure = SendFailure::Transient);
    // Sends ESC (a modem left in PDU entry swallows what follows), then
    // calls then once the modem answered or the short wait ran out.
    void CancelPduEntry(std::function<void()> then);
    static constexpr int kEscTimeoutSec = 2;
    // Ends the job in flight, if any, with QV_ABORTED (exactly one
    // DEV_SEND_DONE per job). Runs once the line's work has drained.
    void AbortSending();
    // Work item that reports a job ended by AbortSending.
    static int OnAbortedJob(void* context, CompletionKey* key, LPOVERLAPPED overlapped, DWORD bytes,
                            DWORD error);

    // --- Delivery reports (Reports.cc) ---
    // Logs the "+CMGS: <mr>" of a part and, with reports requested, keeps it.
    void RecordSentPart(SMSJob* job, const ATOutcome& outcome);
    // Matches a report to its part, logs it and hands it to the owner when
    // the line asks for reports.
    void HandleStatusReport(const pdu::StatusReport& report);
    // A stored status report at slot: handled once and its deletion queued.
    // false when the PDU is no status report.
    bool TakeStoredReport(const std::string& pduText, uint32_t slot);
    // Takes every whole "+CDS:" report (header and PDU lines) out of history.
    bool PreProcessReports(std::string& history);
    // Issues one AT+CNMA that is due; false when none is.
    bool SendReportAcks();
    // After the storage check: the message service (AT+CSMS?), which says
    // whether "+CDS" reports must be acknowledged.
    void AskMessageService();
    SentParts m_SentParts;
    std::atomic<bool> m_bAckReports{false};
    std::atomic<int> m_nAcksDue{0};

    // --- Receiving (Receiving.cc) ---
    static void PreProccessRecvSMS(ComPort* port, IOComAsyncPacket* packet, int timedOut);
    bool PreProcessRecvNotifications(std::string& history);
    void ProcessReceivedSMSParts();
    // The answer to AT+CMGR.
    void OnReadAnswer(SMSRecv* record, const ATOutcome& outcome);
    void RecvStage2(std::string pduText, int stage, SMSRecv* record);
    void RecvStage3(SMSRecv* record);
    void RecvIOErrorHandling(SMSRecv* record, int stage, int code);
    void DeleteSMSFromSIM();
    void OnDeleteAnswer(uint32_t index, const ATOutcome& outcome);
    // false when the message could not be handed over (it stays on the SIM).
    bool DeliverReceivedSMS(SMSRecv* record);
    static uint64_t PduDigest(const std::string& pduText);
    // True when this PDU at this index was delivered before: its deletion is
    // queued again. Another PDU there drops the old entry.
    bool WasDelivered(uint32_t index, uint64_t digest);
    // Records a delivered message's parts; queues their deletion unless the
    // line was closed meanwhile (the next start lists them again).
    void RememberDelivered(const SMSRecv& message, bool queueDelete);
    // A delete's outcome: a confirmed one is forgotten; one the modem
    // refused is tried again (kDeleteTries in all). One that timed out may
    // have happened: a retry could delete a new message stored there, so the
    // entry only waits for the index to be read or listed again.
    enum DeleteOutcome { DELETE_CONFIRMED, DELETE_REFUSED, DELETE_UNKNOWN };
    void DeleteDone(uint32_t index, DeleteOutcome outcome);
    static constexpr int kDeleteTries = 3;
    // An incomplete message is delivered with the parts that came once no
    // new part has come for kIncompleteExpiryMs (platform clock), checked at
    // the start of every receive pass.
    static constexpr uint64_t kIncompleteExpiryMs = 30ull * 60 * 1000;
    void DeliverExpiredCollectors();
    // Issues verb with the slot's index in the slot's storage, selecting it
    // with AT+CPMS first when another storage is selected.
    int IssueInStorage(const char* verb, uint32_t slot, int timeoutSec, ATOutcomeHandler handler);
    // Resumes the receive pass after kReadRetryMs; false when it cannot be
    // scheduled (the line is closing).
    bool ScheduleRecvRetry();
    static constexpr unsigned kReadRetryMs = 200;
    // The index is queued to be read, held by a collector or to be deleted.
    bool IsIndexHeld(uint32_t index) QV_REQUIRES(m_RecvLock);
    // Queued records still to be read or staged, or indices to delete.
    bool HasPendingRecvWork();
    // Takes record out of m_RecvQueue (not freed); false when not queued.
    bool UnqueueRecord(SMSRecv* record);

    // Waits, in platform-clock milliseconds. Chosen lengths for the commands
    // whose waits are left open.
    static constexpr int kPromptTimeoutSec = 10;
    static constexpr int kPduResultTimeoutSec = 60;
    static constexpr int kReadTimeoutSec = 10;
    static constexpr int kDeleteTimeoutSec = 10;

  protected:
    GSMLineConfig m_Config;
    // Written by the init run on a worker and by a close on another thread.
    std::atomic<int> m_nInitAttempts{0};
    std::atomic<int> m_nFailCode{0};
    std::atomic<bool> m_bLogUnavailable{false};  // until the host has been told
    // Read by the manager on other threads (dispatch, validation).
    std::atomic<int> m_bInitialized{0};
    std::atomic<int> m_bInitInProgress{0};
    std::atomic<int> m_bCanSend{0};
    std::atomic<int> m_nLineState{LINE_DOWN};
    DeviceEventHandler m_pfnDeviceEvent = nullptr;
    void* m_pOwner = nullptr;
    CAThreadPool* m_pThreadPool = nullptr;
    ILogInterface* m_pDeviceLog = nullptr;  // owned

    // Initialisation.
    CNMICaps m_CNMICaps;
    CNMICaps m_CNMIOffered;  // this attempt's answer, for the routing command
    char m_szCNMIGroups[5][26] = {};
    int m_bStoredPass = 0;
    // The storage reads, listings and deletes act on (AT+CPMS's first);
    // storage::kNoMemory until this attempt has asked.
    std::atomic<uint32_t> m_ReadStorage{storage::kNoMemory};

    // Receiving. m_RecvLock guards m_RecvQueue and m_DeleteList: the
    // pre-processor appends from read completions while receive steps scan.
    // Never held across a command issue or a callback into the owner.
    ResponseSpec m_CMGRSpec;
    ResponseSpec m_PromptSpec;
    qv::Mutex m_RecvLock;
    std::vector<SMSRecv*> m_RecvQueue QV_GUARDED_BY(m_RecvLock);
    std::deque<uint32_t> m_DeleteList QV_GUARDED_BY(m_RecvLock);
    // Messages handed to the owner whose deletion is not confirmed yet, by
    // storage index and PDU digest. Kept across Uninit: a message read or
    // listed again (a failed or unfinished delete) is deleted, not delivered
    // twice; another PDU at that index is a new message. m_RecvLock.
    std::vector<DeliveredEntry> m_Delivered QV_GUARDED_BY(m_RecvLock);
    std::vector<DeliveredEntry>::iterator FindDelivered(uint32_t index) QV_REQUIRES(m_RecvLock);

    // Sending: the job of the running attempt, taken by exchange so that its
    // completion and an abort by Uninit end it once.
    std::atomic<SMSJob*> m_pSendingJob{nullptr};
    // A prompt was answered with a PDU that has not been answered yet.
    std::atomic<bool> m_bPduEntry{false};

    DelayedWork m_RecvRetry;
    Quiescence m_Refs;
    // The end of a close, once the port has drained.
    void FinishClose();
    qv::Mutex m_CloseLock;  // innermost
    bool m_bClosing QV_GUARDED_BY(m_CloseLock) = false;
    std::vector<std::function<void()>> m_AfterClose QV_GUARDED_BY(m_CloseLock);
    // See LifecycleLock. Taken outside every other lock.
    qv::Mutex m_LifecycleLock;
};
