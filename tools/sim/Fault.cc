// Fault descriptions as text, for the `qvgsm sim` console and for tests.
#include <cctype>
#include <sstream>

#include "tools/sim/SimTypes.h"

namespace qvsim {
namespace {

// "%0D" and "\r", "\n" style escapes, so that control bytes fit on one line.
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'r' || s[i + 1] == 'n')) {
            out.push_back(s[i + 1] == 'r' ? '\r' : '\n');
            ++i;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

bool ToInt(const std::string& s, int* out) {
    if (s.empty()) return false;
    size_t used = 0;
    try {
        *out = std::stoi(s, &used);
    } catch (...) {
        return false;
    }
    return used == s.size();
}

}  // namespace

const char* FaultSyntax() {
    return "<prefix|*> <action> [x<N>|always] [after=<N>] [p=<0..1>] [gap=<ms>]\n"
           "  prefix: start of the command line, e.g. AT+CMGS; '>' is the PDU after the prompt;\n"
           "          '*' every line\n"
           "  action: silent | mute | error | cms=<n> | cme=<n> | reply=<text> | delay=<ms> |\n"
           "          chunks=<bytes> | bytes | garbage=<text> | cmti[=<index>] |\n"
           "          hangup [replug=<ms>]\n"
           "  texts take %XX and \\r \\n escapes (a space is %20)\n";
}

bool ParseFault(const std::string& text, Fault* out, std::string* error) {
    std::istringstream in(text);
    std::string prefix, action;
    if (!(in >> prefix >> action)) {
        if (error) *error = "expected: " + std::string(FaultSyntax());
        return false;
    }
    Fault f;
    f.prefix = prefix == "*" ? "" : prefix;
    std::string key = action, value;
    size_t eq = action.find('=');
    if (eq != std::string::npos) {
        key = action.substr(0, eq);
        value = action.substr(eq + 1);
    }
    auto bad = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (key == "silent") {
        f.action = Fault::Action::Silent;
    } else if (key == "mute") {
        f.action = Fault::Action::Mute;
    } else if (key == "error") {
        f.action = Fault::Action::Error;
    } else if (key == "cms" || key == "cme") {
        f.action = key == "cms" ? Fault::Action::CmsError : Fault::Action::CmeError;
        if (!ToInt(value, &f.code)) return bad("cms/cme need a number");
    } else if (key == "reply") {
        f.action = Fault::Action::Reply;
        f.text = Unescape(value);
    } else if (key == "delay") {
        f.action = Fault::Action::Delay;
        if (!ToInt(value, &f.ms)) return bad("delay needs milliseconds");
    } else if (key == "chunks") {
        f.action = Fault::Action::Chunks;
        if (!ToInt(value, &f.size) || f.size < 1) return bad("chunks needs a size");
    } else if (key == "bytes") {
        f.action = Fault::Action::Chunks;
        f.size = 1;
    } else if (key == "garbage") {
        f.action = Fault::Action::Garbage;
        f.text = value.empty() ? std::string("\x00\xFF#~", 4) : Unescape(value);
    } else if (key == "cmti") {
        f.action = Fault::Action::Cmti;
        if (!value.empty() && !ToInt(value, &f.code)) return bad("cmti takes an index");
    } else if (key == "hangup") {
        f.action = Fault::Action::HangUp;
    } else {
        return bad("unknown action '" + action + "'");
    }
    std::string opt;
    while (in >> opt) {
        int n = 0;
        if (opt == "always") {
            f.times = -1;
        } else if (opt.size() > 1 && opt[0] == 'x' && ToInt(opt.substr(1), &n)) {
            f.times = n;
        } else if (opt.rfind("times=", 0) == 0 && ToInt(opt.substr(6), &n)) {
            f.times = n;
        } else if (opt.rfind("after=", 0) == 0 && ToInt(opt.substr(6), &n)) {
            f.after = n;
        } else if (opt.rfind("gap=", 0) == 0 && ToInt(opt.substr(4), &n)) {
            f.gapMs = n;
        } else if (opt.rfind("replug=", 0) == 0 && ToInt(opt.substr(7), &n)) {
            f.ms = n;
        } else if (opt.rfind("p=", 0) == 0) {
            try {
                f.probability = std::stod(opt.substr(2));
            } catch (...) {
                return bad("p needs a number");
            }
        } else {
            return bad("unknown option '" + opt + "'");
        }
    }
    *out = f;
    return true;
}

}  // namespace qvsim
