// The AT commands a GSM modem in PDU mode answers (3GPP TS 27.005/27.007
// subset): what the driver's initialisation, send and receive flows use and
// what a stock SMS client asks while identifying the phone.
#include <algorithm>
#include <cctype>

#include "platform/clock.h"
#include "tools/sim/SimModem.h"
#include "tools/sim/SimPdu.h"

namespace qvsim {
namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

std::string Cms(int code) {
    return "\r\n+CMS ERROR: " + std::to_string(code) + "\r\n";
}

// Information lines followed by OK.
std::string Info(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += "\r\n" + l + "\r\n";
    return out + kOk;
}

std::string Upper(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool ToInt(const std::string& s, int* out) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    *out = std::stoi(s);
    return true;
}

std::vector<std::string> SplitArgs(const std::string& s) {
    std::vector<std::string> out(1);
    for (char c : s) {
        if (c == ',') {
            out.emplace_back();
        } else if (c != ' ') {
            out.back().push_back(c);
        }
    }
    return out;
}

bool Is(const std::string& u, const char* a, const char* b = nullptr) {
    return u == a || (b && u == b);
}

}  // namespace

std::string SimModem::Execute(const std::string& line) {
    const std::string u = Upper(line);
    auto arg = [&](size_t prefixLen) { return line.substr(prefixLen); };

    if (u == "AT") return kOk;
    // Test aid: an answer that names its command, so a reader can tell it
    // from answers to earlier commands still on their way.
    if (u.rfind("AT+SIMECHO=", 0) == 0) return Info({"+SIMECHO: " + arg(11)});
    if (Is(u, "ATZ", "ATZ0") || Is(u, "AT&F", "AT&F0")) {
        echo = config.echo;
        readStorage = "SM";
        cnmiSetting = "0,0,0,0,0";
        cnmiMt = 0;
        cnmiDs = 0;
        return kOk;
    }
    if (Is(u, "ATE", "ATE0")) {
        echo = false;
        return kOk;
    }
    if (u == "ATE1") {
        echo = true;
        return kOk;
    }
    if (Is(u, "ATI", "ATI0")) {
        return Info({config.manufacturer, config.model, "Revision: " + config.revision});
    }
    if (Is(u, "ATV1") || Is(u, "ATQ0") || Is(u, "AT&C1") || Is(u, "AT&D2")) return kOk;
    if (Is(u, "AT+CGMI", "AT+GMI")) return Info({config.manufacturer});
    if (Is(u, "AT+CGMM", "AT+GMM")) return Info({config.model});
    if (Is(u, "AT+CGMR", "AT+GMR")) return Info({config.revision});
    if (Is(u, "AT+CGSN", "AT+GSN")) return Info({config.imei});
    if (u == "AT+CIMI") return Info({config.imsi});
    if (u == "AT+CPIN?") {
        if (config.simBusyAnswers > 0) {
            --config.simBusyAnswers;
            return "\r\n+CME ERROR: 14\r\n";
        }
        return Info({"+CPIN: " + config.simState});
    }
    if (u == "AT+CSQ") {
        return Info({"+CSQ: " + std::to_string(config.rssi) + "," + std::to_string(config.ber)});
    }
    if (u == "AT+CSQ=?") return Info({"+CSQ: (0-31,99),(0-7,99)"});
    if (u == "AT+CFUN?") return Info({"+CFUN: 1"});
    if (u == "AT+CFUN=?") return Info({"+CFUN: (0,1),(0,1)"});
    if (u == "AT+CFUN=1" || u == "AT+CFUN=1,0") return kOk;
    if (u == "AT+CREG?") return Info({"+CREG: 0,1"});
    if (u == "AT+COPS?") return Info({"+COPS: 0,0,\"QV SIMNET\""});
    if (u == "AT+CMGF=0") return kOk;
    if (u == "AT+CMGF?") return Info({"+CMGF: 0"});
    if (u == "AT+CMGF=?") return Info({"+CMGF: (0)"});
    if (u.rfind("AT+CMGF=", 0) == 0) return Cms(303);  // text mode is not offered
    if (u == "AT+CSCA?") return Info({"+CSCA: \"" + config.smsc + "\",145"});
    if (u.rfind("AT+CSCA=", 0) == 0) {
        std::string v = arg(8);
        size_t q1 = v.find('"'), q2 = v.find('"', q1 + 1);
        if (q1 == std::string::npos || q2 == std::string::npos) return kError;
        config.smsc = v.substr(q1 + 1, q2 - q1 - 1);
        return kOk;
    }
    if (u == "AT+CNMI=?") return Info({config.cnmiTest});
    if (u == "AT+CNMI?") {
        return Info({"+CNMI: " + cnmiSetting});
    }
    if (u.rfind("AT+CNMI=", 0) == 0) {
        std::vector<std::string> a = SplitArgs(arg(8));
        int mode = 0, mt = 0, ds = 0;
        if (!ToInt(a[0], &mode) || (a.size() > 1 && !a[1].empty() && !ToInt(a[1], &mt)) ||
            (a.size() > 3 && !a[3].empty() && !ToInt(a[3], &ds))) {
            return kError;
        }
        cnmiSetting = arg(8);
        cnmiMt = mt;
        cnmiDs = ds;
        (void)mode;
        return kOk;
    }
    if (u == "AT+CSMS?") {
        return Info({"+CSMS: " + std::to_string(config.csmsService) + ",1,1,1"});
    }
    if (u == "AT+CSMS=?") return Info({"+CSMS: (0,1)"});
    if (u.rfind("AT+CSMS=", 0) == 0) {
        int service = 0;
        if (!ToInt(arg(8), &service) || service > 1) return Cms(303);
        config.csmsService = service;
        return Info({"+CSMS: 1,1,1"});
    }
    // Acknowledges a "+CDS" (or "+CMT"): only the phase 2+ service expects it.
    if (u == "AT+CNMA" || u.rfind("AT+CNMA=", 0) == 0) {
        return config.csmsService == 1 ? kOk : Cms(340);
    }
    if (u.rfind("AT+CPMS", 0) == 0) return Storage(u);
    if (u == "AT+CSCS?") return Info({"+CSCS: \"GSM\""});
    if (u == "AT+CSCS=?") return Info({"+CSCS: (\"GSM\",\"UCS2\",\"IRA\")"});
    if (u.rfind("AT+CSCS=", 0) == 0) return kOk;
    if (u == "AT+CMEE?") return Info({"+CMEE: 1"});
    if (u == "AT+CMEE=?") return Info({"+CMEE: (0-2)"});
    if (u.rfind("AT+CMEE=", 0) == 0) return kOk;
    if (u == "AT+CPBS=?") return Info({"+CPBS: (\"SM\")"});
    if (u == "AT+CPBS?") return Info({"+CPBS: \"SM\",0,100"});
    if (u.rfind("AT+CPBS=", 0) == 0) return u == "AT+CPBS=\"SM\"" ? kOk : kError;
    if (u == "AT+CMGL") return ListMessages(0);
    if (u.rfind("AT+CMGL=", 0) == 0) {
        int stat = 0;
        if (!ToInt(arg(8), &stat) || stat > 4) return Cms(302);
        return ListMessages(stat);
    }
    if (u.rfind("AT+CMGR=", 0) == 0) return ReadMessage(arg(8));
    if (u.rfind("AT+CMGD=", 0) == 0) return DeleteMessages(arg(8));
    if (u.rfind("AT+CMGS=", 0) == 0) {
        int n = 0;
        if (!ToInt(arg(8), &n) || n < 1 || n > 255) return Cms(304);
        m_pduMode = true;
        m_pdu.clear();
        m_declaredLength = n;
        return config.promptWithoutSpace ? "\r\n>" : "\r\n> ";
    }
    for (const std::string& allowed : config.allowList) {
        if (u.rfind(Upper(allowed), 0) == 0) return kOk;
    }
    return config.acceptAnyAt ? kOk : kError;
}

