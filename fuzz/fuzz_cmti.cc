// The +CMTI/+CDSI pre-processor on an arbitrary receive history, built read
// by read as the port builds it. Every queued slot is unique, its index is
// positive and was announced; the history only loses text from its front.
#include <cstdint>
#include <set>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "gsm/StorageSlot.h"
#include "io/AsyncPacket.h"
#include "logging/NullLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qvfuzz::FuzzDevice* device = new qvfuzz::FuzzDevice();
    device->Reset();
    IOComAsyncPacket packet(NullLog(), nullptr);
    const std::string all(reinterpret_cast<const char*>(data), size);
    for (const std::string& read : qvfuzz::SplitReads(data, size)) {
        packet.AppendHistory(reinterpret_cast<const BYTE*>(read.data()),
                             static_cast<unsigned>(read.size()));
        unsigned version = 0;
        const std::string before = packet.CopyHistory(&version);
        std::string after = before;
        const bool queued = device->PreProcessRecvNotifications(after);
        QVFUZZ_CHECK(packet.CommitHistory(after, version), before);
        QVFUZZ_CHECK(after.size() <= before.size(), before);
        QVFUZZ_CHECK(before.compare(before.size() - after.size(), after.size(), after) == 0,
                     before);
        if (queued) {
            QVFUZZ_CHECK(before.find("+CMTI:") != std::string::npos ||
                             before.find("+CDSI:") != std::string::npos,
                         before);
        }
    }
    std::set<uint32_t> indices;
    for (SMSRecv* r : device->TakeQueue()) {
        const uint32_t index = storage::IndexOf(r->simIndex);
        QVFUZZ_CHECK(index > 0, all);
        QVFUZZ_CHECK(indices.insert(r->simIndex).second, all);
        QVFUZZ_CHECK(all.find(std::to_string(index)) != std::string::npos ||
                         all.find('\xFF') != std::string::npos,
                     all);
        QVFUZZ_CHECK(!r->read && !r->staged, all);
        delete r;
    }
    return 0;
}
