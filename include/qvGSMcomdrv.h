/*
 * qvGSMcomdrv: SMS through GSM modems on serial ports.
 *
 * The public interface of the driver library: six exported functions, the
 * records exchanged with the host, the result codes and the host callback.
 * Plain C, usable from C and C++.
 *
 * Layout. On a 32-bit build every record has one fixed binary layout, the
 * one hosts are built against (offsets checked below). On a 64-bit build the
 * records keep the same field order with native pointer widths, so offsets
 * after the first pointer differ; the opaque CallbackContext is pointer-sized.
 */
#ifndef QVGSMCOMDRV_H
#define QVGSMCOMDRV_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define QVCALL __cdecl
#else
#define QVCALL
#endif

#if defined(QVGSM_BUILDING_LIBRARY) && defined(__GNUC__) && !defined(_WIN32)
/* ELF: everything else is hidden. A Windows DLL names its exports in its .def file. */
#define QVGSM_API __attribute__((visibility("default")))
#else
#define QVGSM_API
#endif

/* Result codes: 32-bit signed, 0 is success. */
#define QV_OK 0
#define QV_GENERICERROR 1
#define QV_OUTOFMEMORY 4
#define QV_INVALIDPARAM 6
#define QV_ABORTED 12
#define QV_ALREADYINITIALIZED 17
#define QV_NOTINITIALIZED 18
#define QV_IOWRITEERROR 21
#define QV_IOREADERROR 22
#define QV_INITFAILED 23
#define QV_TIMEOUT 30
#define QV_INVALIDRESPONSE 34
#define QV_INVALIDFORMAT 49
#define QV_LIMITREACHED 100
#define QV_NOTFOUND 104
#define QV_PENDING 112
#define QV_SIMCARDERROR 120
#define QV_NOINTLSUPPORT 121
#define QV_NOSENDLINE 122
#define QV_NOINTLLINE 123
#define QV_LOGUNAVAILABLE 124

/* Event kinds of the host callback. */
#define HOST_LINE_STATUS 0
#define HOST_SMS_SENT 1
#define HOST_SMS_RECEIVED 2
#define HOST_SMS_STATUS 3 /* only for lines with QV_LINE_STATUS_REPORTS */

/* Bits of GSMLineConfig.Reserved. */
#define QV_LINE_STATUS_REPORTS 1u /* hand delivery reports to the LineCallback */

/* Limits. */
#define QVGSM_MAX_LINES 1999
#define QVGSM_MAX_WAITING_JOBS 2000

/* UTF-16 code unit as the driver's texts use them. */
typedef uint16_t QVWCHAR;

/*
 * The host callback, used by GSMLineConfig.LineCallback and
 * SMSJob.CompletionCallback alike. Called on the driver's worker threads
 * (except QV_ABORTED endings, which run inside gsmdrvShutdown or a repeated
 * gsmdrvInit on the host's thread); never under a driver lock.
 *
 * Lifetime. A line lives from gsmdrvaddGSMline until gsmdrvuninitGSMline or
 * gsmdrvShutdown; a job is the driver's from an accepted gsmdrvSendSMS until
 * its one HOST_SMS_SENT callback (through the line's LineCallback, or through
 * the job's CompletionCallback when the job ends without a line or the line
 * has no LineCallback). A callback may call any export but gsmdrvInit and
 * gsmdrvShutdown: gsmdrvuninitGSMline and gsmdrvreinitGSMline then start the
 * close and return without waiting for it (the line's own callbacks must
 * return first). gsmdrvInit from a callback returns QV_ALREADYINITIALIZED
 * and gsmdrvShutdown returns QV_GENERICERROR; neither changes anything.
 * Called from the host's own threads, gsmdrvuninitGSMline waits until the
 * line's port is closed, and gsmdrvShutdown waits as long as callbacks are
 * running: no line is freed while anything still uses it.
 *
 *   HOST_LINE_STATUS:  code = QV_OK or the failure code, data = NULL, isSendResult = 0;
 *                      once per line before its first status, QV_LOGUNAVAILABLE
 *                      when its log file cannot be created (the line works on
 *                      without a log)
 *   HOST_SMS_SENT:     code = final result, data = the SMSJob, isSendResult = 1
 *   HOST_SMS_RECEIVED: code = 0, data = the ReceivedSMS (valid during the call only)
 *   HOST_SMS_STATUS:   code = 0, data = the SMSStatusReport (valid during the call only),
 *                      isSendResult = 0; only when the line's config sets
 *                      QV_LINE_STATUS_REPORTS in Reserved
 */
typedef void(QVCALL* QVHostCallback)(int code, int comPort, int eventKind, void* context,
                                     void* data, int isSendResult);

