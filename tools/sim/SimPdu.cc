#include "tools/sim/SimPdu.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "pdu/Gsm7.h"
#include "pdu/Utf.h"

namespace qvsim {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Septet j occupies bits 7j..7j+6 of the little-endian bit stream.
Bytes PackBits(const std::vector<uint8_t>& septets) {
    Bytes out((septets.size() * 7 + 7) / 8, 0);
    for (size_t j = 0; j < septets.size(); ++j) {
        for (int i = 0; i < 7; ++i) {
            if ((septets[j] >> i) & 1) {
                size_t pos = j * 7 + i;
                out[pos / 8] |= static_cast<uint8_t>(1u << (pos % 8));
            }
        }
    }
    return out;
}

std::vector<uint8_t> UnpackBits(const uint8_t* data, size_t octets, size_t count) {
    std::vector<uint8_t> out;
    for (size_t j = 0; j < count; ++j) {
        uint8_t s = 0;
        for (int i = 0; i < 7; ++i) {
            size_t pos = j * 7 + i;
            if (pos / 8 < octets && ((data[pos / 8] >> (pos % 8)) & 1)) s |= 1u << i;
        }
        out.push_back(s);
    }
    return out;
}

std::vector<uint8_t> TextToSeptets(const std::u16string& text) {
    std::vector<uint8_t> out;
    for (char16_t c : text) {
        for (uint8_t s : pdu::CharToSeptets(c)) out.push_back(s);
    }
    return out;
}

bool IsDialable(const std::string& number) {
    if (number.empty()) return false;
    size_t i = number[0] == '+' ? 1 : 0;
    if (i == number.size()) return false;
    for (; i < number.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(number[i]))) return false;
    }
    return true;
}

void AppendSemiOctets(const std::string& digits, Bytes* out) {
    for (size_t i = 0; i < digits.size(); i += 2) {
        int lo = digits[i] - '0';
        int hi = i + 1 < digits.size() ? digits[i + 1] - '0' : 0xF;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
}

// Address field as originator/destination: length in semi-octets, type, value.
void AppendAddress(const std::string& number, Bytes* out) {
    if (IsDialable(number)) {
        bool intl = number[0] == '+';
        std::string digits = intl ? number.substr(1) : number;
        out->push_back(static_cast<uint8_t>(digits.size()));
        out->push_back(intl ? 0x91 : 0x81);
        AppendSemiOctets(digits, out);
        return;
    }
    std::u16string name;
    for (char c : number) name.push_back(static_cast<unsigned char>(c));
    Bytes packed = PackBits(TextToSeptets(name));
    size_t septets = TextToSeptets(name).size();
    out->push_back(static_cast<uint8_t>((septets * 7 + 3) / 4));
    out->push_back(0xD0);
    out->insert(out->end(), packed.begin(), packed.end());
}

std::string ReadDigits(const uint8_t* p, size_t semiOctets) {
    static const char kDigits[] = "0123456789*#abc";
    std::string out;
    for (size_t i = 0; i < semiOctets; ++i) {
        int nib = (i % 2 == 0) ? (p[i / 2] & 0x0F) : (p[i / 2] >> 4);
        if (nib == 0xF) break;
        out.push_back(kDigits[nib]);
    }
    return out;
}

struct Reader {
    const Bytes& b;
    size_t pos = 0;
    bool Take(size_t n, const uint8_t** p) {
        if (pos + n > b.size()) return false;
        *p = b.data() + pos;
        pos += n;
        return true;
    }
    bool Octet(int* v) {
        const uint8_t* p;
        if (!Take(1, &p)) return false;
        *v = *p;
        return true;
    }
};

enum class Alphabet { Gsm7, Eight, Ucs2 };

Alphabet AlphabetOf(int dcs) {
    if ((dcs & 0xC0) == 0) {
        switch ((dcs >> 2) & 3) {
            case 1:
                return Alphabet::Eight;
            case 2:
                return Alphabet::Ucs2;
            default:
                return Alphabet::Gsm7;
        }
    }
    if ((dcs & 0xF0) == 0xF0) return (dcs & 0x04) ? Alphabet::Eight : Alphabet::Gsm7;
    if ((dcs & 0xF0) == 0xE0) return Alphabet::Ucs2;
    return Alphabet::Gsm7;
}

Bytes SmscField(const std::string& smsc) {
    if (smsc.empty()) return Bytes{0};
    Bytes addr;
    AppendAddress(smsc, &addr);
    addr[0] = static_cast<uint8_t>(addr.size() - 1);  // octets, type included
    return addr;
}

// Seconds since 1970 as a UTC time stamp: YYMMDDhhmmss and zone 00.
void AppendTimeStamp(int64_t seconds, Bytes* out) {
    using namespace std::chrono;
    const sys_seconds t{std::chrono::seconds(seconds)};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss<std::chrono::seconds> time{t - day};
    char digits[32];
    snprintf(digits, sizeof digits, "%02d%02u%02u%02d%02d%02d", int(date.year()) % 100,
             unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
             int(time.minutes().count()), int(time.seconds().count()));
    AppendSemiOctets(digits, out);
    out->push_back(0x00);
}

bool Fail(std::string* error, const char* text) {
    if (error) *error = text;
    return false;
}

}  // namespace

