#include "driver/HostNotify.h"

namespace qvhost {

void LineStatus(const GSMLineConfig* config, int code) {
    if (config == nullptr || config->LineCallback == nullptr) return;
    config->LineCallback(code, config->ComPortNumber, HOST_LINE_STATUS, config->CallbackContext,
                         nullptr, 0);
}

void SmsSent(const GSMLineConfig* config, int code, SMSJob* job) {
    // A line without a callback still owes the host the job back.
    if (config == nullptr || config->LineCallback == nullptr) return JobCompletion(job, code);
    config->LineCallback(code, config->ComPortNumber, HOST_SMS_SENT, config->CallbackContext, job,
                         1);
}

void SmsReceived(const GSMLineConfig* config, ReceivedSMS* sms) {
    if (config == nullptr || config->LineCallback == nullptr) return;
    config->LineCallback(QV_OK, config->ComPortNumber, HOST_SMS_RECEIVED, config->CallbackContext,
                         sms, 0);
}

void SmsStatus(const GSMLineConfig* config, SMSStatusReport* report) {
    if (config == nullptr || config->LineCallback == nullptr) return;
    config->LineCallback(QV_OK, config->ComPortNumber, HOST_SMS_STATUS, config->CallbackContext,
                         report, 0);
}

void JobCompletion(SMSJob* job, int code) {
    if (job == nullptr || job->CompletionCallback == nullptr) return;
    job->CompletionCallback(code, job->Line, HOST_SMS_SENT, nullptr, job, 1);
}

}  // namespace qvhost
