// Log files and their buffers (see log_file.h).
#include "logging/tarn/log_file.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "logging/tarn/entry_format.h"

namespace tarn {
namespace {

constexpr size_t kRotatedFiles = 3;
// Lines reach the file in blocks of this size, at a warning and every
// flush period: a busy line writes a block every few messages. Every line
// has one, and keeps it resident once filled: 1999 lines hold 36 MB.
constexpr size_t kFileBuffer = 16 * 1024;
#if defined(_WIN32)
constexpr std::string_view kEol = "\r\n";
#else
constexpr std::string_view kEol = "\n";
#endif

// "dir/GSM_COM9.log", 2 -> "dir/GSM_COM9.2.log"
std::string RotatedName(const std::string& path, size_t index) {
    if (index == 0) return path;
    const size_t dot = path.rfind('.');
    const size_t folder = path.find_last_of("/\\");
    const bool hasExtension = dot != std::string::npos && dot != 0 &&
                              (folder == std::string::npos || dot > folder + 1) &&
                              dot != path.size() - 1;
    const size_t stem = hasExtension ? dot : path.size();
    std::string name(path, 0, stem);
    name += '.';
    name += std::to_string(index);
    name.append(path, stem, std::string::npos);
    return name;
}

int Descriptor(std::FILE* file) {
#if defined(_WIN32)
    (void)file;
    return -1;  // every line is written through there
#else
    return file != nullptr ? fileno(file) : -1;
#endif
}

char* Put(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// "2026-01-31 12:00:00.123 [tid] [source] [level] ": at most
// kPrefixRoom bytes besides the source and the level.
constexpr size_t kPrefixRoom = 64;

// The first byte below 0x20 at or after in, or end.
const char* PlainRunEnd(const char* in, const char* end) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    while (end - in >= 8) {
        uint64_t word;
        std::memcpy(&word, in, sizeof word);
        // A high bit for each byte below 0x20 (and none for 0x80 and up).
        if (((word - 0x20 * kOnes) & ~word & kHighs) != 0) break;
        in += 8;
    }
    while (in < end && static_cast<unsigned char>(*in) >= 0x20) ++in;
    return in;
}

// Control characters (CR and LF of a modem's answer, Ctrl-Z after a PDU,
// ESC) as escapes, so that every entry stays one line.
char* WriteEscaped(char* p, std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    const char* in = text.data();
    const char* const end = in + text.size();
    while (in < end) {
        // Plain runs go in whole, found eight bytes at a time: an
        // answer is mostly text.
        const char* run = PlainRunEnd(in, end);
        std::memcpy(p, in, static_cast<size_t>(run - in));
        p += run - in;
        if (run == end) break;
        const auto c = static_cast<unsigned char>(*run);
        in = run + 1;
        if (c == '\t') {
            *p++ = '\t';
        } else if (c == '\r') {
            *p++ = '\\';
            *p++ = 'r';
        } else if (c == '\n') {
            *p++ = '\\';
            *p++ = 'n';
        } else {
            *p++ = '\\';
            *p++ = 'x';
            *p++ = kHex[c >> 4];
            *p++ = kHex[c & 15];
        }
    }
    return p;
}

}  // namespace

std::shared_ptr<LogFile> LogFile::Open(const std::string& path, long long sizeLimit) {
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) return nullptr;
    // Blocks go out whole from our own buffer.
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    return std::shared_ptr<LogFile>(
        new LogFile(path, file, size > 0 ? size : 0, sizeLimit > 0 ? sizeLimit : 0));
}

LogFile::LogFile(std::string path, std::FILE* file, long size, long long sizeLimit)
    : m_path(std::move(path)),
      m_file(file),
      m_fileSize(static_cast<size_t>(size)),
      m_sizeLimit(sizeLimit) {
    m_pending.fd.store(Descriptor(file), std::memory_order_relaxed);
    WatchForCrash(&m_pending);
}

LogFile::~LogFile() {
    StopWatching(&m_pending);
    qv::MutexLock lock(m_mu);
    WriteOut();
    if (m_file != nullptr) std::fclose(m_file);
}

