// What a send job carries inside the driver (SMSJob.SendData): its message,
// the PDUs of the current attempt and the part being sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pdu/PDUCodec.h"  // pdu::SMSMessage

struct SMSSendData {
    pdu::SMSMessage message;
    std::vector<std::string> pdus;  // rebuilt at the start of every attempt
    size_t currentPart = 0;         // index into pdus
    uint64_t reportJob = 0;         // the attempt's parts, for matching delivery reports
};
