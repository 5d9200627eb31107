#include "fuzz/FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "io/ComPort.h"
#include "logging/NullLog.h"
#include "pdu/Gsm7.h"

namespace qvfuzz {

void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s %s\n", what, detail.c_str());
    std::abort();
}

std::vector<std::string> SplitReads(const uint8_t* data, size_t size) {
    std::vector<std::string> reads(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF) {
            reads.emplace_back();
        } else {
            reads.back().push_back(static_cast<char>(data[i]));
        }
    }
    return reads;
}

std::string ToHex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

FuzzDevice::FuzzDevice() : GSMDevice(nullptr, new ComPort(), NullLog(), nullptr) {
    m_Config.ComPortNumber = 1;
    m_Config.CanRecv = 1;
    SetDeviceEventHandler(OnEvent, this);
}

FuzzDevice::~FuzzDevice() {
    Reset();
}

int FuzzDevice::OnEvent(int event, GSMDevice*, int, void* owner, void* data) {
    auto* self = static_cast<FuzzDevice*>(owner);
    if (event == DEV_SMS_RECEIVED) {
        ++self->received;
        auto* sms = static_cast<ReceivedSMS*>(data);
        QVFUZZ_CHECK(sms != nullptr, "");
        self->texts.emplace_back(reinterpret_cast<const char16_t*>(sms->Text));
    }
    return 0;
}

std::vector<SMSRecv*> FuzzDevice::TakeQueue() {
    qv::MutexLock lock(m_RecvLock);
    std::vector<SMSRecv*> out;
    out.swap(m_RecvQueue);
    m_DeleteList.clear();
    return out;
}

size_t FuzzDevice::DeleteListSize() {
    qv::MutexLock lock(m_RecvLock);
    return m_DeleteList.size();
}

void FuzzDevice::Reset() {
    for (SMSRecv* r : TakeQueue()) delete r;
    received = 0;
    texts.clear();
    m_bStoredPass = 0;
    m_bInitialized = 0;
    m_CommandList.clear();
    SetLineState(LINE_INITIALISING, "fuzz");
}

namespace {
unsigned Hex2(const std::string& s, size_t pos) {
    return pdu::HexToInt(s.substr(pos, 2));
}
}  // namespace

std::string SubmitToDeliver(const std::string& submit) {
    const unsigned first = Hex2(submit, 2);
    const unsigned digits = Hex2(submit, 6);
    const size_t addressChars = digits == 0 ? 2 : 4 + (digits + 1) / 2 * 2;
    const std::string address = submit.substr(6, addressChars);
    const size_t p = 6 + addressChars;
    const std::string pidDcs = submit.substr(p, 4);
    const std::string userData = submit.substr(p + 4);
    char fo[3];
    std::snprintf(fo, sizeof fo, "%02X", 0x04 | (first & 0x40));
    return "00" + std::string(fo) + address + pidDcs + "62107291805000" + userData;
}

}  // namespace qvfuzz
