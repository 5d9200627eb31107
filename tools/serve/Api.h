// The gateway's HTTP face: the JSON API under /v1, /healthz, /metrics and
// the status page at /. Requests under /v1 and /metrics need the bearer
// token when one is configured.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "tools/serve/Config.h"
#include "tools/serve/Gateway.h"
#include "tools/serve/Store.h"

namespace httplib {
class Server;
}

namespace qvserve {

class Api {
  public:
    Api(const ServeConfig& config, Store& store, Gateway& gateway);
    ~Api();
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    // Binds the listen address (port 0: any free one) and serves on a
    // thread of its own; the port, or -1 with *error.
    int Start(std::string* error);
    void Stop();

  private:
    void Routes();

    const ServeConfig& m_config;
    Store& m_store;
    Gateway& m_gateway;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
};

// The status page (tools/serve/status.html).
extern const char* const kStatusPage;

}  // namespace qvserve
