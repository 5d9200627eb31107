#include "tools/serve/Config.h"

#include <arpa/inet.h>

#include <toml++/toml.h>
#include <set>
#include <sstream>

#include "tools/host/Devices.h"

namespace qvserve {
namespace {

bool ParseUnsigned(const std::string& text, unsigned max, unsigned* out) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = std::stoul(text);
    if (v > max) return false;
    *out = static_cast<unsigned>(v);
    return true;
}

std::string Where(const toml::node& node) {
    const auto& src = node.source();
    return "line " + std::to_string(src.begin.line);
}

// Keys the file may hold; anything else is a typo worth naming.
bool CheckKeys(const toml::table& table, const std::set<std::string>& known,
               const std::string& what, std::string* error) {
    for (const auto& [key, node] : table) {
        if (known.count(std::string(key.str())) == 0) {
            *error = what + ": unknown key '" + std::string(key.str()) + "' (" + Where(node) + ")";
            return false;
        }
    }
    return true;
}

template <typename T>
bool Get(const toml::table& table, const char* key, T* out, std::string* error) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return true;
    std::optional<T> v = node->value<T>();
    if (!v) {
        *error = std::string("'") + key + "' has the wrong type (" + Where(*node) + ")";
        return false;
    }
    *out = *v;
    return true;
}

bool ReadLine(const toml::table& t, LineSetting* line, std::string* error) {
    if (!CheckKeys(t,
                   {"com", "device", "send", "receive", "international", "retries",
                    "service_centre", "status_reports"},
                   "[[line]]", error))
        return false;
    int64_t com = 0, retries = line->retries;
    if (!Get(t, "com", &com, error) || !Get(t, "device", &line->device, error) ||
        !Get(t, "send", &line->send, error) || !Get(t, "receive", &line->receive, error) ||
        !Get(t, "international", &line->international, error) ||
        !Get(t, "retries", &retries, error) ||
        !Get(t, "service_centre", &line->serviceCentre, error) ||
        !Get(t, "status_reports", &line->statusReports, error))
        return false;
    if (retries < 0 || retries > 100) {
        *error = "[[line]] retries must be 0 to 100";
        return false;
    }
    line->com = static_cast<int>(com);
    line->retries = static_cast<unsigned>(retries);
    return true;
}

bool ReadFile(const std::string& path, ServeConfig* c, std::string* error) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        std::ostringstream s;
        s << path << ": " << e.description() << " (line " << e.source().begin.line << ")";
        *error = s.str();
        return false;
    }
    if (!CheckKeys(
            root, {"listen", "db", "token", "delivery", "log_dir", "line_retry", "webhook", "line"},
            path, error))
        return false;
    std::string delivery;
    if (!Get(root, "listen", &c->listen, error) || !Get(root, "db", &c->db, error) ||
        !Get(root, "token", &c->token, error) || !Get(root, "delivery", &delivery, error) ||
        !Get(root, "log_dir", &c->logDir, error))
        return false;
    if (const toml::node* r = root.get("line_retry")) {
        std::optional<double> v = r->value<double>();
        if (!v) {
            *error = "'line_retry' takes seconds (" + Where(*r) + ")";
            return false;
        }
        c->lineRetry = *v;
    }
    if (delivery == "at-least-once") {
        c->delivery = Delivery::AtLeastOnce;
    } else if (!delivery.empty() && delivery != "at-most-once") {
        *error = "delivery must be \"at-most-once\" or \"at-least-once\", not \"" + delivery + "\"";
        return false;
    }
    if (const toml::node* w = root.get("webhook")) {
        const toml::table* wt = w->as_table();
        if (wt == nullptr) {
            *error = "webhook must be a table with url and attempts (" + Where(*w) + ")";
            return false;
        }
        int64_t attempts = c->webhookAttempts;
        if (!CheckKeys(*wt, {"url", "attempts"}, "[webhook]", error) ||
            !Get(*wt, "url", &c->webhookUrl, error) || !Get(*wt, "attempts", &attempts, error))
            return false;
        if (attempts < 1 || attempts > 100) {
            *error = "[webhook] attempts must be 1 to 100";
            return false;
        }
        c->webhookAttempts = static_cast<unsigned>(attempts);
    }
    if (const toml::node* l = root.get("line")) {
        const toml::array* lines = l->as_array();
        if (lines == nullptr) {
            *error = "line must be an array of tables: [[line]] (" + Where(*l) + ")";
            return false;
        }
        for (const toml::node& n : *lines) {
            const toml::table* t = n.as_table();
            if (t == nullptr) {
                *error = "each [[line]] must be a table (" + Where(n) + ")";
                return false;
            }
            LineSetting line;
            if (!ReadLine(*t, &line, error)) {
                *error += " (" + Where(n) + ")";
                return false;
            }
            c->lines.push_back(line);
        }
    }
    return true;
}

