// The AT+CMGL=4 listing on arbitrary answer text: the stored-message pass
// parses it, decodes each entry, delivers what is complete and ends the
// pass. No message is delivered that was not listed, none twice, and the
// line does not stay in the receive state.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "modem/ATAnswer.h"
#include "modem/ATTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qvfuzz::FuzzDevice* device = new qvfuzz::FuzzDevice();
    if (size > GenericCOMModemInterface::kResponseWindowSize) return 0;
    device->Reset();
    std::string answer(reinterpret_cast<const char*>(data), size);
    ATAnswer reader;
    reader.Start("AT+CMGL=4", false);
    reader.Feed(answer.data(), answer.size());
    device->SetLastOutcome(reader.Outcome());
    size_t listed = 0;
    for (const std::string& line : reader.Outcome().lines) listed += line.rfind("+CMGL:", 0) == 0;
    const bool okSeen = reader.Outcome().final == ATFinal::Ok;
    ATCommandEntry entry;
    entry.Set(11, "AT+CMGL=4", 100, 0, GSMDevice::OnCMGLResult, device, nullptr);
    const int result = GSMDevice::OnCMGLResult(QV_OK, &entry);

    if (!okSeen) {
        QVFUZZ_CHECK(result == QV_INVALIDRESPONSE, answer);
        QVFUZZ_CHECK(device->received == 0, answer);
        return 0;
    }
    QVFUZZ_CHECK(result == QV_OK || result == QV_PENDING, answer);
    QVFUZZ_CHECK(static_cast<size_t>(device->received) <= listed, answer);
    if (result == QV_PENDING) {
        // The pass ended and resumed the (empty) sequence, which completed.
        QVFUZZ_CHECK(device->GetLineState() == LINE_IDLE, answer);
        for (SMSRecv* r : device->TakeQueue()) {
            // Only collectors of incomplete messages stay.
            QVFUZZ_CHECK(r->staged && r->m_sms.IsConcatenated() && !r->m_sms.IsComplete(), answer);
            delete r;
        }
    }
    return 0;
}
