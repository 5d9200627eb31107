// The AT answer matcher (echo blanking, the bounded response window and the
// spec scan) on arbitrary modem bytes arriving in several reads, checked
// against a plain re-statement of the matching rule.
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "io/AsyncPacket.h"
#include "logging/NullLog.h"
#include "modem/GenericCOMModemInterface.h"

namespace {

class Matcher : public GenericCOMModemInterface {
  public:
    Matcher() : GenericCOMModemInterface(nullptr) {}
    int Init() override { return QV_OK; }
    int Uninit(int) override { return QV_OK; }
    int ModemInitProcess() override { return QV_OK; }
    int SendSMS(SMSJob*) override { return 0; }

    void SetLastCommand(const std::string& command, bool echoSuppression) {
        const size_t n = std::min(command.size(), sizeof(m_szLastCommand) - 2);
        memset(m_szLastCommand, 0, sizeof(m_szLastCommand));
        memcpy(m_szLastCommand, command.data(), n);
        m_szLastCommand[n] = '\r';
        m_nLastCommandLength = static_cast<int>(n + 1);
        m_bEchoSuppression = echoSuppression ? 1 : 0;
    }
    bool Match(IOComAsyncPacket* packet) {
        std::lock_guard<std::mutex> guard(m_PendingLock);
        return MatchResponse(packet, &m_ResponseSpecs);
    }
    ResponseSpecMap& Specs() { return m_ResponseSpecs; }
    const char* Window() { return GetResponseBuffer(); }
    std::string lastCommand() const {
        return std::string(m_szLastCommand, static_cast<size_t>(m_nLastCommandLength));
    }
    bool echo() const { return m_bEchoSuppression != 0; }
    ResponseSpec cmgr{"+CMGR:", 6, 0, 1, 1};
    ResponseSpec prompt{">", 1, 0, 1, 1};
    ResponseSpec cmgs{"+CMGS:", 6, 0, 0, 0};
};

// The rule: blank the first echo, keep 30000 bytes, NULs do not end the
// text; scanning in key order, a terminal text completes unless a required
// one has not been seen (in this read or an earlier one); finding every text
// in this read completes too.
bool Expected(std::string data, Matcher& m, ResponseSpecMap& specs,
              std::map<const ResponseSpec*, bool>& seen) {
    const std::string command = m.lastCommand();
    if (m.echo() && !command.empty()) {
        const size_t at = data.find(command);
        if (at != std::string::npos) data.replace(at, command.size(), command.size(), '\x01');
    }
    if (data.size() > GenericCOMModemInterface::kResponseWindowSize) {
        data.resize(GenericCOMModemInterface::kResponseWindowSize);
    }
    for (char& c : data) {
        if (c == '\0') c = '\x01';
    }
    size_t found = 0;
    for (auto& [key, spec] : specs) {
        (void)key;
        if (data.find(spec->m_pszText) == std::string::npos) continue;
        ++found;
        seen[spec] = true;
        if (!spec->m_bTerminal) continue;
        bool complete = true;
        for (auto& [k2, other] : specs) {
            (void)k2;
            if (other->m_bRequired && !seen[other]) complete = false;
        }
        if (complete) return true;
    }
    return found == specs.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static Matcher matcher;
    const uint8_t flags = data[0];
    const size_t commandLength = std::min<size_t>(data[1], size - 2);
    std::string command(reinterpret_cast<const char*>(data + 2), commandLength);
    for (char& c : command) {
        if (c == '\0') c = 'A';
    }
    matcher.SetLastCommand(command, (flags & 1) != 0);
    matcher.ResetResponseSpecs();
    if (flags & 2) {
        matcher.cmgr.m_bTriggered = 0;
        matcher.Specs()[3] = &matcher.cmgr;
    }
    if (flags & 4) {
        matcher.prompt.m_bTriggered = 0;
        matcher.Specs()[4] = &matcher.prompt;
    }
    if (flags & 8) {
        matcher.cmgs.m_bTriggered = 0;
        matcher.Specs()[5] = &matcher.cmgs;
    }

    // A small buffer sometimes, so that dropping the oldest bytes is reached.
    const unsigned bufferSize = (flags & 16) ? 64 : 80500;
    IOComAsyncPacket packet(NullLog(), nullptr);
    QVFUZZ_CHECK(packet.Init(PACKET_KIND_RECV, bufferSize), "");
    std::map<const ResponseSpec*, bool> seen;
    for (const std::string& read :
         qvfuzz::SplitReads(data + 2 + commandLength, size - 2 - commandLength)) {
        if (read.empty()) continue;
        packet.AppendData(reinterpret_cast<const BYTE*>(read.data()),
                          static_cast<unsigned>(read.size()));
        const std::string before(reinterpret_cast<const char*>(packet.GetData()),
                                 packet.GetDataLength());
        // The previous scan's flags stay set, as they do between reads.
        const bool expected = Expected(before, matcher, matcher.Specs(), seen);
        const bool complete = matcher.Match(&packet);
        QVFUZZ_CHECK(complete == expected, before);
        const size_t windowLength = strnlen(matcher.Window(), 30001);
        QVFUZZ_CHECK(windowLength == std::min<size_t>(before.size(), 30000), before);
        for (auto& [key, spec] : matcher.Specs()) {
            (void)key;
            QVFUZZ_CHECK((spec->m_bTriggered != 0) == seen[spec], before);
        }
        if (complete) break;
    }
    packet.Uninit();
    return 0;
}
