// The far end of a pseudo-terminal, scripted by a test: the code under test
// opens the slave as a COM port, the test writes the modem's bytes (whole or
// one at a time) on the master and reads what the port sent.
#pragma once

#include <chrono>
#include <string>

#include "platform/pty.h"

namespace qvtest {

class PtyPeer {
  public:
    using ms = std::chrono::milliseconds;

    PtyPeer() = default;
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // False when no pseudo-terminal can be had (tests then skip).
    bool Open();
    // Hangs up: the port sees its reads fail.
    void HangUp();
    // The device name a port opens ("\\\\.\\COMn" through a comN link in a
    // QVGSM_COMDIR folder made for this process).
    const std::string& DeviceName() const { return m_deviceName; }
    const std::string& SlavePath() const { return m_pair.slavePath; }

    // Writes all bytes; with `gap` one byte at a time, pausing in between.
    bool Write(const std::string& bytes, ms gap = ms(0));
    // Reads until the input holds `text`; false on time-out or hang-up.
    bool ReadUntil(const std::string& text, ms timeout = ms(3000));
    // Reads until `count` bytes have arrived; false on time-out.
    bool ReadCount(size_t count, ms timeout = ms(3000));
    // Reads whatever arrives within `period`.
    void ReadFor(ms period);
    std::string Take();
    const std::string& Received() const { return m_in; }

  private:
    bool ReadSome(ms timeout);

    qvpty::Pair m_pair;
    std::string m_deviceName;
    std::string m_link;
    std::string m_in;
};

}  // namespace qvtest
