// `qvgsm sim` for a person: devices and links printed, messages pre-stored
// from a file, commands on standard input, received messages printed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/SerialClient.h"
#include "tools/sim/StoredFile.h"

namespace {

using std::chrono::milliseconds;

// The tool as a child process with a pipe to its input and from its output.
class Tool {
  public:
    bool Start(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return false;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            close(in[1]);
            close(out[0]);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
        return m_pid > 0;
    }
    ~Tool() {
        if (m_in >= 0) close(m_in);
        if (m_out >= 0) close(m_out);
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    void Say(const std::string& line) {
        std::string l = line + "\n";
        ASSERT_EQ(write(m_in, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    bool WaitFor(const std::string& text, milliseconds timeout = milliseconds(5000)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            ssize_t n = read(m_out, buf, sizeof buf);
            if (n <= 0) return false;
            output.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    int Wait() {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output;

  private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
};

TEST(SimStoredFile, ReadsJsonAndPlainLines) {
    std::vector<qvsim::StoredEntry> parsed;
    std::string error;
    ASSERT_TRUE(qvsim::ParseStoredText(
        R"([{"com": 3, "sender": "+491", "text": "hi", "coding": "ucs2", "order": [2, 1]},
            {"pdu": "0004", "stat": 1}])",
        &parsed, &error))
        << error;
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].com, 3);
    EXPECT_EQ(parsed[0].message.sender, "+491");
    EXPECT_EQ(parsed[0].message.text, u"hi");
    EXPECT_EQ(parsed[0].message.coding, qvsim::Incoming::Coding::Ucs2);
    EXPECT_EQ(parsed[0].message.order, (std::vector<int>{2, 1}));
    EXPECT_EQ(parsed[1].pdu, "0004");
    EXPECT_EQ(parsed[1].message.stat, 1);
    parsed.clear();
    ASSERT_TRUE(
        qvsim::ParseStoredText("# comment\n+4915 hello  there\r\n\nBank\n", &parsed, &error));
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].message.sender, "+4915");
    EXPECT_EQ(parsed[0].message.text, u"hello  there");
    EXPECT_EQ(parsed[1].message.text, u"");
    EXPECT_FALSE(qvsim::ParseStoredText("[1, 2]", &parsed, &error));
    EXPECT_FALSE(qvsim::ParseStoredText("[{\"text\": \"no sender\"}]", &parsed, &error));
}

TEST(SimCli, RunsModemsForAPerson) {
    char tmpl[] = "/tmp/qvsim-cli-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::ofstream(dir + "/stored.txt") << "+4915100000001 waiting on the SIM\n";
    Tool tool;
    ASSERT_TRUE(tool.Start({QVGSM_QVGSM_EXE, "sim", "--count", "2", "--dir", dir, "--stored",
                            dir + "/stored.txt", "--first-com", "5"}));
    if (!tool.WaitFor("ready")) {
        if (tool.output.find("no pseudo-terminal") != std::string::npos) {
            GTEST_SKIP() << "no pseudo-terminal available";
        }
        FAIL() << tool.output;
    }
    EXPECT_NE(tool.output.find(dir + "/com5"), std::string::npos) << tool.output;
    EXPECT_NE(tool.output.find(dir + "/com6"), std::string::npos) << tool.output;

    qvtest::SerialClient client;
    ASSERT_TRUE(client.Open(dir + "/com6"));
    ASSERT_EQ(client.Command("ATE0"), "ATE0\r\r\nOK\r\n");
    EXPECT_NE(client.Command("AT+CMGL=4").find("+CMGL: 1,0,,"), std::string::npos);

    ASSERT_EQ(client.Command("AT+CNMI=2,1,0,0,1"), "\r\nOK\r\n");
    tool.Say("inject 6 +4915100000002 hello there");
    EXPECT_TRUE(client.ReadUntil("\r\n+CMTI: \"SM\",2\r\n"));
    client.Take();
    EXPECT_TRUE(tool.WaitFor("stored at 2"));

    EXPECT_EQ(client.Command("AT+CMGS=15"), "\r\n> ");
    EXPECT_EQ(client.Command("0001000A81103254769800000361F118\x1A"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    EXPECT_TRUE(tool.WaitFor("COM6 SUBMIT to 0123456789 ref 0: abc")) << tool.output;

    tool.Say("fault 6 AT+CSQ cms=500");
    std::string answer;
    for (int i = 0; i < 50 && answer != "\r\n+CMS ERROR: 500\r\n"; ++i) {
        answer = client.Command("AT+CSQ");  // the fault lands once the tool has read it
    }
    EXPECT_EQ(answer, "\r\n+CMS ERROR: 500\r\n");
    tool.Say("fault 6 AT nonsense");
    EXPECT_TRUE(tool.WaitFor("error: unknown action"));
    tool.Say("quit");
    EXPECT_EQ(tool.Wait(), 0) << tool.output;
    EXPECT_FALSE(std::filesystem::exists(dir + "/com5"));
    client.Close();
    std::filesystem::remove_all(dir);
}

}  // namespace
