#include "tools/sim/StoredFile.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tools/sim/SimPdu.h"

namespace qvsim {
namespace {

bool ParseJson(const std::string& text, std::vector<StoredEntry>* out, std::string* error) {
    nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_array()) {
        *error = "not a JSON array of messages";
        return false;
    }
    for (const auto& item : doc) {
        if (!item.is_object()) {
            *error = "every message must be an object";
            return false;
        }
        StoredEntry s;
        try {
            s.com = item.value("com", -1);
            s.pdu = item.value("pdu", std::string());
            s.message.sender = item.value("sender", std::string());
            s.message.text = FromUtf8(item.value("text", std::string()));
            s.message.stat = item.value("stat", 0);
            std::string coding = item.value("coding", std::string("auto"));
            if (coding == "ucs2") s.message.coding = Incoming::Coding::Ucs2;
            if (coding == "gsm7") s.message.coding = Incoming::Coding::Gsm7;
            if (item.contains("order")) s.message.order = item["order"].get<std::vector<int>>();
        } catch (const nlohmann::json::exception& e) {
            *error = e.what();
            return false;
        }
        if (s.pdu.empty() && s.message.sender.empty()) {
            *error = "a message needs a sender or a pdu";
            return false;
        }
        out->push_back(s);
    }
    return true;
}

}  // namespace

bool ParseStoredText(const std::string& text, std::vector<StoredEntry>* out, std::string* error) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && text[first] == '[') return ParseJson(text, out, error);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        size_t space = line.find_first_of(" \t", start);
        StoredEntry s;
        s.message.sender = line.substr(start, space - start);
        if (space != std::string::npos) {
            size_t textStart = line.find_first_not_of(" \t", space);
            if (textStart != std::string::npos) s.message.text = FromUtf8(line.substr(textStart));
        }
        out->push_back(s);
    }
    return true;
}

bool LoadStoredFile(const std::string& path, std::vector<StoredEntry>* out, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    return ParseStoredText(ss.str(), out, error);
}

}  // namespace qvsim