void LogFile::Append(std::string_view source, std::string_view level, std::string_view text,
                     unsigned long long threadId) {
    // The entry is written straight into the buffer: its prefix, then
    // the text, which takes at most four bytes a byte once escaped.
    const size_t most = kPrefixRoom + source.size() + level.size() + 4 * text.size() + 2;
    qv::MutexLock lock(m_mu);
    const size_t before = m_used;
    char* const start = Room(most);
    char* p = WritePrefix(start, source, level, threadId);
    p = WriteEscaped(p, text);
    for (char c : kEol) *p++ = c;
    m_used += static_cast<size_t>(p - start);
    m_pending.size.store(m_used, std::memory_order_relaxed);
    if (m_sizeLimit > 0 && m_fileSize + m_used > static_cast<size_t>(m_sizeLimit) &&
        m_fileSize + before > 0) {
        // Everything before this entry goes to the file that rotates away.
        const size_t entry = m_used - before;
        m_used = before;
        WriteOut();
        Rotate();
        std::memmove(m_data.get(), m_data.get() + before, entry);
        m_used = entry;
        m_pending.size.store(m_used, std::memory_order_relaxed);
    }
    if (kFlushEveryLine || m_used >= kFileBuffer) WriteOut();
}

void LogFile::Flush() {
    qv::MutexLock lock(m_mu);
    WriteOut();
}

char* LogFile::WritePrefix(char* p, std::string_view source, std::string_view level,
                           unsigned long long threadId) {
#if defined(_WIN32)
    using namespace std::chrono;
    const auto since = system_clock::now().time_since_epoch();
    const long long second = duration_cast<seconds>(since).count();
    const unsigned ms =
        static_cast<unsigned>(duration_cast<milliseconds>(since - seconds(second)).count());
#else
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long second = now.tv_sec;
    const unsigned ms = static_cast<unsigned>(now.tv_nsec / 1000000);
#endif
    if (second != m_stampSecond) {
        m_stampSecond = second;
        const std::time_t t = static_cast<std::time_t>(second);
        std::tm local{};
#if defined(_WIN32)
        localtime_s(&local, &t);
#else
        localtime_r(&t, &local);
#endif
        m_stampLength = std::strftime(m_stamp, sizeof m_stamp, "%Y-%m-%d %H:%M:%S.", &local);
    }
    p = Put(p, std::string_view(m_stamp, m_stampLength));
    *p++ = static_cast<char>('0' + ms / 100);
    *p++ = static_cast<char>('0' + ms / 10 % 10);
    *p++ = static_cast<char>('0' + ms % 10);
    *p++ = ' ';
    *p++ = '[';
    char digits[kMostDigits];
    char* const end = digits + sizeof digits;
    const char* d = DigitsBefore(end, threadId, 10);
    p = Put(p, std::string_view(d, static_cast<size_t>(end - d)));
    p = Put(p, "] [");
    p = Put(p, source);
    p = Put(p, "] [");
    p = Put(p, level);
    return Put(p, "] ");
}

// Room for n more bytes at the end of the buffer. It is allocated a
// block at once: growing by doubling would leave the smaller blocks
// behind in the heap, a line's worth of memory each.
char* LogFile::Room(size_t n) {
    if (m_used + n > m_capacity) {
        const size_t capacity =
            std::max(kFlushEveryLine ? 1024 : kFileBuffer + kFileBuffer / 8, m_used + n);
        std::unique_ptr<char[]> data(new char[capacity]);
        if (m_used > 0) std::memcpy(data.get(), m_data.get(), m_used);
        m_data = std::move(data);
        m_capacity = capacity;
        m_pending.data.store(m_data.get(), std::memory_order_relaxed);
    }
    return m_data.get() + m_used;
}

void LogFile::WriteOut() {
    if (m_used == 0) return;
    if (m_file != nullptr) m_fileSize += std::fwrite(m_data.get(), 1, m_used, m_file);
    m_used = 0;
    m_pending.size.store(0, std::memory_order_relaxed);
}

// name.2.ext -> name.3.ext, ..., name.ext -> name.1.ext; a new, empty name.ext.
void LogFile::Rotate() {
    m_pending.fd.store(-1, std::memory_order_relaxed);
    if (m_file != nullptr) std::fclose(m_file);
    m_file = nullptr;
    for (size_t i = kRotatedFiles; i > 0; --i) {
        const std::string from = RotatedName(m_path, i - 1);
        const std::string to = RotatedName(m_path, i);
        std::remove(to.c_str());
        std::rename(from.c_str(), to.c_str());
    }
    m_file = std::fopen(m_path.c_str(), "wb");
    if (m_file != nullptr) std::setvbuf(m_file, nullptr, _IONBF, 0);
    m_pending.fd.store(Descriptor(m_file), std::memory_order_relaxed);
    m_fileSize = 0;
}

}  // namespace tarn
