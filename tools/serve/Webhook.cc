#include "tools/serve/Webhook.h"

#include <httplib.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tools/serve/Log.h"

namespace qvserve {

Webhook::Webhook(std::string url, unsigned attempts, Store& store)
    : m_attempts(attempts), m_store(store) {
    size_t scheme = url.find("://");
    size_t slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    m_base = url.substr(0, slash);
    m_path = slash == std::string::npos ? "/" : url.substr(slash);
}

Webhook::~Webhook() {
    Stop();
}

void Webhook::Start() {
    m_thread = std::thread([this] { Run(); });
}

void Webhook::Notify() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending = true;
    m_wake.notify_all();
}

void Webhook::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
}

bool Webhook::Post(const InboxMessage& m, std::string* why) {
    httplib::Client client(m_base);
    client.set_connection_timeout(5);
    client.set_read_timeout(10);
    nlohmann::json body{{"id", m.id},       {"from", m.from},
                        {"text", m.text},   {"line", m.line},
                        {"parts", m.parts}, {"received_at", IsoTime(m.receivedAt)}};
    auto res = client.Post(m_path, body.dump(), "application/json");
    if (!res) {
        *why = httplib::to_string(res.error());
        return false;
    }
    if (res->status / 100 != 2) {
        *why = "status " + std::to_string(res->status);
        return false;
    }
    return true;
}

void Webhook::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        m_pending = false;
        lock.unlock();
        bool retrying = false;
        try {
            for (const auto& m : m_store.DueWebhooks(NowMs(), 50)) {
                std::string why;
                const int attempts = m.webhookAttempts + 1;
                if (Post(m, &why)) {
                    m_store.WebhookResult(m.id, true, attempts, 0, false);
                    continue;
                }
                const bool givenUp = attempts >= static_cast<int>(m_attempts);
                const int64_t backoff =
                    std::min<int64_t>(60000, int64_t{1000} << std::min(attempts - 1, 6));
                m_store.WebhookResult(m.id, false, attempts, NowMs() + backoff, givenUp);
                Log("webhook: inbox " + std::to_string(m.id) + " attempt " +
                    std::to_string(attempts) + " failed (" + why + ")" +
                    (givenUp ? "; given up" : "; will try again"));
                retrying = retrying || !givenUp;
            }
            retrying = retrying || !m_store.DueWebhooks(NowMs() + 60000, 1).empty();
        } catch (const std::exception& e) {
            Log(std::string("webhook: ") + e.what());
        }
        lock.lock();
        // A retry is due within a minute: look again each second.
        if (!m_pending && !m_stop)
            m_wake.wait_for(lock, retrying ? std::chrono::seconds(1) : std::chrono::seconds(60));
    }
}

}  // namespace qvserve