std::string SimModem::Storage(const std::string& u) {
    const bool two = config.storage != "SM";
    const std::string names = two ? "(\"SM\",\"" + config.storage + "\")" : "(\"SM\")";
    auto status = [&](const std::string& name) {
        const std::vector<Slot>& in = name == config.storage ? slots : simSlots;
        return std::to_string(Used(in)) + "," + std::to_string(in.size());
    };
    if (u == "AT+CPMS=?") return Info({"+CPMS: " + names + "," + names + "," + names});
    if (u == "AT+CPMS?") {
        return Info({"+CPMS: \"" + readStorage + "\"," + status(readStorage) + ",\"" + readStorage +
                     "\"," + status(readStorage) + ",\"" + config.storage + "\"," +
                     status(config.storage)});
    }
    if (u.rfind("AT+CPMS=", 0) == 0) {
        std::vector<std::string> mems = SplitArgs(u.substr(8));
        for (const std::string& mem : mems) {
            if (!mem.empty() && mem != "\"SM\"" && mem != "\"" + config.storage + "\"")
                return Cms(302);
        }
        if (!mems.empty() && !mems[0].empty()) readStorage = mems[0].substr(1, mems[0].size() - 2);
        const std::string one = status(readStorage);
        return Info({"+CPMS: " + one + "," + one + "," + status(config.storage)});
    }
    return kError;
}

