// A modem's answer to one AT command, read as lines: the final result line
// that ends it (OK, ERROR, +CMS ERROR, +CME ERROR, NO CARRIER), the ">"
// prompt, and the information lines between. Unsolicited lines (new-message
// indications, signal and network reports, RING) may arrive at any moment,
// also between a listing's entries: they are set apart and never become part
// of an answer. Pure text handling: no I/O, no locks.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class ATFinal { None, Ok, Error, CmsError, CmeError, NoCarrier };

// What a command's callback gets.
struct ATOutcome {
    int result = 0;                 // QV_OK (answered), QV_TIMEOUT, QV_IOREADERROR, QV_IOWRITEERROR
    ATFinal final = ATFinal::None;  // the final result line, if one came
    int errorCode = -1;             // the number of +CMS ERROR / +CME ERROR; -1 without one
    std::string errorText;          // their text form ("SIM PIN"), when not a number
    bool prompt = false;            // ">" at the start of a line
    std::vector<std::string> lines;  // information lines: no echo, no empty or unsolicited lines

    bool Ok() const { return result == 0 && final == ATFinal::Ok; }
    bool IsError() const {
        return final == ATFinal::Error || final == ATFinal::CmsError ||
               final == ATFinal::CmeError || final == ATFinal::NoCarrier;
    }
    // The first information line starting with prefix; null when none.
    const std::string* Find(const std::string& prefix) const;
    // The line after the first one starting with prefix (a PDU after its
    // header); null when none.
    const std::string* After(const std::string& prefix) const;
};

class ATAnswer {
  public:
    // A new command: its text (the echo to drop) and whether the prompt ends
    // it (AT+CMGS). The command's own result prefix ("+CREG:" for
    // "AT+CREG?") is never taken for an unsolicited line.
    void Start(const std::string& command, bool promptEnds);
    // Adds received bytes; true once the answer is complete.
    bool Feed(const char* data, size_t length);
    bool Complete() const { return m_bComplete; }
    const ATOutcome& Outcome() const { return m_Outcome; }
    // Everything received for this command, as it came.
    const std::string& Raw() const { return m_Raw; }
    // Unsolicited lines that arrived during this command, in order.
    const std::vector<std::string>& Unsolicited() const { return m_Unsolicited; }

    // A final result line: fills final, errorCode and errorText.
    static bool ParseFinal(const std::string& line, ATOutcome* outcome);
    // A line a modem sends on its own (not an answer to ownPrefix's command).
    static bool IsUnsolicited(const std::string& line, const std::string& ownPrefix);

  private:
    void TakeLine(std::string line);

    std::string m_Echo;
    std::string m_OwnPrefix;
    bool m_bPromptEnds = false;
    bool m_bComplete = false;
    bool m_bAwaitPdu = false;
    std::string m_Partial;  // bytes after the last line end
    std::string m_Raw;
    ATOutcome m_Outcome;
    std::vector<std::string> m_Unsolicited;
};
