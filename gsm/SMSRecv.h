// One received message queued on a line, from its +CMTI notification (or the
// stored-message listing) until it is delivered and its storage deleted.
#pragma once

#include <cstdint>
#include <map>

#include "pdu/PDUCodec.h"  // pdu::SMSMessage

struct SMSRecv {
    pdu::SMSMessage m_sms;       // decoded; a collector holds the parts so far
    int staged = 0;              // through stage 2/3; still queued = a collector
    int read = 0;                // PDU read and decoded
    uint32_t simIndex = 0;       // storage index
    uint32_t partsReceived = 0;  // parts collected into this record
    uint32_t readAttempts = 0;   // failed reads
    uint64_t lastPartMs = 0;     // platform clock: when a collector last got a part
    // Storage index -> digest of the PDU read there, for every part held.
    std::map<uint32_t, uint64_t> pduDigests;
};
