// The gateway's settings: a TOML file, then command-line flags on top. A
// flag's --line replaces the file's line with the same COM number.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qvserve {

struct LineSetting {
    int com = 0;
    std::string device;
    bool send = true;
    bool receive = true;
    bool international = true;
    unsigned retries = 3;       // attempts in all
    std::string serviceCentre;  // empty: the SIM's own
    bool statusReports = false;
};

// What a restart does with a message the driver had taken but not finished.
enum class Delivery { AtMostOnce, AtLeastOnce };

struct ServeConfig {
    std::vector<LineSetting> lines;
    std::string listen = "127.0.0.1:8080";
    std::string db = "qvgsm.db";
    std::string token;
    Delivery delivery = Delivery::AtMostOnce;
    std::string logDir;      // the modems' GSM_COM<n>.log; empty: QVGSM_LOGDIR or here
    std::string webhookUrl;  // empty: none
    unsigned webhookAttempts = 8;
    int simulate = 0;       // simulated modems instead of lines
    double lineRetry = 60;  // seconds before a failed line is initialised again
};

// Command-line values; unset ones leave the file's value.
struct ServeFlags {
    std::string configFile;
    std::vector<std::string> lines;  // COM=DEVICE[,flag...]
    std::optional<std::string> listen;
    std::optional<std::string> db;
    std::optional<std::string> token;
    std::optional<std::string> webhook;
    bool atLeastOnce = false;
    int simulate = 0;
    std::optional<double> lineRetry;
};

// "1=/dev/ttyUSB0,nosend,reports,retries=5,smsc=+4479..." -> a line.
// Flags: send/nosend, receive/noreceive, intl/nointl, reports/noreports,
// retries=N, smsc=NUMBER.
bool ParseLineFlag(const std::string& text, LineSetting* out, std::string* error);

// Reads the file (when named), applies the flags and checks the result;
// false with *error naming the first problem.
bool LoadConfig(const ServeFlags& flags, ServeConfig* out, std::string* error);

// "ADDR:PORT" split; false when malformed.
bool SplitListen(const std::string& listen, std::string* host, int* port);
bool IsLoopback(const std::string& host);

}  // namespace qvserve