bool Check(const ServeConfig& c, std::string* error) {
    std::set<int> coms;
    for (const auto& l : c.lines) {
        if (l.com < 1 || l.com > 1999) {
            *error = "COM" + std::to_string(l.com) + ": a COM number is 1 to 1999";
            return false;
        }
        if (l.device.empty()) {
            *error = "COM" + std::to_string(l.com) + " has no device";
            return false;
        }
        if (!coms.insert(l.com).second) {
            *error = "COM" + std::to_string(l.com) + " is given twice";
            return false;
        }
        std::string normal;
        if (!l.serviceCentre.empty() && !qvhost::NormaliseNumber(l.serviceCentre, &normal)) {
            *error =
                "COM" + std::to_string(l.com) + ": bad service centre '" + l.serviceCentre + "'";
            return false;
        }
    }
    if (c.lines.empty() && c.simulate <= 0) {
        *error = "no lines: give [[line]] in the file, --line COM=DEVICE or --simulate N";
        return false;
    }
    if (c.simulate < 0 || c.simulate > 64) {
        *error = "--simulate takes 1 to 64 modems";
        return false;
    }
    std::string host;
    int port = 0;
    if (!SplitListen(c.listen, &host, &port)) {
        *error = "listen must be ADDR:PORT, e.g. 127.0.0.1:8080, not '" + c.listen + "'";
        return false;
    }
    if (!IsLoopback(host) && c.token.empty()) {
        *error = "a token is required when listening on " + host + " (not a loopback address)";
        return false;
    }
    if (!(c.lineRetry >= 0.1 && c.lineRetry <= 86400)) {
        *error = "line_retry takes 0.1 to 86400 seconds";
        return false;
    }
    if (c.db.empty()) {
        *error = "db must name a file";
        return false;
    }
    if (!c.webhookUrl.empty() && c.webhookUrl.rfind("http://", 0) != 0) {
        *error = "webhook url must start with http://";
        return false;
    }
    return true;
}

}  // namespace

bool ParseLineFlag(const std::string& text, LineSetting* out, std::string* error) {
    std::vector<std::string> items;
    std::stringstream s(text);
    for (std::string item; std::getline(s, item, ',');) items.push_back(item);
    if (items.empty()) {
        *error = "empty --line";
        return false;
    }
    qvhost::LineSpec spec;
    if (!qvhost::ParseLineSpec(items[0], &spec, error)) return false;
    LineSetting line;
    line.com = spec.com;
    line.device = spec.device;
    for (size_t i = 1; i < items.size(); ++i) {
        const std::string& f = items[i];
        if (f == "send" || f == "nosend") {
            line.send = f == "send";
        } else if (f == "receive" || f == "noreceive") {
            line.receive = f == "receive";
        } else if (f == "intl" || f == "nointl") {
            line.international = f == "intl";
        } else if (f == "reports" || f == "noreports") {
            line.statusReports = f == "reports";
        } else if (f.rfind("retries=", 0) == 0) {
            if (!ParseUnsigned(f.substr(8), 100, &line.retries)) {
                *error = "--line " + text + ": retries takes 0 to 100";
                return false;
            }
        } else if (f.rfind("smsc=", 0) == 0) {
            line.serviceCentre = f.substr(5);
        } else {
            *error = "--line " + text + ": unknown flag '" + f +
                     "' (send, nosend, receive, noreceive, intl, nointl, reports, retries=N, "
                     "smsc=NUMBER)";
            return false;
        }
    }
    *out = line;
    return true;
}

bool LoadConfig(const ServeFlags& flags, ServeConfig* out, std::string* error) {
    ServeConfig c;
    if (!flags.configFile.empty() && !ReadFile(flags.configFile, &c, error)) return false;
    for (const auto& text : flags.lines) {
        LineSetting line;
        if (!ParseLineFlag(text, &line, error)) return false;
        bool replaced = false;
        for (auto& l : c.lines) {
            if (l.com == line.com) {
                l = line;
                replaced = true;
            }
        }
        if (!replaced) c.lines.push_back(line);
    }
    if (flags.listen) c.listen = *flags.listen;
    if (flags.db) c.db = *flags.db;
    if (flags.token) c.token = *flags.token;
    if (flags.webhook) c.webhookUrl = *flags.webhook;
    if (flags.atLeastOnce) c.delivery = Delivery::AtLeastOnce;
    if (flags.lineRetry) c.lineRetry = *flags.lineRetry;
    if (flags.simulate != 0) {
        c.simulate = flags.simulate;
        c.lines.clear();
    }
    if (!Check(c, error)) return false;
    *out = c;
    return true;
}

bool SplitListen(const std::string& listen, std::string* host, int* port) {
    size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string h = listen.substr(0, colon);
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    unsigned p = 0;
    if (!ParseUnsigned(listen.substr(colon + 1), 65535, &p)) return false;
    *host = h;
    *port = static_cast<int>(p);
    return true;
}

bool IsLoopback(const std::string& host) {
    if (host == "localhost") return true;
    in_addr a4{};
    if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6{};
    if (inet_pton(AF_INET6, host.c_str(), &a6) == 1) return IN6_IS_ADDR_LOOPBACK(&a6);
    return false;
}

}  // namespace qvserve