/* Line configuration, copied by gsmdrvaddGSMline (1556 bytes on 32-bit). */
typedef struct GSMLineConfig {
    int32_t ComPortNumber;        /* COM n: the line's key and log file GSM_COM<n>.log */
    int32_t BaudRate;             /* serial speed */
    char CNMIParameters[500];     /* used instead of the AT+CNMI=? answer with CNMIOverride */
    char SMSCNumber[500];         /* service centre set with AT+CSCA with CustomISPNumber */
    char InitString[500];         /* sent instead of AT&F with CustomInitString */
    void* CallbackContext;        /* handed back as the callback's context */
    QVHostCallback LineCallback;  /* may be NULL: the line then reports nothing */
    uint32_t SendRetryCount;      /* total attempts of a job; 0 or 1 means one */
    uint32_t Reserved;            /* option bits: QV_LINE_STATUS_REPORTS; 0 for none */
    int32_t StatusReportsEnabled; /* request delivery status reports */
    int32_t CNMIOverride;
    int32_t CustomISPNumber;
    int32_t CustomInitString;
    int32_t CanRecv;
    int32_t CanSend;
    int32_t SupportsInternationalNumbers;
    int32_t CleanSIM; /* delete every stored message at start (AT+CMGD=1,4) */
} GSMLineConfig;

/*
 * A send job. Owned by the host; must stay valid and unmoved from
 * gsmdrvSendSMS until its one HOST_SMS_SENT callback. The driver writes
 * Tries, SendData, Device, Manager, Line, LastLine and Result.
 */
typedef struct SMSJob {
    unsigned char HostData0[8];
    const QVWCHAR* Text; /* NUL-terminated UTF-16 */
    const char* Number;  /* NUL-terminated; a leading '+' marks an international number */
    unsigned char HostData1[1628];
    uint32_t Tries; /* attempts made so far (host sets 0) */
    void* SendData; /* driver-owned encoding state; NULL when none */
    unsigned char HostData2[8];
    QVHostCallback CompletionCallback; /* used when the job ends without a line */
    void* Device;                      /* line chosen for the job */
    void* Manager;                     /* manager that queued it */
    int32_t Line;                      /* requested COM port, -1 for any */
    int32_t FixedLine;                 /* only Line may send it */
    int32_t NoRetry;                   /* give up after the first failed attempt */
    int32_t International;             /* only lines with SupportsInternationalNumbers */
    int32_t LastLine;                  /* COM port of the last attempt */
    int32_t Result;                    /* last code decided for the job */
} SMSJob;

/* A received message, valid only during the HOST_SMS_RECEIVED callback. */
typedef struct ReceivedSMS {
    QVWCHAR* Text;          /* NUL-terminated UTF-16, all parts joined */
    int32_t TextCapacity;   /* buffer size in UTF-16 units (twice the text length, at least 1) */
    char* Number;           /* NUL-terminated sender number */
    int32_t NumberCapacity; /* buffer size in bytes (twice the number length, at least 1) */
    uint32_t Parts;         /* parts the message arrived in */
    uint32_t Reserved;      /* 0 */
} ReceivedSMS;

/*
 * A delivery report, valid only during the HOST_SMS_STATUS callback. Sent
 * parts are remembered for 72 hours; a report that matches none is handed
 * over with HostData0 zeroed.
 */
typedef struct SMSStatusReport {
    unsigned char HostData0[8]; /* the job's HostData0, copied at send time; zero when unmatched */
    const char* Number;         /* recipient, NUL-terminated */
    int32_t MessageReference;   /* TP-MR */
    uint32_t Part;              /* 1-based part of the job this report is for */
    uint32_t TotalParts;
    int32_t Status;            /* TP-ST as received */
    int32_t Final;             /* 1: delivered or failed for good; 0: the network still tries */
    int64_t ServiceCentreTime; /* TP-SCTS, seconds since 1970 UTC */
    int64_t DischargeTime;     /* TP-DT, seconds since 1970 UTC */
} SMSStatusReport;

QVGSM_API int QVCALL gsmdrvInit(void);
QVGSM_API int QVCALL gsmdrvShutdown(void);
QVGSM_API int QVCALL gsmdrvaddGSMline(const GSMLineConfig* config);
QVGSM_API int QVCALL gsmdrvreinitGSMline(int comPort);
QVGSM_API int QVCALL gsmdrvuninitGSMline(int comPort);
QVGSM_API int QVCALL gsmdrvSendSMS(int force7Bit, SMSJob* job);

