// The modem-independent half of a line: turns command texts into AT commands
// on its serial port, collects and matches the answers, reports each command
// exactly once, and runs ordered command sequences (CommandSequence.cc).
#pragma once

#include <vector>

#include "modem/ATTypes.h"
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
    virtual int AsyncSendFormattedData(const char* command, void (*portCallback)(ComPort*, IOComAsyncPacket*, int),
                                       void* data, unsigned timeoutMs);
    virtual int SendFormattedData(const char* command, char* out, unsigned* outLen,
                                  ResponseSpecMap* specs, unsigned timeoutMs);
    // QV_PENDING when the command was written; then exactly one callback follows.
    virtual int AsyncSendFormattedDataEx(const char* command, ResponseSpecMap* specs,
                                         unsigned timeoutMs, ATCommandCallback callback,
                                         int cbData, void* cbParam);
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

    // The matcher: every receive completion, send error and time-out.
    static void OnCommandIO(ComPort* port, IOComAsyncPacket* packet, int timedOut);

    static constexpr int kCommandBufferSize = 2500;
    static constexpr int kResponseWindowSize = 30000;

protected:
    ResponseSpecMap m_ResponseSpecs;
    ResponseSpec m_OKSpec;
    ResponseSpec m_ERRORSpec;
    ComPort* m_pPort = nullptr;
    HANDLE m_hReadEvent = nullptr;
    HANDLE m_hWriteEvent = nullptr;
    char m_szLastCommand[kCommandBufferSize] = {};
    char m_szFormatBuffer[kCommandBufferSize] = {};
    char m_szResponse[kResponseWindowSize + 1] = {};
    int m_nLastCommandLength = 0;
    ILogInterface* m_pLog = nullptr;
    int m_bEchoSuppression = 0;
    int m_nSequenceEnd = 0;
    std::vector<ATCommandEntry> m_CommandList;
};
