// A small blocking serial client for tests: opens a device (a pty slave or a
// comN link to one), writes bytes and reads with time-outs. Everything read
// accumulates until Take().
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace qvtest {

class SerialClient {
  public:
    using ms = std::chrono::milliseconds;

    SerialClient() = default;
    ~SerialClient();
    SerialClient(const SerialClient&) = delete;
    SerialClient& operator=(const SerialClient&) = delete;

    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    bool Write(const std::string& bytes);
    // Reads until `text` is in the accumulated input; false on time-out or hang-up.
    bool ReadUntil(const std::string& text, ms timeout = ms(2000));
    // Reads whatever arrives within `period`.
    void ReadFor(ms period);
    // Writes cmd + "\r" and reads until a final result ("OK", "ERROR",
    // "+CMS ERROR: n", "+CME ERROR: n") or the "> " prompt; returns what
    // arrived and empties the buffer.
    std::string Command(const std::string& cmd, ms timeout = ms(2000));
    // The accumulated input, emptied.
    std::string Take();
    const std::string& Received() const { return m_in; }
    // Sizes of the reads that returned data, since Open or ClearReads.
    const std::vector<size_t>& Reads() const { return m_reads; }
    void ClearReads() { m_reads.clear(); }
    // The other side hung up (read failed with EIO or POLLHUP).
    bool HungUp() const { return m_hungUp; }

  private:
    bool ReadSome(ms timeout);

    int m_fd = -1;
    std::string m_in;
    std::vector<size_t> m_reads;
    bool m_hungUp = false;
};

// True when the text holds a final result or the send prompt.
bool HasFinalResult(const std::string& text);

}  // namespace qvtest
