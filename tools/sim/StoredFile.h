// Messages to place on simulated SIMs before a host connects, read from a
// file: a JSON array of objects
//   {"com": 3, "sender": "+4915112345678", "text": "hello", "coding": "ucs2",
//    "stat": 0, "order": [2, 1], "pdu": "07911..."}
// (every key optional but sender/text or pdu; no "com" means every modem), or
// plain lines "<sender> <text>" for every modem, '#' starting a comment.
#pragma once

#include <string>
#include <vector>

#include "tools/sim/SimTypes.h"

namespace qvsim {

struct StoredEntry {
    int com = -1;     // -1: every modem
    std::string pdu;  // raw SMS-DELIVER; when empty, `message` is encoded
    Incoming message;
};

bool LoadStoredFile(const std::string& path, std::vector<StoredEntry>* out, std::string* error);
bool ParseStoredText(const std::string& text, std::vector<StoredEntry>* out, std::string* error);

}  // namespace qvsim
