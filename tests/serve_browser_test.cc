// The gateway's status page in a real browser: headless Chromium, driven
// through chromedriver's WebDriver API, loads the page from a daemon on
// simulated modems, sends a message with the form and sees it sent. The
// screenshot stays in the build folder (test-artifacts/).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/serve/ServeDaemon.h"

namespace {

using json = nlohmann::json;
using ms = std::chrono::milliseconds;

constexpr const char* kChromedriver = "/usr/bin/chromedriver";
constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kElement = "element-6066-11e4-a52e-4f735466cecf";

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

std::string Base64Decode(const std::string& in) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    int bits = 0, acc = 0;
    for (char c : in) {
        int v = value(c);
        if (v < 0) continue;
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

// One WebDriver session on a chromedriver of its own.
class Browser {
  public:
    bool Start(std::string* why) {
        int port = FreePort();
        if (!m_driver.Start({kChromedriver, "--port=" + std::to_string(port)})) {
            *why = "chromedriver did not start";
            return false;
        }
        std::string line;
        while (m_driver.ReadLine(&line, ms(30000))) {
            if (line.find("started successfully") != std::string::npos) break;
        }
        m_client = std::make_unique<httplib::Client>("127.0.0.1", port);
        m_client->set_read_timeout(60, 0);
        json caps{{"capabilities",
                   {{"alwaysMatch",
                     {{"browserName", "chrome"},
                      {"goog:chromeOptions",
                       {{"binary", kChromium},
                        {"args",
                         {"--headless=new", "--no-sandbox", "--disable-gpu",
                          "--disable-dev-shm-usage", "--window-size=1280,1100"}}}}}}}}};
        json r = Call("POST", "/session", caps);
        if (!r["value"].contains("sessionId")) {
            *why = "no WebDriver session: " + r.dump() + m_driver.Errors();
            return false;
        }
        m_session = "/session/" + r["value"]["sessionId"].get<std::string>();
        return true;
    }
    ~Browser() {
        if (!m_session.empty()) Call("DELETE", m_session, nullptr);
    }

    json Call(const std::string& method, const std::string& path, const json& body) {
        httplib::Result r = method == "GET" ? m_client->Get(path)
                            : method == "DELETE"
                                ? m_client->Delete(path)
                                : m_client->Post(path, body.dump(), "application/json");
        if (!r) return json{{"value", {{"error", "no answer"}}}};
        return json::parse(r->body, nullptr, false);
    }
    json Session(const std::string& method, const std::string& path, const json& body = {}) {
        return Call(method, m_session + path, body.is_null() ? json::object() : body);
    }
    std::string Find(const std::string& css) {
        json r = Session("POST", "/element", {{"using", "css selector"}, {"value", css}});
        return r["value"].value(kElement, "");
    }
    json Script(const std::string& script) {
        return Session("POST", "/execute/sync",
                       {{"script", script}, {"args", json::array()}})["value"];
    }

  private:
    qvtest::ChildProcess m_driver;
    std::unique_ptr<httplib::Client> m_client;
    std::string m_session;
};

TEST(ServeBrowser, TheStatusPageSendsAMessageAndShowsItSent) {
    if (access(kChromedriver, X_OK) != 0 || access(kChromium, X_OK) != 0) {
        GTEST_SKIP() << "chromium and chromium-driver are not installed "
                        "(bash scripts/install-deps.sh browser)";
    }
    qvtest::WorkDir dir;
    qvtest::ServeDaemon daemon(dir, "");
    ASSERT_TRUE(daemon.Start({"--simulate", "2"})) << daemon.Errors();
    ASSERT_TRUE(daemon.WaitLinesUp(2)) << daemon.Errors();

    Browser browser;
    std::string why;
    ASSERT_TRUE(browser.Start(&why)) << why;
    browser.Session("POST", "/url",
                    {{"url", "http://127.0.0.1:" + std::to_string(daemon.Port()) + "/"}});
    // The lines table fills from the API.
    ASSERT_TRUE(qvtest::Poll(
        [&] {
            return browser.Script("return document.querySelectorAll('#lines td.up').length;") == 2;
        },
        ms(30000)));

    const std::string to = browser.Find("#to"), text = browser.Find("#text");
    ASSERT_FALSE(to.empty());
    ASSERT_FALSE(text.empty());
    browser.Session("POST", "/element/" + to + "/value", {{"text", "+15551239876"}});
    browser.Session("POST", "/element/" + text + "/value", {{"text", "Sent from the status page"}});
    browser.Session("POST", "/element/" + browser.Find("#submit") + "/click");

    json id;
    ASSERT_TRUE(qvtest::Poll(
        [&] {
            id = browser.Script("return document.getElementById('status').dataset.id || null;");
            return id.is_string();
        },
        ms(30000)))
        << browser.Script("return document.getElementById('status').textContent;");
    const std::string row = "#outbox tr[data-id=\"" + id.get<std::string>() + "\"]";
    json state;
    ASSERT_TRUE(qvtest::Poll(
        [&] {
            state = browser.Script("const c = document.querySelector('" + row +
                                   " td.state'); return c ? c.textContent : null;");
            return state == "sent";
        },
        ms(30000)))
        << state.dump();
    EXPECT_EQ(browser.Script("return document.querySelector('" + row + " td.text').textContent;"),
              "Sent from the status page");
    // The API agrees with the page.
    auto message = daemon.Get("/v1/messages/" + id.get<std::string>());
    EXPECT_EQ(message.body["state"], "sent") << message.text;
    EXPECT_EQ(message.body["to"], "+15551239876");

    // A message arriving shows in the other table.
    ASSERT_EQ(daemon
                  .Post("/v1/simulate/incoming",
                        {{"from", "+15557654321"}, {"text", "A reply"}, {"line", 2}})
                  .status,
              202);
    ASSERT_TRUE(qvtest::Poll(
        [&] {
            return browser.Script("return document.querySelectorAll('#inbox tbody tr').length;") ==
                   1;
        },
        ms(30000)));

    const std::string png = Base64Decode(browser.Session("GET", "/screenshot")["value"]);
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    const std::string folder = std::string(QVGSM_BINARY_DIR) + "/test-artifacts";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/serve_status_page.png", std::ios::binary) << png;
    EXPECT_EQ(daemon.Stop(), 0) << daemon.Errors();
}

}  // namespace
