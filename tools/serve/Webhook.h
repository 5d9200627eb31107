// Hands each received message to a configured URL with an HTTP POST of its
// JSON, from a thread of its own. The attempts are kept in the store, so a
// restart goes on where the last run stopped; a failed call is tried again
// after 1, 2, 4 ... (at most 60) seconds, up to the configured attempts.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "tools/serve/Store.h"

namespace qvserve {

class Webhook {
  public:
    Webhook(std::string url, unsigned attempts, Store& store);
    ~Webhook();
    Webhook(const Webhook&) = delete;
    Webhook& operator=(const Webhook&) = delete;

    void Start();
    void Notify();  // a message was received
    void Stop();

  private:
    void Run();
    bool Post(const InboxMessage& m, std::string* why);

    std::string m_base;  // scheme://host[:port]
    std::string m_path;
    unsigned m_attempts;
    Store& m_store;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_pending = true;
    std::thread m_thread;
};

}  // namespace qvserve
