// Records of the modem simulator: how a simulated modem is configured, what
// it records, what is injected into it and the faults it can be made to show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvsim {

struct ModemConfig {
    std::string manufacturer = "QV Simulated Modems";
    std::string model = "SIM-900P";
    std::string revision = "1.0.4";
    std::string imei = "356938035643809";
    std::string imsi = "001010123456789";
    // Answer line to "AT+CNMI=?".
    std::string cnmiTest = "+CNMI: (0,1,2,3),(0,1,2,3),(0,1,2,3),(0,1,2),(0,1)";
    int rssi = 20;  // "AT+CSQ" answers "+CSQ: <rssi>,<ber>"
    int ber = 99;
    std::string smsc = "+15550000000";  // "AT+CSCA?" and the SMSC field of stored PDUs
    size_t capacity = 30;               // SIM slots, indices 1..capacity
    bool echo = true;                   // echo after power-up, ATZ and AT&F
    // Further commands (prefix, case-insensitive) answered with a plain "OK".
    std::vector<std::string> allowList;
    bool acceptAnyAt = false;  // every unknown "AT..." line answers "OK" instead of "ERROR"
    // Announce "+CMTI" even before the host routed indications with AT+CNMI=<m>,1.
    bool announceAlways = false;
    // When an incoming message finds the SIM full, say so with "+CMS ERROR: 322".
    bool reportFull = false;
    uint32_t seed = 1;  // random faults
    // Profiles of real modems' ways:
    std::string simState = "READY";   // "AT+CPIN?" answers "+CPIN: <simState>"
    int simBusyAnswers = 0;           // the first N "AT+CPIN?" answer "+CME ERROR: 14"
    bool promptWithoutSpace = false;  // ">" after AT+CMGS, without the space
    std::string alpha;                // an alpha field in +CMGL/+CMGR headers, e.g. BOOK, "OK"
    double noise = 0;                 // chance of an unsolicited line at each line end of an answer
    // Where new messages are stored and announced ("+CMTI: <storage>,n"). Any
    // other than "SM" makes a second storage: "SM" is selected at power-on
    // and after ATZ/AT&F, and reads, listings and deletes act on the storage
    // selected with AT+CPMS.
    std::string storage = "SM";
};

// One SMS-SUBMIT the modem accepted through AT+CMGS, decoded.
struct Submit {
    std::string number;        // destination, '+' for the international type
    std::u16string text;       // user data of this part (without the header)
    std::string utf8;          // the same text
    int messageReference = 0;  // TP-MR the host chose
    int cmgsReference = 0;     // what "+CMGS: <ref>" answered
    int concatReference = -1;  // -1 without a concatenation header
    int part = 1;
    int total = 1;
    bool statusReport = false;  // TP-SRR
    int dcs = 0;
    int pid = 0;
    int validityFormat = 0;  // TP-VPF, 0..3
    int declaredLength = 0;  // the number given to AT+CMGS
    std::string pdu;         // exactly as received, SMSC field included
};

// A PDU the modem refused with "+CMS ERROR: 304".
struct Rejected {
    std::string pdu;
    int declaredLength = 0;
    std::string reason;
};

// A stored message: <stat> 0 received unread, 1 received read, 2 unsent, 3 sent.
struct StoredMessage {
    int index = 0;
    int stat = 0;
    std::string pdu;  // hex with SMSC field
};

// A message arriving from the network.
struct Incoming {
    enum class Coding { Auto, Gsm7, Ucs2 };
    std::string sender;  // digits with optional '+', or an alphanumeric name
    std::u16string text;
    Coding coding = Coding::Auto;
    int concatReference = -1;  // -1: the modem picks one when the text needs several parts
    bool reference16 = false;  // 16-bit reference header (IEI 08) instead of 8-bit
    // Parts (1-based) in the order they arrive; empty means all, in order.
    // May leave parts out to simulate one that never comes.
    std::vector<int> order;
    std::string timestamp = "26120812000000";  // YYMMDDhhmmss + zone, semi-octets
    bool announce = true;                      // "+CMTI" for each stored part
    int stat = 0;
};

// Misbehaviour for command lines that start with `prefix` (case-insensitive;
// empty matches every line; ">" matches the PDU sent after the prompt).
struct Fault {
    enum class Action {
        Silent,    // no echo, no answer
        Mute,      // executed, but the answer is lost on the way
        Error,     // "ERROR" instead of the answer; the command is not executed
        CmsError,  // "+CMS ERROR: <code>" instead of the answer
        CmeError,  // "+CME ERROR: <code>" instead of the answer
        Reply,     // `text` (framed as given) instead of the answer
        Delay,     // the answer leaves `ms` later
        Chunks,    // the answer in pieces of `size` bytes, `gapMs` apart
        Garbage,   // `text` before the answer
        Cmti,      // a "+CMTI" for `code` after the answer (0: the last one announced again)
        HangUp,    // the modem is unplugged; plugged in again after `ms` when > 0
    };
    std::string prefix;
    Action action = Action::Error;
    int code = 0;
    int ms = 0;
    int size = 1;
    int gapMs = 0;
    std::string text;
    int times = -1;            // matches that fire; -1 always
    int after = 0;             // matches skipped before the first that fires
    double probability = 1.0;  // chance that a match fires (the modem's seeded generator)
};

// Parses a fault from text: "<prefix|*> <action> [options]", e.g.
// "AT+CMGS error x2", "* silent after=5", "AT+CMGL bytes gap=5",
// "AT+CSQ cms=500", "AT delay=200", "> hangup replug=100", "AT garbage=%00%FF".
// False with *error set when the text is not understood.
bool ParseFault(const std::string& text, Fault* out, std::string* error);
// The grammar of ParseFault, for help texts.
const char* FaultSyntax();

}  // namespace qvsim