#if defined(__i386__) || defined(_M_IX86)
#define QVGSM_CHECK_OFFSET(T, f, o) _Static_assert(offsetof(T, f) == (o), #T "." #f)
#ifdef __cplusplus
#undef QVGSM_CHECK_OFFSET
#define QVGSM_CHECK_OFFSET(T, f, o) static_assert(offsetof(T, f) == (o), #T "." #f)
#endif
QVGSM_CHECK_OFFSET(GSMLineConfig, BaudRate, 4);
QVGSM_CHECK_OFFSET(GSMLineConfig, CNMIParameters, 8);
QVGSM_CHECK_OFFSET(GSMLineConfig, SMSCNumber, 508);
QVGSM_CHECK_OFFSET(GSMLineConfig, InitString, 1008);
QVGSM_CHECK_OFFSET(GSMLineConfig, CallbackContext, 1508);
QVGSM_CHECK_OFFSET(GSMLineConfig, LineCallback, 1512);
QVGSM_CHECK_OFFSET(GSMLineConfig, SendRetryCount, 1516);
QVGSM_CHECK_OFFSET(GSMLineConfig, StatusReportsEnabled, 1524);
QVGSM_CHECK_OFFSET(GSMLineConfig, CNMIOverride, 1528);
QVGSM_CHECK_OFFSET(GSMLineConfig, CustomISPNumber, 1532);
QVGSM_CHECK_OFFSET(GSMLineConfig, CustomInitString, 1536);
QVGSM_CHECK_OFFSET(GSMLineConfig, CanRecv, 1540);
QVGSM_CHECK_OFFSET(GSMLineConfig, CanSend, 1544);
QVGSM_CHECK_OFFSET(GSMLineConfig, SupportsInternationalNumbers, 1548);
QVGSM_CHECK_OFFSET(GSMLineConfig, CleanSIM, 1552);
QVGSM_CHECK_OFFSET(SMSJob, Text, 8);
QVGSM_CHECK_OFFSET(SMSJob, Number, 12);
QVGSM_CHECK_OFFSET(SMSJob, Tries, 1644);
QVGSM_CHECK_OFFSET(SMSJob, SendData, 1648);
QVGSM_CHECK_OFFSET(SMSJob, CompletionCallback, 1660);
QVGSM_CHECK_OFFSET(SMSJob, Device, 1664);
QVGSM_CHECK_OFFSET(SMSJob, Manager, 1668);
QVGSM_CHECK_OFFSET(SMSJob, Line, 1672);
QVGSM_CHECK_OFFSET(SMSJob, FixedLine, 1676);
QVGSM_CHECK_OFFSET(SMSJob, NoRetry, 1680);
QVGSM_CHECK_OFFSET(SMSJob, International, 1684);
QVGSM_CHECK_OFFSET(SMSJob, LastLine, 1688);
QVGSM_CHECK_OFFSET(SMSJob, Result, 1692);
QVGSM_CHECK_OFFSET(ReceivedSMS, TextCapacity, 4);
QVGSM_CHECK_OFFSET(ReceivedSMS, Number, 8);
QVGSM_CHECK_OFFSET(ReceivedSMS, NumberCapacity, 12);
QVGSM_CHECK_OFFSET(ReceivedSMS, Parts, 16);
QVGSM_CHECK_OFFSET(ReceivedSMS, Reserved, 20);
QVGSM_CHECK_OFFSET(SMSStatusReport, Number, 8);
QVGSM_CHECK_OFFSET(SMSStatusReport, MessageReference, 12);
QVGSM_CHECK_OFFSET(SMSStatusReport, Part, 16);
QVGSM_CHECK_OFFSET(SMSStatusReport, TotalParts, 20);
QVGSM_CHECK_OFFSET(SMSStatusReport, Status, 24);
QVGSM_CHECK_OFFSET(SMSStatusReport, Final, 28);
QVGSM_CHECK_OFFSET(SMSStatusReport, ServiceCentreTime, 32);
QVGSM_CHECK_OFFSET(SMSStatusReport, DischargeTime, 40);
#ifdef __cplusplus
static_assert(sizeof(GSMLineConfig) == 1556, "GSMLineConfig size");
static_assert(sizeof(SMSJob) == 1696, "SMSJob size");
static_assert(sizeof(ReceivedSMS) == 24, "ReceivedSMS size");
static_assert(sizeof(SMSStatusReport) == 48, "SMSStatusReport size");
#else
_Static_assert(sizeof(GSMLineConfig) == 1556, "GSMLineConfig size");
_Static_assert(sizeof(SMSJob) == 1696, "SMSJob size");
_Static_assert(sizeof(ReceivedSMS) == 24, "ReceivedSMS size");
_Static_assert(sizeof(SMSStatusReport) == 48, "SMSStatusReport size");
#endif
#undef QVGSM_CHECK_OFFSET
#endif

#ifdef __cplusplus
}
#endif

#endif /* QVGSMCOMDRV_H */