std::string SimModem::Alpha() const {
    return config.alpha.empty() ? std::string() : "\"" + config.alpha + "\"";
}

std::string SimModem::ListMessages(int stat) {
    std::vector<Slot>& slots = Selected();
    std::string out;
    for (size_t i = 0; i < slots.size(); ++i) {
        Slot& s = slots[i];
        if (!s.used || (stat != 4 && s.stat != stat)) continue;
        out += "\r\n+CMGL: " + std::to_string(i + 1) + "," + std::to_string(s.stat) + "," +
               Alpha() + "," + std::to_string(TpduLength(s.pdu)) + "\r\n" + s.pdu;
        if (s.stat == 0) s.stat = 1;
    }
    if (!out.empty()) out += "\r\n";
    return out + kOk;
}

std::string SimModem::ReadMessage(const std::string& a) {
    std::vector<Slot>& slots = Selected();
    int index = 0;
    if (!ToInt(a, &index) || index < 1 || index > static_cast<int>(slots.size())) return Cms(321);
    Slot& s = slots[index - 1];
    if (!s.used) return Cms(321);
    std::string out = "\r\n+CMGR: " + std::to_string(s.stat) + "," + Alpha() + "," +
                      std::to_string(TpduLength(s.pdu)) + "\r\n" + s.pdu + "\r\n" + kOk;
    if (s.stat == 0) s.stat = 1;
    return out;
}

std::string SimModem::DeleteMessages(const std::string& a) {
    std::vector<Slot>& slots = Selected();
    std::vector<std::string> args = SplitArgs(a);
    int index = 0, flag = 0;
    if (!ToInt(args[0], &index) || (args.size() > 1 && !ToInt(args[1], &flag)) || flag > 4) {
        return kError;
    }
    if (flag == 0) {
        if (index < 1 || index > static_cast<int>(slots.size())) return Cms(321);
        slots[index - 1] = Slot{};
        return kOk;
    }
    for (Slot& s : slots) {
        bool del =
            flag == 4 || s.stat == 1 || (flag >= 2 && s.stat == 3) || (flag >= 3 && s.stat == 2);
        if (s.used && del) s = Slot{};
    }
    return kOk;
}

std::string SimModem::AcceptSubmit(const std::string& pdu, SteadyTime now) {
    Submit s;
    std::string why;
    int length = TpduLength(pdu);
    if (length != m_declaredLength) {
        why =
            "length " + std::to_string(length) + " != declared " + std::to_string(m_declaredLength);
    } else if (!DecodeSubmit(pdu, &s, &why)) {
        // why is set
    } else {
        s.declaredLength = m_declaredLength;
        s.cmgsReference = m_nextCmgsRef;
        m_nextCmgsRef = (m_nextCmgsRef + 1) & 0xFF;
        if (s.statusReport && config.reportStatus >= 0) {
            const SteadyTime due =
                now + std::chrono::nanoseconds(qvclock::ToRealNs(
                          static_cast<uint64_t>(std::max(0, config.reportDelayMs))));
            m_pendingReports.emplace(due, PendingReport{s.cmgsReference, s.destination,
                                                        WallSeconds(), config.reportStatus & 0xFF});
        }
        submits.push_back(s);
        return Info({"+CMGS: " + std::to_string(s.cmgsReference)});
    }
    rejected.push_back(Rejected{pdu, m_declaredLength, why});
    return Cms(304);
}

}  // namespace qvsim
