// Calls into the host. Every call is made outside the driver's locks; a null
// callback pointer drops the event silently.
#pragma once

#include "qvGSMcomdrv.h"

namespace qvhost {

// Through the line's LineCallback with its CallbackContext.
void LineStatus(const GSMLineConfig* config, int code);
void SmsSent(const GSMLineConfig* config, int code, SMSJob* job);
void SmsReceived(const GSMLineConfig* config, ReceivedSMS* sms);
void SmsStatus(const GSMLineConfig* config, SMSStatusReport* report);

// Through the job's own CompletionCallback (no line): code, the job's Line,
// a null context.
void JobCompletion(SMSJob* job, int code);

}  // namespace qvhost
