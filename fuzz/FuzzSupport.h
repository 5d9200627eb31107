// Shared by the fuzz targets: input splitting, a line without a port, and
// the SMS-SUBMIT to SMS-DELIVER conversion a recipient's network performs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gsm/GSMDevice.h"

namespace qvfuzz {

// Stops the process with a message: the fuzzer reports it as a crash.
[[noreturn]] void Fail(const char* what, const std::string& detail = std::string());
#define QVFUZZ_CHECK(cond, detail)                                   \
    do {                                                             \
        if (!(cond)) ::qvfuzz::Fail("check failed: " #cond, detail); \
    } while (0)

// Input cut at every 0xFF byte: one piece per serial read.
std::vector<std::string> SplitReads(const uint8_t* data, size_t size);
// Upper-case hex of arbitrary bytes.
std::string ToHex(const uint8_t* data, size_t size);

// A line that never opens its port: the receive and check code runs on the
// fuzzing thread, commands fail to issue, events are counted.
class FuzzDevice : public GSMDevice {
  public:
    FuzzDevice();
    ~FuzzDevice() override;

    // Queued records (not freed) and pending deletions; clears both.
    std::vector<SMSRecv*> TakeQueue();
    size_t DeleteListSize();
    void Reset();

    void SetLastOutcome(const ATOutcome& outcome) { m_LastOutcome = outcome; }
    using GSMDevice::m_CNMICaps;
    using GSMDevice::m_ERRORSpec;
    using GSMDevice::m_OKSpec;
    using GSMDevice::m_szCNMIGroups;

    int received = 0;  // DEV_SMS_RECEIVED events since Reset
    std::vector<std::u16string> texts;

  private:
    static int OnEvent(int event, GSMDevice* device, int code, void* owner, void* data);
};

// SMS-SUBMIT hex -> the SMS-DELIVER hex the recipient reads: no service
// centre, the destination as originator, PID/DCS/user data kept.
std::string SubmitToDeliver(const std::string& submit);

}  // namespace qvfuzz
