#include "logging/NullLog.h"

namespace {

class CNullLog final : public ILogInterface {
  public:
    uint32_t GetHandle() override { return 0; }
    void Attach(uint32_t) override {}
    void Open(const char*, const char*, int) override {}
    void Close() override {}
    void LogInfo(const char*, ...) override {}
    void LogInfo2(const char*, ...) override {}
    void LogWarning2(const char*, ...) override {}
    void LogWarning(const char*, ...) override {}
    void LogError(const char*, ...) override {}
    void LogError2(const char*, ...) override {}
};

}  // namespace

ILogInterface* NullLog() {
    static CNullLog log;
    return &log;
}
