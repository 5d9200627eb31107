// The AT+CNMI=? answer parser and the group parser on arbitrary text: no
// read past the text or the group slots, only values 0..3 in a mask.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qvfuzz::FuzzDevice* device = new qvfuzz::FuzzDevice();
    const std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy

    uint32_t mask = 0;
    (void)GSMDevice::ParseCNMIParam(text.c_str(), &mask);
    QVFUZZ_CHECK((mask & ~0xFu) == 0, text);

    const bool parsed = device->ParseCNMIRanges(text.c_str());
    if (parsed) QVFUZZ_CHECK(strstr(text.c_str(), "CNMI") != nullptr, text);
    const CNMICaps& caps = device->GetCNMICaps();
    for (uint32_t m : {caps.mode, caps.mt, caps.bm, caps.ds, caps.bfr}) {
        QVFUZZ_CHECK(m == 0, text);  // the ranges parser only stores the groups
    }
    for (auto& group : device->m_szCNMIGroups) {
        QVFUZZ_CHECK(memchr(group, '\0', sizeof(group)) != nullptr, text);
        uint32_t groupMask = 0;
        (void)GSMDevice::ParseCNMIParam(group, &groupMask);
        QVFUZZ_CHECK((groupMask & ~0xFu) == 0, group);
    }
    device->LogCNMIParams();
    return 0;
}
