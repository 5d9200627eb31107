/*
 * send_one: the smallest useful host. Brings up one line, sends one message
 * and reports the result.
 *
 *   send_one COM NUMBER TEXT
 *
 * COM n is opened as $QVGSM_COMDIR/comN, else /dev/ttyS<n-1>. TEXT is UTF-8.
 * Exit status 0 when the message was sent.
 */
#define _POSIX_C_SOURCE 200809L

#include <qvGSMcomdrv.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define PENDING_EVENT (-1)

/* Written on the driver's worker threads, read on the main thread. */
static atomic_int g_lineResult = PENDING_EVENT;
static atomic_int g_sendResult = PENDING_EVENT;

static void QVCALL OnDriverEvent(int code, int comPort, int eventKind, void* context, void* data,
                                 int isSendResult) {
    (void)context;
    (void)isSendResult;
    switch (eventKind) {
        case HOST_LINE_STATUS:
            atomic_store(&g_lineResult, code);
            break;
        case HOST_SMS_SENT:
            atomic_store(&g_sendResult, code);
            break;
        case HOST_SMS_RECEIVED: {
            const ReceivedSMS* sms = (const ReceivedSMS*)data;
            printf("COM%d: a message from %s arrived (%u part(s))\n", comPort, sms->Number,
                   (unsigned)sms->Parts);
            break;
        }
    }
}

/* Waits up to `seconds` for the callback to set *result. */
static int WaitFor(atomic_int* result, int seconds) {
    struct timespec tick = {0, 50 * 1000 * 1000};
    for (int i = 0; i < seconds * 20; ++i) {
        int value = atomic_load(result);
        if (value != PENDING_EVENT) return value;
        nanosleep(&tick, NULL);
    }
    return QV_TIMEOUT;
}

/* UTF-8 to NUL-terminated UTF-16; invalid bytes become U+FFFD. */
static QVWCHAR* ToUtf16(const char* s) {
    size_t n = strlen(s);
    QVWCHAR* out = calloc(2 * n + 1, sizeof *out);
    size_t o = 0;
    if (out == NULL) return NULL;
    for (size_t i = 0; i < n;) {
        unsigned char c = (unsigned char)s[i];
        unsigned long cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < n) {
            cp = ((c & 0x1Ful) << 6) | (s[i + 1] & 0x3F);
            len = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < n) {
            cp = ((c & 0x0Ful) << 12) | ((s[i + 1] & 0x3Ful) << 6) | (s[i + 2] & 0x3F);
            len = 3;
        } else if ((c & 0xF8) == 0xF0 && i + 3 < n) {
            cp = ((c & 0x07ul) << 18) | ((s[i + 1] & 0x3Ful) << 12) | ((s[i + 2] & 0x3Ful) << 6) |
                 (s[i + 3] & 0x3F);
            len = 4;
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out[o++] = (QVWCHAR)(0xD800 + (cp >> 10));
            out[o++] = (QVWCHAR)(0xDC00 + (cp & 0x3FF));
        } else {
            out[o++] = (QVWCHAR)(cp > 0xFFFF ? 0xFFFD : cp);
        }
        i += len;
    }
    out[o] = 0;
    return out;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s COM NUMBER TEXT\n", argv[0]);
        return 2;
    }
    int rc = gsmdrvInit();
    if (rc != QV_OK) {
        fprintf(stderr, "gsmdrvInit failed: %d\n", rc);
        return 1;
    }

    /* The driver copies the configuration; it may live on the stack. */
    GSMLineConfig config;
    memset(&config, 0, sizeof config);
    config.ComPortNumber = atoi(argv[1]);
    config.BaudRate = 115200;
    config.LineCallback = OnDriverEvent;
    config.SendRetryCount = 3;
    config.CanRecv = 1;
    config.CanSend = 1;
    config.SupportsInternationalNumbers = 1;
    rc = gsmdrvaddGSMline(&config);
    if (rc == QV_PENDING) rc = WaitFor(&g_lineResult, 120);
    if (rc != QV_OK) {
        fprintf(stderr, "COM%d did not come up: %d\n", config.ComPortNumber, rc);
        gsmdrvShutdown();
        return 4;
    }
    printf("COM%d up\n", config.ComPortNumber);

    /* The job stays the host's and must stay put until its callback. */
    static SMSJob job;
    QVWCHAR* text = ToUtf16(argv[3]);
    job.Text = text;
    job.Number = argv[2];
    job.Line = -1;
    job.International = argv[2][0] == '+';
    rc = gsmdrvSendSMS(0, &job);
    if (rc == QV_PENDING) rc = WaitFor(&g_sendResult, 300);
    gsmdrvShutdown();
    free(text);
    if (rc != QV_OK) {
        fprintf(stderr, "sending to %s failed: %d\n", argv[2], rc);
        return 1;
    }
    printf("sent to %s\n", argv[2]);
    return 0;
}
