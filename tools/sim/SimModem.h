// One simulated modem's AT dialogue: bytes from the host in, timed bytes for
// the host out. No I/O and no lock of its own: the Simulator owns the pty and
// serialises every call under its lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "tools/sim/SimTypes.h"

namespace qvsim {

using SteadyTime = std::chrono::steady_clock::time_point;

class SimModem {
  public:
    struct Chunk {
        SteadyTime due;
        std::string bytes;
    };
    struct Slot {
        bool used = false;
        int stat = 0;
        std::string pdu;
    };

    explicit SimModem(const ModemConfig& config);

    // Bytes written by the host.
    void Feed(const char* data, size_t size, SteadyTime now);

    // Stores a message at the lowest free index; -1 when the SIM is full
    // (counted in dropped). Announced with "+CMTI" when asked and routed.
    int Store(const std::string& pdu, int stat, bool announce, SteadyTime now);
    // Every part of `in`, in its arrival order; -1 for a part that found no room.
    std::vector<int> Inject(const Incoming& in, SteadyTime now);
    // Power-on state after a re-plug: echo and routing back to defaults,
    // half-received input dropped. Storage and records stay.
    void Reset();
    void AddFault(const Fault& fault);
    void ClearFaults();
    // Unsolicited text, queued behind what is already waiting.
    void Unsolicited(const std::string& text, SteadyTime now);

    ModemConfig config;
    std::vector<Slot> slots;         // where new messages go (config.storage), index i+1
    std::vector<Slot> simSlots;      // "SM" when new messages go elsewhere
    std::string readStorage = "SM";  // AT+CPMS's first storage
    std::vector<Submit> submits;
    std::vector<Rejected> rejected;
    std::vector<std::string> commands;  // every line received; a PDU ends with its 0x1A or 0x1B
    std::deque<Chunk> out;
    int dropped = 0;
    bool echo = true;
    std::string cnmiSetting = "0,0,0,0,0";  // as the host last set it
    int cnmiMt = 0;                         // 1: new messages are announced
    bool hangUpRequested = false;
    int replugMs = 0;        // after a hang-up fault: plug in again after this long (0 never)
    size_t seenSubmits = 0;  // for the console's printing

  private:
    struct Plan {
        bool silent = false;
        bool mute = false;
        bool hangUp = false;
        bool replace = false;
        std::string replacement;
        int delayMs = 0;
        size_t chunk = 0;
        int gapMs = 0;
        std::string garbage;
        std::vector<int> cmti;
    };

    void HandleLine(const std::string& line, SteadyTime now);
    void HandlePdu(bool cancelled, SteadyTime now);
    Plan MatchFaults(const std::string& text);
    void Answer(const Plan& plan, const std::string& answer, SteadyTime now);
    void Emit(const std::string& bytes, SteadyTime at, size_t chunk, int gapMs);
    std::string Announcement(int index) const;
    // The answer to one command line (framed); may enter PDU entry.
    std::string Execute(const std::string& line);
    std::string AcceptSubmit(const std::string& pdu);
    std::string ListMessages(int stat);
    std::string ReadMessage(const std::string& arg);
    std::string DeleteMessages(const std::string& arg);
    std::string Storage(const std::string& upper);
    int Used(const std::vector<Slot>& in) const;
    // The storage reads, listings and deletes act on.
    std::vector<Slot>& Selected();

    std::string m_line;      // command being received
    bool m_pduMode = false;  // after the "> " prompt
    std::string m_pdu;
    int m_declaredLength = 0;
    std::vector<int> m_deferred;  // indications held back during PDU entry
    int m_nextCmgsRef = 1;
    int m_nextConcatRef = 1;
    int m_lastAnnounced = 0;
    // Unsolicited lines put in at line ends, by config.noise.
    std::string WithNoise(const std::string& text);
    // The alpha field of a header ("" or quoted).
    std::string Alpha() const;
    std::mt19937 m_rng;
    std::vector<Fault> m_faults;
    std::vector<int> m_matches;  // lines each fault matched so far
};

}  // namespace qvsim