std::string ToHex(const Bytes& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

bool FromHex(const std::string& hex, Bytes* out) {
    if (hex.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexDigit(hex[i]);
        int lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

std::string ToUtf8(const std::u16string& text) {
    return pdu::Utf16ToUtf8(text);
}

std::u16string FromUtf8(const std::string& text) {
    return pdu::Utf8ToUtf16(text);
}

int TpduLength(const std::string& hex) {
    Bytes b;
    if (!FromHex(hex, &b) || b.empty()) return -1;
    int total = static_cast<int>(b.size()) - 1 - b[0];
    return total < 0 ? -1 : total;
}

bool FitsGsm7(const std::u16string& text) {
    for (char16_t c : text) {
        if (c == u'?') continue;
        pdu::Septets s = pdu::CharToSeptets(c);
        if (s.size() == 1 && s[0] == 0x3F) return false;
    }
    return true;
}

bool DecodeSubmit(const std::string& hex, Submit* out, std::string* error) {
    Bytes b;
    if (!FromHex(hex, &b)) return Fail(error, "not hex");
    Reader r{b};
    const uint8_t* p;
    int smscLen, fo, mr, daLen, toa, pid, dcs, udl;
    if (!r.Octet(&smscLen) || !r.Take(smscLen, &p)) return Fail(error, "short SMSC field");
    if (!r.Octet(&fo)) return Fail(error, "no first octet");
    if ((fo & 3) != 1) return Fail(error, "not an SMS-SUBMIT");
    if (!r.Octet(&mr)) return Fail(error, "no message reference");
    if (!r.Octet(&daLen) || !r.Octet(&toa)) return Fail(error, "no destination");
    if (daLen == 0) return Fail(error, "empty destination");
    if (!r.Take((daLen + 1) / 2, &p)) return Fail(error, "short destination");
    Submit s;
    s.destination = ToHex(Bytes(b.begin() + r.pos - (daLen + 1) / 2 - 2, b.begin() + r.pos));
    if ((toa & 0x70) == 0x50) {
        std::vector<uint8_t> sept = UnpackBits(p, (daLen + 1) / 2, daLen * 4 / 7);
        s.number = ToUtf8(pdu::SeptetsToText(sept.data(), sept.size()));
    } else {
        s.number = ReadDigits(p, daLen);
        if ((toa & 0x70) == 0x10) s.number.insert(s.number.begin(), '+');
    }
    if (!r.Octet(&pid) || !r.Octet(&dcs)) return Fail(error, "no PID/DCS");
    int vpf = (fo >> 3) & 3;
    size_t vpLen = vpf == 0 ? 0 : vpf == 2 ? 1 : 7;
    if (!r.Take(vpLen, &p)) return Fail(error, "short validity period");
    if (!r.Octet(&udl)) return Fail(error, "no user data length");
    const uint8_t* ud = b.data() + r.pos;
    size_t rest = b.size() - r.pos;
    Alphabet alpha = AlphabetOf(dcs);
    size_t udOctets = alpha == Alphabet::Gsm7 ? (static_cast<size_t>(udl) * 7 + 7) / 8 : udl;
    if (rest < udOctets) return Fail(error, "user data shorter than its length");
    if (rest > udOctets) return Fail(error, "octets after the user data");
    size_t headerOctets = 0;
    if (fo & 0x40) {
        if (udOctets < 1 || ud[0] + 1u > udOctets) return Fail(error, "bad user data header");
        headerOctets = ud[0] + 1u;
        for (size_t i = 1; i + 1 < headerOctets;) {
            int iei = ud[i], len = ud[i + 1];
            if (i + 2 + len > headerOctets) return Fail(error, "bad header element");
            const uint8_t* v = ud + i + 2;
            if (iei == 0x00 && len == 3) {
                s.concatReference = v[0];
                s.total = v[1];
                s.part = v[2];
            } else if (iei == 0x08 && len == 4) {
                s.concatReference = v[0] << 8 | v[1];
                s.total = v[2];
                s.part = v[3];
            }
            i += 2 + len;
        }
        if (s.concatReference >= 0 && (s.part < 1 || s.part > s.total)) {
            return Fail(error, "part number out of range");
        }
    }
    switch (alpha) {
        case Alphabet::Gsm7: {
            size_t skip = (headerOctets * 8 + 6) / 7;
            if (skip > static_cast<size_t>(udl)) return Fail(error, "header longer than data");
            std::vector<uint8_t> sept = UnpackBits(ud, udOctets, udl);
            s.text = pdu::SeptetsToText(sept.data() + skip, sept.size() - skip);
            break;
        }
        case Alphabet::Ucs2:
            if ((udOctets - headerOctets) % 2) return Fail(error, "odd UCS2 length");
            for (size_t i = headerOctets; i + 1 < udOctets; i += 2) {
                s.text.push_back(static_cast<char16_t>(ud[i] << 8 | ud[i + 1]));
            }
            break;
        case Alphabet::Eight:
            for (size_t i = headerOctets; i < udOctets; ++i) s.text.push_back(ud[i]);
            break;
    }
    s.utf8 = ToUtf8(s.text);
    s.messageReference = mr;
    s.statusReport = (fo & 0x20) != 0;
    s.dcs = dcs;
    s.pid = pid;
    s.validityFormat = vpf;
    s.pdu = hex;
    *out = s;
    return true;
}

std::vector<std::string> EncodeDeliver(const Incoming& in, const std::string& smsc, int reference) {
    bool ucs2 = in.coding == Incoming::Coding::Ucs2 ||
                (in.coding == Incoming::Coding::Auto && !FitsGsm7(in.text));
    // Pieces: septets for 7-bit, code units for UCS2.
    std::vector<std::vector<uint8_t>> sevenParts;
    std::vector<std::u16string> ucsParts;
    if (!ucs2) {
        std::vector<uint8_t> all = TextToSeptets(in.text);
        if (all.size() <= 160) {
            sevenParts.push_back(all);
        } else {
            size_t i = 0;
            while (i < all.size()) {
                size_t n = std::min<size_t>(153, all.size() - i);
                if (n == 153 && all[i + n - 1] == 0x1B) --n;  // keep an escape pair whole
                sevenParts.emplace_back(all.begin() + i, all.begin() + i + n);
                i += n;
            }
        }
    } else if (in.text.size() <= 70) {
        ucsParts.push_back(in.text);
    } else {
        size_t i = 0;
        while (i < in.text.size()) {
            size_t n = std::min<size_t>(67, in.text.size() - i);
            char16_t last = in.text[i + n - 1];
            if (n == 67 && last >= 0xD800 && last < 0xDC00) --n;  // keep a surrogate pair whole
            ucsParts.push_back(in.text.substr(i, n));
            i += n;
        }
    }
    size_t total = ucs2 ? ucsParts.size() : sevenParts.size();
    int ref = in.concatReference >= 0 ? in.concatReference : reference;

    const Bytes smscField = SmscField(smsc);

    std::vector<std::string> out;
    for (size_t part = 0; part < total; ++part) {
        Bytes header;
        if (total > 1) {
            if (in.reference16) {
                header = {0x06,
                          0x08,
                          0x04,
                          static_cast<uint8_t>(ref >> 8),
                          static_cast<uint8_t>(ref),
                          static_cast<uint8_t>(total),
                          static_cast<uint8_t>(part + 1)};
            } else {
                header = {0x05,
                          0x00,
                          0x03,
                          static_cast<uint8_t>(ref),
                          static_cast<uint8_t>(total),
                          static_cast<uint8_t>(part + 1)};
            }
        }
        Bytes b = smscField;
        b.push_back(header.empty() ? 0x04 : 0x44);
        AppendAddress(in.sender, &b);
        b.push_back(0x00);                // PID
        b.push_back(ucs2 ? 0x08 : 0x00);  // DCS
        std::string ts = in.timestamp;
        ts.resize(14, '0');
        AppendSemiOctets(ts, &b);
        if (ucs2) {
            const std::u16string& t = ucsParts[part];
            b.push_back(static_cast<uint8_t>(header.size() + t.size() * 2));
            b.insert(b.end(), header.begin(), header.end());
            for (char16_t c : t) {
                b.push_back(static_cast<uint8_t>(c >> 8));
                b.push_back(static_cast<uint8_t>(c));
            }
        } else {
            size_t headerSeptets = (header.size() * 8 + 6) / 7;
            std::vector<uint8_t> septets(headerSeptets, 0);
            septets.insert(septets.end(), sevenParts[part].begin(), sevenParts[part].end());
            Bytes packed = PackBits(septets);
            for (size_t i = 0; i < header.size(); ++i) packed[i] = header[i];
            b.push_back(static_cast<uint8_t>(septets.size()));
            b.insert(b.end(), packed.begin(), packed.end());
        }
        out.push_back(ToHex(b));
    }
    return out;
}

std::string EncodeStatusReport(const std::string& smsc, int reference,
                               const std::string& recipientField, int64_t serviceCentreTime,
                               int64_t dischargeTime, int status) {
    Bytes b = SmscField(smsc);
    b.push_back(0x06);  // SMS-STATUS-REPORT, no more messages waiting
    b.push_back(static_cast<uint8_t>(reference));
    Bytes recipient;
    if (!FromHex(recipientField, &recipient) || recipient.size() < 2) recipient = {0x00, 0x81};
    b.insert(b.end(), recipient.begin(), recipient.end());
    AppendTimeStamp(serviceCentreTime, &b);
    AppendTimeStamp(dischargeTime, &b);
    b.push_back(static_cast<uint8_t>(status));
    return ToHex(b);
}

}  // namespace qvsim
