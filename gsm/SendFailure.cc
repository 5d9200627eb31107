#include "gsm/SendFailure.h"

namespace {

struct Entry {
    int code;
    SendFailure kind;
    const char* meaning;
};

constexpr SendFailure T = SendFailure::Transient;
constexpr SendFailure L = SendFailure::Line;
constexpr SendFailure M = SendFailure::Message;

// +CMS ERROR values: 0-127 are the network's RP causes, 128-255 TP-FCS,
// 300-511 the modem's own.
constexpr Entry kCms[] = {
    {1, M, "unassigned (unallocated) number"},
    {8, M, "operator determined barring"},
    {10, M, "call barred"},
    {17, T, "network failure"},
    {21, M, "short message transfer rejected"},
    {22, T, "memory capacity exceeded"},
    {27, T, "destination out of service"},
    {28, M, "unidentified subscriber"},
    {29, M, "facility rejected"},
    {30, M, "unknown subscriber"},
    {38, T, "network out of order"},
    {41, T, "temporary failure"},
    {42, T, "congestion"},
    {47, T, "resources unavailable, unspecified"},
    {50, L, "requested facility not subscribed"},
    {69, M, "requested facility not implemented"},
    {81, T, "invalid short message transfer reference value"},
    {95, M, "invalid message, unspecified"},
    {96, M, "invalid mandatory information"},
    {97, M, "message type non-existent or not implemented"},
    {98, M, "message not compatible with short message protocol state"},
    {99, M, "information element non-existent or not implemented"},
    {111, T, "protocol error, unspecified"},
    {127, T, "interworking, unspecified"},
    {128, M, "telematic interworking not supported"},
    {129, M, "short message type 0 not supported"},
    {130, M, "cannot replace short message"},
    {143, M, "unspecified TP-PID error"},
    {144, M, "data coding scheme (alphabet) not supported"},
    {145, M, "message class not supported"},
    {159, M, "unspecified TP-DCS error"},
    {160, M, "command cannot be actioned"},
    {161, M, "command unsupported"},
    {175, M, "unspecified TP-Command error"},
    {176, M, "TPDU not supported"},
    {192, T, "SC busy"},
    {193, L, "no SC subscription"},
    {194, T, "SC system failure"},
    {195, M, "invalid SME address"},
    {196, M, "destination SME barred"},
    {197, M, "SM rejected-duplicate SM"},
    {198, M, "TP-VPF not supported"},
    {199, M, "TP-VP not supported"},
    {208, L, "(U)SIM SMS storage full"},
    {209, L, "no SMS storage capability in (U)SIM"},
    {210, L, "error in MS"},
    {211, T, "memory capacity exceeded"},
    {212, L, "(U)SIM application toolkit busy"},
    {213, L, "(U)SIM data download error"},
    {255, T, "unspecified error cause"},
    {300, L, "ME failure"},
    {301, L, "SMS service of ME reserved"},
    {302, L, "operation not allowed"},
    {303, L, "operation not supported"},
    {304, M, "invalid PDU mode parameter"},
    {305, M, "invalid text mode parameter"},
    {310, L, "(U)SIM not inserted"},
    {311, L, "(U)SIM PIN required"},
    {312, L, "PH-(U)SIM PIN required"},
    {313, L, "(U)SIM failure"},
    {314, T, "(U)SIM busy"},
    {315, L, "(U)SIM wrong"},
    {316, L, "(U)SIM PUK required"},
    {317, L, "(U)SIM PIN2 required"},
    {318, L, "(U)SIM PUK2 required"},
    {320, L, "memory failure"},
    {321, T, "invalid memory index"},
    {322, L, "memory full"},
    {330, L, "SMSC address unknown"},
    {331, L, "no network service"},
    {332, T, "network timeout"},
    {340, T, "no +CNMA acknowledgement expected"},
    {500, T, "unknown error"},
};

// +CME ERROR values a send can meet.
constexpr Entry kCme[] = {
    {3, L, "operation not allowed"},
    {4, L, "operation not supported"},
    {10, L, "SIM not inserted"},
    {11, L, "SIM PIN required"},
    {12, L, "SIM PUK required"},
    {13, L, "SIM failure"},
    {14, T, "SIM busy"},
    {15, L, "SIM wrong"},
    {30, L, "no network service"},
    {31, T, "network timeout"},
    {32, L, "network not allowed - emergency calls only"},
    {100, T, "unknown"},
};

template <size_t N>
const Entry* Find(const Entry (&table)[N], int code) {
    for (const Entry& entry : table) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

}  // namespace

SendFailureCause ClassifySendError(const ATOutcome& outcome) {
    const Entry* entry = nullptr;
    if (outcome.final == ATFinal::CmsError && outcome.errorCode >= 0) {
        entry = Find(kCms, outcome.errorCode);
        // Manufacturer-specific values: nothing known, so retried.
        if (entry == nullptr) return {SendFailure::Transient, "unlisted error"};
    } else if (outcome.final == ATFinal::CmeError && outcome.errorCode >= 0) {
        entry = Find(kCme, outcome.errorCode);
        if (entry == nullptr) return {SendFailure::Transient, "unlisted error"};
    } else if (outcome.final == ATFinal::CmeError || outcome.final == ATFinal::CmsError) {
        // The text form: a SIM that needs its PIN says so in words.
        const bool sim = outcome.errorText.find("SIM") != std::string::npos;
        return {sim ? SendFailure::Line : SendFailure::Transient, "error reported as text"};
    }
    if (entry == nullptr) return {SendFailure::Transient, "error without a cause"};
    return {entry->kind, entry->meaning};
}
