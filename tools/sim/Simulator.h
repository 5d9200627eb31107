// Simulated GSM modems on pseudo-terminals, as many as a test needs (2000 are
// fine), all served by one thread with poll(). Each modem's slave device may
// be linked into a folder as comN, so a host pointed at that folder opens it
// as its COM port.
//
// Thread-safe: every public operation may be called from any thread. Modems
// are numbered from 0 in the order Add created them. Delays in faults are in
// platform milliseconds (platform/clock.h), so a test that speeds the clock up
// speeds the simulated modems up too; so are the delays of status reports,
// which a modem produces only while plugged in.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/sim/SimTypes.h"

namespace qvsim {

class SimModem;

// What the I/O thread saw, for a console that prints it.
struct SimEvent {
    enum class Kind { Command, Submit, Rejected, HangUp, Replug };
    Kind kind;
    int modem;
    std::string text;  // the command line, or the decoded message in one line
};

class Simulator {
  public:
    Simulator();
    ~Simulator();  // stops the thread, closes every pty and removes the links
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens a pty pair for a new modem; its number, or -1 (errno tells why).
    int Add(const ModemConfig& config = {});
    // Links the modem's slave device as dir/com<com> (replacing any old link).
    bool Link(int modem, const std::string& dir, int com);
    std::string SlavePath(int modem) const;
    std::string LinkPath(int modem) const;  // empty when not linked
    int Count() const;

    // Changes the configuration under the lock (storage capacity excepted).
    void Configure(int modem, const std::function<void(ModemConfig&)>& change);

    // Incoming messages: indices where the parts were stored, in arrival
    // order, -1 for a part that found the SIM full.
    std::vector<int> Inject(int modem, const Incoming& message);
    std::vector<int> Inject(int modem, const std::string& sender, const std::string& utf8Text);
    // A raw SMS-DELIVER (hex with SMSC field) stored as it is.
    int StorePdu(int modem, const std::string& pdu, int stat = 0, bool announce = true);
    // Any bytes, as if the modem sent them unprompted.
    void Unsolicited(int modem, const std::string& bytes);

    void AddFault(int modem, const Fault& fault);
    bool AddFault(int modem, const std::string& rule, std::string* error = nullptr);
    void ClearFaults(int modem);

    // Unplugs the modem: the host's side of the pty sees a hang-up.
    void HangUp(int modem);
    // Plugs it in again on a fresh pty, re-linked at the same comN.
    bool Replug(int modem);
    bool Plugged(int modem) const;

    std::vector<Submit> Submits(int modem) const;
    std::vector<Rejected> RejectedPdus(int modem) const;
    std::vector<std::string> Commands(int modem) const;
    std::vector<StoredMessage> Stored(int modem) const;
    int Dropped(int modem) const;
    // Status reports the network produced (hex, SMSC field first), in order,
    // whatever became of them.
    std::vector<std::string> StatusReports(int modem) const;
    void ClearRecords(int modem);  // submits, rejected PDUs, commands and status reports

    // Waits until pred() holds, re-checking whenever a modem saw traffic;
    // pred runs without the lock, so it may call the getters above.
    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    bool WaitForSubmits(int modem, size_t count, std::chrono::milliseconds timeout);
    bool WaitForStatusReports(int modem, size_t count, std::chrono::milliseconds timeout);
    // A command line starting with prefix (case-insensitive) was received.
    bool WaitForCommand(int modem, const std::string& prefix, std::chrono::milliseconds timeout);

    // Called on the I/O thread, outside the lock, for every event.
    void SetObserver(std::function<void(const SimEvent&)> observer);

  private:
    struct Entry;
    Entry& At(int modem) const;
    void Loop();
    void Wake();
    void Changed();
    bool OpenPty(Entry& e);
    void ClosePty(Entry& e);
    void Relink(Entry& e);

    mutable std::mutex m_mutex;  // guards everything below but the thread itself
    std::condition_variable m_changed;
    uint64_t m_generation = 0;
    std::vector<std::unique_ptr<Entry>> m_modems;
    std::function<void(const SimEvent&)> m_observer;
    bool m_stop = false;
    int m_wake[2] = {-1, -1};  // self-pipe that interrupts poll()
    std::thread m_thread;
};

}  // namespace qvsim
