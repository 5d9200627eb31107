// What a modem's refusal of a message means for the job: the causes of
// "+CMS ERROR: <n>" (3GPP TS 27.005 3.2.5, with the network's RP causes of
// TS 24.011 8.2.5.4 and the TP-FCS values of TS 23.040 9.2.3.22) and of
// "+CME ERROR: <n>" (TS 27.007 9.2), each with its meaning and its class.
#pragma once

#include "modem/ATAnswer.h"

enum class SendFailure {
    Transient,  // congestion, network time-out, temporary failure: retry as usual
    Line,       // this line cannot send now (no service, SIM, service centre): another line
    Message,    // the destination refused or barred it, or it is malformed: no retry
};

struct SendFailureCause {
    SendFailure kind;
    const char* meaning;  // for the log
};

// The class and meaning of an error answer (a plain "ERROR" is transient).
SendFailureCause ClassifySendError(const ATOutcome& outcome);
