// The driver at scale, through its six exports against simulated modems:
//   scale_bench bringup <lines>          one line, then <lines> side by side
//   scale_bench send <lines> <jobs>      one-part messages through <lines>
//   scale_bench recv <lines> <msgs> <single|concat>
//   scale_bench rtt <jobs>               the driver's turnaround on one line
// Every mode prints rows "figure<TAB>value<TAB>unit<TAB>target" for
// scripts/bench.sh. CPU figures are the process's minus the simulator's own
// thread, so they hold the driver, its log writer and the tiny host.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvGSMcomdrv.h"
#include "tools/sim/Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

double NowMs() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Context switches of the thread or process: how often it slept and was
// woken, or was preempted.
long SwitchesOf(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

long ResidentKiB() {
    long pages = 0;
    long resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A run with fewer log lines, or with its line logs elsewhere, says so in
// every figure.
std::string LevelSuffix() {
    const char* level = std::getenv("QVGSM_LOGLEVEL");
    const char* logs = std::getenv("QVGSM_BENCH_LOGDIR");
    return (level ? std::string(" (log level ") + level + ")" : "") +
           (logs ? std::string(" (line logs in ") + logs + ")" : "");
}

// Where the run's scratch files go (the modems' links, the line logs):
// QVGSM_BENCH_TMPDIR, else a tmpfs when there is one. Creating a file on an
// ext4 without a journal (this project's machines) skips every inode freed in
// the last minutes, one block lookup each, and each run frees thousands: the
// 1999th log file of a run cost 0.6 ms of kernel time there.
std::string ScratchBase() {
    if (const char* base = std::getenv("QVGSM_BENCH_TMPDIR")) return base;
    return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

void Row(const std::string& figure, double value, const char* unit, const char* target = "") {
    printf("%s%s\t%.6g\t%s\t%s\n", figure.c_str(), LevelSuffix().c_str(), value, unit, target);
    fflush(stdout);
}

// One target of the summary: the figure, its baseline measured in the same
// run (0: none), and the number the target judges (a ratio, or the figure).
// A run with its line logs moved gives side figures only.
void Target(const std::string& what, double value, double baseline, double judged,
            const char* target) {
    if (std::getenv("QVGSM_BENCH_LOGDIR")) return;
    printf("@target\t%s%s\t%.6g\t%.6g\t%.6g\t%s\n", what.c_str(), LevelSuffix().c_str(), value,
           baseline, judged, target);
    fflush(stdout);
}

// Temporary folders of this run: removed on every way out.
std::vector<std::string> g_tempDirs;

[[noreturn]] void Leave(int code) {
    fflush(stdout);
    for (const std::string& dir : g_tempDirs) {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
    _exit(code);
}

// What the host hears, counted per event kind and line.
struct Tally {
    std::mutex mutex;
    std::condition_variable changed;
    int linesUp = 0;
    int linesFailed = 0;
    int sent = 0;
    int sentFailed = 0;
    int received = 0;
    std::map<int, int> receivedOn;  // COM -> messages
    // What the waiting thread waits for: it is woken only then, so that the
    // host costs the driver's figures no context switch per event.
    std::function<bool(Tally&)> wakeWhen;
};
Tally g_tally;

void QVCALL OnHost(int code, int comPort, int kind, void*, void*, int) {
    std::lock_guard<std::mutex> guard(g_tally.mutex);
    if (kind == HOST_LINE_STATUS) (code == QV_OK ? g_tally.linesUp : g_tally.linesFailed)++;
    if (kind == HOST_SMS_SENT) (code == QV_OK ? g_tally.sent : g_tally.sentFailed)++;
    if (kind == HOST_SMS_RECEIVED) {
        g_tally.received++;
        g_tally.receivedOn[comPort]++;
    }
    if (g_tally.wakeWhen && g_tally.wakeWhen(g_tally)) g_tally.changed.notify_all();
}

bool WaitTally(std::function<bool(Tally&)> pred, double seconds) {
    std::unique_lock<std::mutex> lock(g_tally.mutex);
    g_tally.wakeWhen = pred;
    bool met = g_tally.changed.wait_for(lock, std::chrono::duration<double>(seconds),
                                        [&] { return pred(g_tally); });
    g_tally.wakeWhen = nullptr;
    return met;
}

// The simulator, with its thread's CPU time and the arrival time of every
// command line, both taken on its I/O thread by the observer.
class Bench {
  public:
    Bench() {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        const std::string base = ScratchBase();
        m_comDir = TempDir((base + "/qvgsm-scale-com-XXXXXX").c_str());
        // QVGSM_BENCH_LOGDIR: another file system for the line logs.
        const char* logBase = std::getenv("QVGSM_BENCH_LOGDIR");
        m_logDir = TempDir(((logBase ? logBase : base) + "/qvgsm-scale-log-XXXXXX").c_str());
        setenv("QVGSM_COMDIR", m_comDir.c_str(), 1);
        setenv("QVGSM_LOGDIR", m_logDir.c_str(), 1);
        sim.SetObserver([this](const qvsim::SimEvent& event) {
            m_simCpuNs.store(static_cast<long long>(ThreadCpuSeconds() * 1e9));
            if (m_recordArrivals) m_simSwitches.store(SwitchesOf(RUSAGE_THREAD));
            if (!m_recordArrivals || event.kind != qvsim::SimEvent::Kind::Command) return;
            std::lock_guard<std::mutex> guard(m_arrivalMutex);
            m_arrivals.push_back({event.modem, NowMs()});
            if (event.modem == m_scriptModem) m_script.push_back(event.text);
        });
    }

    // Adds `count` modems linked as COM first.. ; false when no pty is left.
    bool AddModems(int first, int count) {
        for (int i = 0; i < count; ++i) {
            int modem = sim.Add();
            if (modem < 0 || !sim.Link(modem, m_comDir, first + i)) return false;
        }
        return true;
    }

    // Registers COM first.. and waits until each has reported; seconds taken.
    double BringUp(int first, int count) {
        int before = 0;
        {
            std::lock_guard<std::mutex> guard(g_tally.mutex);
            before = g_tally.linesUp + g_tally.linesFailed;
        }
        double start = NowMs();
        for (int i = 0; i < count; ++i) {
            GSMLineConfig config{};
            config.ComPortNumber = first + i;
            config.BaudRate = 115200;
            config.LineCallback = OnHost;
            config.SendRetryCount = 1;
            config.CanRecv = 1;
            config.CanSend = 1;
            config.SupportsInternationalNumbers = 1;
            int rc = gsmdrvaddGSMline(&config);
            if (rc != QV_OK && rc != QV_PENDING) {
                fprintf(stderr, "gsmdrvaddGSMline(COM%d) = %d\n", first + i, rc);
                Leave(2);
            }
        }
        if (!WaitTally([&](Tally& t) { return t.linesUp + t.linesFailed >= before + count; },
                       600)) {
            fprintf(stderr, "lines did not come up in time\n");
            Leave(2);
        }
        return (NowMs() - start) / 1000;
    }

    double SimCpuSeconds() const { return static_cast<double>(m_simCpuNs.load()) / 1e9; }
    // The process's context switches without the simulator thread's
    // (recorded while RecordArrivals is on).
    long DriverSwitches() const { return SwitchesOf(RUSAGE_SELF) - m_simSwitches.load(); }
    // Process CPU without the simulator's thread.
    double DriverCpuSeconds() const { return ProcessCpuSeconds() - SimCpuSeconds(); }

    void RecordArrivals(bool on) { m_recordArrivals = on; }
    std::vector<std::pair<int, double>> Arrivals() {
        std::lock_guard<std::mutex> guard(m_arrivalMutex);
        return m_arrivals;
    }
    // The command lines one modem received while arrivals were recorded.
    void RecordScriptOf(int modem) { m_scriptModem = modem; }
    std::vector<std::string> Script() {
        std::lock_guard<std::mutex> guard(m_arrivalMutex);
        return m_script;
    }

  private:
    static std::string TempDir(const char* pattern) {
        std::string path = pattern;
        const char* made = mkdtemp(path.data());
        if (made == nullptr) Leave(2);
        g_tempDirs.push_back(made);
        return made;
    }

    std::string m_comDir;
    std::string m_logDir;
    std::atomic<long long> m_simCpuNs{0};
    std::atomic<long> m_simSwitches{0};
    std::atomic<bool> m_recordArrivals{false};
    std::mutex m_arrivalMutex;
    std::vector<std::pair<int, double>> m_arrivals;  // modem, ms
    std::atomic<int> m_scriptModem{-1};
    std::vector<std::string> m_script;

  public:
    // Last, so that its thread (and the observer) stops before the rest goes.
    qvsim::Simulator sim;
};

double BareBringUpSeconds(Bench& bench, int first, int count,
                          const std::vector<std::string>& script);

int Bringup(int lines) {
    Bench bench;
    // Beyond the driver's modems, the bare client's.
    const int bareLines = std::min(lines, 200);
    if (!bench.AddModems(1, 1 + lines + bareLines)) {
        fprintf(stderr, "no pseudo-terminal for %d modems\n", 1 + lines + bareLines);
        return 2;
    }
    if (gsmdrvInit() != QV_OK) return 2;
    double one = bench.BringUp(1, 1);
    // A fresh driver for the batch, so that it may take all 1999 places.
    gsmdrvShutdown();
    if (gsmdrvInit() != QV_OK) return 2;
    long rssBefore = ResidentKiB();
    double cpuBefore = bench.DriverCpuSeconds();
    double simBefore = bench.SimCpuSeconds();
    bench.RecordArrivals(true);
    bench.RecordScriptOf(1);
    long switchesBefore = bench.DriverSwitches();
    double all = bench.BringUp(2, lines);
    double cpu = bench.DriverCpuSeconds() - cpuBefore;
    double simCpu = bench.SimCpuSeconds() - simBefore;
    long switches = bench.DriverSwitches() - switchesBefore;
    bench.RecordArrivals(false);
    const size_t commands = bench.Arrivals().size();
    long rssAfter = ResidentKiB();
    int failed = g_tally.linesFailed;
    const std::string n = std::to_string(lines);
    Row("bringup 1 line wall", one * 1000, "ms");
    Row("bringup " + n + " lines wall", all * 1000, "ms");
    Row("bringup " + n + " lines / 1 line", all / one, "x");
    Row("bringup " + n + " lines CPU per line", cpu * 1000 / lines, "ms",
        lines == 1999 ? "<= 0.5" : "");
    Row("bringup " + n + " lines RSS per line", static_cast<double>(rssAfter - rssBefore) / lines,
        "KiB", "<= 84");
    Row("bringup " + n + " lines failed", failed, "lines", "0");
    const double bareMs =
        BareBringUpSeconds(bench, 1 + lines, bareLines, bench.Script()) * 1000 / bareLines;
    Row("bringup bare client CPU per line (" + std::to_string(bareLines) + " lines)", bareMs, "ms");
    if (bareMs > 0)
        Row("bringup " + n + " lines driver / bare client CPU", cpu * 1000 / lines / bareMs, "x");
    if (lines == 1999) {
        Target("bring-up at 1999 lines, driver CPU per line (ms)", cpu * 1000 / lines, bareMs,
               cpu * 1000 / lines, "<= 0.5");
        const double kib = static_cast<double>(rssAfter - rssBefore) / lines;
        Target("bring-up at 1999 lines, memory per line (KiB)", kib, 0, kib, "<= 84");
    }
    Row("bringup " + n + " lines simulator CPU per line", simCpu * 1000 / lines, "ms");
    Row("bringup " + n + " lines commands per line", static_cast<double>(commands) / lines, "");
    Row("bringup " + n + " lines driver context switches per line",
        static_cast<double>(switches) / lines, "");
    // Shutdown takes its lines down one after another, each waiting for its
    // port's completions to drain.
    double stop = NowMs();
    gsmdrvShutdown();
    Row("shutdown " + n + " lines wall per line", (NowMs() - stop) / lines, "ms");
    Leave(failed == 0 ? 0 : 1);
}

struct Job {
    Job() {
        job.Text = reinterpret_cast<const QVWCHAR*>(text.c_str());
        job.Number = number.c_str();
        job.Line = -1;
        job.CompletionCallback = OnHost;
        job.International = 1;
    }
    std::u16string text = u"Your parcel 4711 arrives today between 10:00 and 12:00. Reply STOP.";
    std::string number = "+4917012345678";
    SMSJob job{};
};

// Gaps on each modem from one command's arrival to the next one's, in ms.
std::vector<double> Gaps(const std::vector<std::pair<int, double>>& arrivals) {
    std::map<int, double> last;
    std::vector<double> gaps;
    for (const auto& [modem, ms] : arrivals) {
        auto it = last.find(modem);
        if (it != last.end()) gaps.push_back(ms - it->second);
        last[modem] = ms;
    }
    std::sort(gaps.begin(), gaps.end());
    return gaps;
}

double Median(const std::vector<double>& sorted) {
    return sorted.empty() ? 0 : sorted[sorted.size() / 2];
}

// A plain host on one modem, the baseline of the CPU ratios: blocking
// writes, poll and read until the awaited text, on one thread whose CPU time
// is all it costs. It speaks the same dialogue as the driver on the same
// simulator, echo included.
class BareClient {
  public:
    explicit BareClient(const std::string& path) {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        // Raw bytes at 115200 baud, as the driver's port sets them.
        termios tio{};
        if (m_fd >= 0 && tcgetattr(m_fd, &tio) == 0) {
            cfmakeraw(&tio);
            cfsetspeed(&tio, B115200);
            if (tcsetattr(m_fd, TCSANOW, &tio) == 0) return;
        }
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    ~BareClient() {
        if (m_fd >= 0) close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }

    // Writes `bytes` (may be empty) and reads until `until` has come.
    bool Exchange(const std::string& bytes, const std::string& until) {
        return WriteThenRead(bytes, [&] {
            size_t found = m_in.find(until);
            return found == std::string::npos ? found : found + until.size();
        });
    }

    // Sends one command line and reads up to its final result.
    bool Command(const std::string& line) {
        return WriteThenRead(line + "\r", [&] { return FinalResultEnd(); });
    }

  private:
    // Writes `bytes`, then reads until end() gives where the awaited text
    // ends in what came, and drops what came up to there.
    template <typename End>
    bool WriteThenRead(const std::string& bytes, End end) {
        if (!bytes.empty() && write(m_fd, bytes.data(), bytes.size()) < 0) return false;
        char buf[512];
        size_t at;
        while ((at = end()) == std::string::npos) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) return false;
            ssize_t n = read(m_fd, buf, sizeof buf);
            if (n <= 0) return false;
            m_in.append(buf, static_cast<size_t>(n));
        }
        m_in.erase(0, at);
        return true;
    }

    size_t FinalResultEnd() const {
        for (const char* result : {"OK\r\n", "ERROR\r\n", "ERROR: "}) {
            size_t at = m_in.find(result);
            if (at == std::string::npos) continue;
            size_t eol = m_in.find("\r\n", at);
            if (eol != std::string::npos) return eol + 2;
        }
        return std::string::npos;
    }

    int m_fd = -1;
    std::string m_in;
};

// A plain host bringing up `count` modems from `first` on, one after
// another, with the dialogue a driver line had: opening the port, setting
// it up, each command up to its result, closing. Its thread's CPU seconds.
double BareBringUpSeconds(Bench& bench, int first, int count,
                          const std::vector<std::string>& script) {
    const double before = ThreadCpuSeconds();
    for (int modem = first; modem < first + count; ++modem) {
        BareClient client(bench.sim.SlavePath(modem));
        if (!client.Ok()) return 0;
        for (const std::string& line : script)
            if (!client.Command(line)) return 0;
    }
    return ThreadCpuSeconds() - before;
}

// Driver CPU per item against the bare client's, with the target ratio; and
// the context switches of each per message. The ratio judged is the median
// of the rounds' ratios: a round of each runs at one speed of the machine.
void RatioRows(const std::string& what, double driverUs, double bareUs, std::vector<double> ratios,
               const char* target, double driverSwitches, double bareSwitches) {
    std::sort(ratios.begin(), ratios.end());
    const double ratio = Median(ratios);
    Row(what + " bare client CPU per message", bareUs, "us");
    Row(what + " driver / bare client CPU, median of " + std::to_string(ratios.size()) + " rounds",
        ratio, "x", target);
    if (!ratios.empty())
        Row(what + " driver / bare client CPU, rounds' range", ratios.back() - ratios.front(), "x");
    if (*target)
        Target(what + " CPU per message (us), x bare client", driverUs, bareUs, ratio, target);
    Row(what + " driver context switches per message", driverSwitches, "");
    Row(what + " bare client context switches per message", bareSwitches, "");
}

// The bare client reading and deleting messages announced by "+CMTI", one
// message at a time. Storing them is the simulator's work and left out.
class BareReceiver {
  public:
    BareReceiver(Bench& bench, int modem)
        : m_bench(bench), m_modem(modem), m_client(bench.sim.SlavePath(modem)) {
        m_ok = m_client.Ok() && m_client.Exchange("AT+CMGF=0\r", "\r\nOK\r\n") &&
               m_client.Exchange("AT+CNMI=2,1,0,0,0\r", "\r\nOK\r\n");
    }

    // Receives `count` messages (cycling through `messages`); false on a
    // failed exchange. Adds the CPU seconds and context switches spent.
    bool Run(const std::vector<std::vector<std::string>>& messages, int count, double* spent,
             long* switches) {
        for (int i = 0; m_ok && i < count; ++i, ++m_next) {
            std::vector<std::string> indexes;
            for (const std::string& pdu : messages[static_cast<size_t>(m_next) % messages.size()])
                indexes.push_back(std::to_string(m_bench.sim.StorePdu(m_modem, pdu)));
            const double before = ThreadCpuSeconds();
            const long switchesBefore = SwitchesOf(RUSAGE_THREAD);
            for (const std::string& index : indexes)
                m_ok = m_ok && m_client.Exchange("", "+CMTI: \"SM\"," + index + "\r\n");
            for (const std::string& index : indexes) {
                m_ok = m_ok && m_client.Exchange("AT+CMGR=" + index + "\r", "\r\nOK\r\n") &&
                       m_client.Exchange("AT+CMGD=" + index + "\r", "\r\nOK\r\n");
            }
            *spent += ThreadCpuSeconds() - before;
            *switches += SwitchesOf(RUSAGE_THREAD) - switchesBefore;
        }
        return m_ok;
    }

  private:
    Bench& m_bench;
    const int m_modem;
    BareClient m_client;
    bool m_ok = false;
    int m_next = 0;
};

// Sends `jobs` one-part messages over `lines` lines. On one line the driver
// and the bare client take turns, a round of messages each, so that both see
// the machine at the same speed (it drifts from minute to minute here).
int Send(int lines, int jobs, bool rttRows) {
    Bench bench;
    // One modem more than the driver takes: the bare client's.
    if (!bench.AddModems(1, lines + 1)) return 2;
    if (gsmdrvInit() != QV_OK) return 2;
    bench.BringUp(1, lines);
    std::deque<Job> pool(static_cast<size_t>(jobs));
    const bool paired = lines == 1;
    const int rounds = paired ? std::min(jobs, 10) : 1;
    std::unique_ptr<BareClient> bare;
    if (paired) bare = std::make_unique<BareClient>(bench.sim.SlavePath(lines));
    std::string cmgs, pdu;
    double cpu = 0, wall = 0, bareCpu = 0;
    long switches = 0, bareSwitches = 0;
    std::vector<double> ratios;
    int submitted = 0;
    bench.RecordArrivals(true);
    for (int round = 0; round < rounds; ++round) {
        const int end = static_cast<int>(static_cast<long long>(jobs) * (round + 1) / rounds);
        const int count = end - submitted;
        const double cpuBefore = bench.DriverCpuSeconds();
        const long switchesBefore = bench.DriverSwitches();
        const double start = NowMs();
        for (; submitted < end; ++submitted) {
            int rc = gsmdrvSendSMS(0, &pool[static_cast<size_t>(submitted)].job);
            if (rc != QV_PENDING) {
                fprintf(stderr, "gsmdrvSendSMS = %d\n", rc);
                return 2;
            }
        }
        if (!WaitTally([&](Tally& t) { return t.sent + t.sentFailed >= end; }, 300)) {
            fprintf(stderr, "jobs did not end in time (%d sent)\n", g_tally.sent);
            return 2;
        }
        wall += (NowMs() - start) / 1000;
        const double roundCpu = bench.DriverCpuSeconds() - cpuBefore;
        cpu += roundCpu;
        switches += bench.DriverSwitches() - switchesBefore;
        if (!paired) continue;
        // The same dialogue by hand, with the PDU the driver sent.
        if (cmgs.empty()) {
            std::vector<qvsim::Submit> submits = bench.sim.Submits(0);
            if (submits.empty() || !bare->Ok()) return 2;
            cmgs = "AT+CMGS=" + std::to_string(submits.back().declaredLength) + "\r";
            pdu = submits.back().pdu + "\x1A";
        }
        const double bareBefore = ThreadCpuSeconds();
        const long bareSwitchesBefore = SwitchesOf(RUSAGE_THREAD);
        for (int i = 0; i < count; ++i) {
            if (!bare->Exchange(cmgs, "> ") || !bare->Exchange(pdu, "\r\nOK\r\n")) return 2;
        }
        const double roundBare = ThreadCpuSeconds() - bareBefore;
        bareCpu += roundBare;
        bareSwitches += SwitchesOf(RUSAGE_THREAD) - bareSwitchesBefore;
        if (roundBare > 0) ratios.push_back(roundCpu / roundBare);
    }
    bench.RecordArrivals(false);
    const std::string n = std::to_string(lines);
    Row("send " + n + " lines messages/s", jobs / wall, "msg/s");
    Row("send " + n + " lines CPU per message", cpu * 1e6 / jobs, "us");
    Row("send " + n + " lines failed", g_tally.sentFailed, "jobs", "0");
    if (paired) {
        RatioRows("send 1 line", cpu * 1e6 / jobs, bareCpu * 1e6 / jobs, ratios, "<= 3",
                  static_cast<double>(switches) / jobs, static_cast<double>(bareSwitches) / jobs);
    }
    if (rttRows) {
        // Command gaps below the 20 ms pause of sequences; the rest are pauses.
        std::vector<std::pair<int, double>> arrivals = bench.Arrivals();
        arrivals.erase(std::remove_if(arrivals.begin(), arrivals.end(),
                                      [lines](const auto& a) { return a.first >= lines; }),
                       arrivals.end());
        std::vector<double> gaps = Gaps(arrivals);
        std::vector<double> busy;
        for (double g : gaps)
            if (g < 20) busy.push_back(g);
        Row("send " + n + " lines command gap median", Median(busy) * 1000, "us");
        Row("send " + n + " lines command gaps >= 20 ms", gaps.size() - busy.size(), "gaps");
    }
    Leave(g_tally.sentFailed == 0 ? 0 : 1);
}

// The simulator's own round trip: a host that writes the next command the
// moment it has read the answer, on the same pty path as the driver.
double BaselineGapMs(int rounds) {
    Bench bench;
    if (!bench.AddModems(1, 1)) return 0;
    int fd = open(bench.sim.SlavePath(0).c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return 0;
    // Raw bytes, as the driver's port sets them.
    std::string cmd = "stty -F " + bench.sim.SlavePath(0) + " raw -echo";
    if (system(cmd.c_str()) != 0) return 0;
    auto exchange = [&](const std::string& line, const char* until) {
        if (write(fd, line.data(), line.size()) < 0) return false;
        std::string got;
        char buf[512];
        while (got.find(until) == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) return false;
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return false;
            got.append(buf, static_cast<size_t>(n));
        }
        return true;
    };
    if (!exchange("ATE0\r", "OK\r\n")) return 0;
    bench.RecordArrivals(true);
    for (int i = 0; i < rounds; ++i)
        if (!exchange("AT\r", "OK\r\n")) return 0;
    bench.RecordArrivals(false);
    close(fd);
    return Median(Gaps(bench.Arrivals()));
}

int Rtt(int jobs) {
    double baseline = BaselineGapMs(jobs * 2);
    Bench bench;
    if (!bench.AddModems(1, 1)) return 2;
    if (gsmdrvInit() != QV_OK) return 2;
    bench.BringUp(1, 1);
    std::deque<Job> pool(static_cast<size_t>(jobs));
    bench.RecordArrivals(true);
    for (Job& j : pool) gsmdrvSendSMS(0, &j.job);
    WaitTally([&](Tally& t) { return t.sent + t.sentFailed >= jobs; }, 300);
    bench.RecordArrivals(false);
    std::vector<double> gaps = Gaps(bench.Arrivals());
    std::vector<double> busy;
    for (double g : gaps)
        if (g < 20) busy.push_back(g);
    double median = Median(busy);
    Row("round trip: plain host command gap median", baseline * 1000, "us");
    Row("round trip: driver command gap median", median * 1000, "us");
    Row("round trip: added by the driver (median)", (median - baseline) * 1000, "us", "<= 100");
    Target("round trip added by the driver, median (us)", median * 1000, baseline * 1000,
           (median - baseline) * 1000, "<= 100");
    Row("round trip: gaps >= 20 ms (pauses)", static_cast<double>(gaps.size() - busy.size()),
        "gaps");
    Leave(0);
}

// Keeps up to `window` messages pending on each line until `msgs` arrived.
int Recv(int lines, int msgs, bool concat) {
    Bench bench;
    // One modem more than the driver takes: the bare client's.
    if (!bench.AddModems(1, lines + 1)) return 2;
    // Stored PDUs made once by a scratch modem; distinct references keep the
    // pending concatenated messages of a line apart.
    const int window = concat ? 8 : 16;
    std::vector<std::vector<std::string>> messages;
    {
        qvsim::Simulator scratch;
        qvsim::ModemConfig big;
        big.capacity = 200;
        const int spare = scratch.Add(big);
        if (spare < 0) return 2;
        for (int r = 0; r < window; ++r) {
            qvsim::Incoming in;
            in.sender = "+4917012345678";
            in.text = concat ? std::u16string(400, u'x') : u"Meeting moved to 14:30, room 2.";
            in.concatReference = concat ? r + 1 : -1;
            in.announce = false;
            std::vector<int> slots = scratch.Inject(spare, in);
            std::vector<qvsim::StoredMessage> stored = scratch.Stored(spare);
            std::vector<std::string> pdus;
            for (int slot : slots)
                for (const auto& s : stored)
                    if (s.index == slot) pdus.push_back(s.pdu);
            messages.push_back(pdus);
        }
    }
    if (gsmdrvInit() != QV_OK) return 2;
    bench.BringUp(1, lines);
    std::vector<int> injected(static_cast<size_t>(lines), 0);
    const int perLine = msgs / lines;
    const int total = perLine * lines;
    const size_t parts = messages[0].size();
    const size_t capacity = qvsim::ModemConfig{}.capacity;
    // The driver and the bare client take turns, a round each, so that both
    // see the machine at the same speed. The host thread's CPU (refilling the
    // modems, and the bare client's rounds) is left out of the driver's.
    const int rounds = 10;
    const int bareCount = total;
    BareReceiver bare(bench, lines);
    double cpu = 0, bareCpu = 0, wall = 0;
    long switches = 0, bareSwitches = 0;
    std::vector<double> ratios;
    bench.RecordArrivals(true);
    const double deadline = NowMs() + 120000;
    for (int round = 0; round < rounds; ++round) {
        const int target = perLine * (round + 1) / rounds;
        const double hostBefore = ThreadCpuSeconds();
        const long hostSwitchesBefore = SwitchesOf(RUSAGE_THREAD);
        const long switchesBefore = bench.DriverSwitches();
        const double cpuBefore = bench.DriverCpuSeconds();
        const double start = NowMs();
        for (;;) {
            std::map<int, int> got;
            {
                std::lock_guard<std::mutex> guard(g_tally.mutex);
                got = g_tally.receivedOn;
            }
            bool done = true;
            for (int m = 0; m < lines; ++m) {
                int have = got[m + 1];
                if (have < target) done = false;
                if (injected[m] >= target || injected[m] - have >= window) continue;
                // The line deletes what it delivered only when its pass ends:
                // a full SIM would drop the message.
                size_t stored = bench.sim.Stored(m).size();
                while (injected[m] < target && injected[m] - have < window &&
                       stored + parts <= capacity) {
                    for (const std::string& pdu : messages[injected[m] % window])
                        bench.sim.StorePdu(m, pdu);
                    stored += parts;
                    injected[m]++;
                }
            }
            if (done) break;
            int sum = 0;
            for (auto& [com, count] : got) sum += count;
            WaitTally([&](Tally& t) { return t.received > sum; }, 0.002);
            if (NowMs() > deadline) {
                fprintf(stderr, "messages stopped arriving (%d of %d)\n", sum, total);
                for (int m = 0; m < lines; ++m)
                    fprintf(stderr, "  COM%d: %d of %d injected arrived, %zu stored, %d dropped\n",
                            m + 1, got[m + 1], injected[m], bench.sim.Stored(m).size(),
                            bench.sim.Dropped(m));
                Leave(2);
            }
        }
        // The lines finish their passes (the deletes) before the bare client's
        // turn, so that neither runs beside the other.
        for (int m = 0; m < lines; ++m) {
            while (!bench.sim.Stored(m).empty() && NowMs() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        wall += (NowMs() - start) / 1000;
        const double roundCpu =
            bench.DriverCpuSeconds() - cpuBefore - (ThreadCpuSeconds() - hostBefore);
        cpu += roundCpu;
        switches += bench.DriverSwitches() - switchesBefore -
                    (SwitchesOf(RUSAGE_THREAD) - hostSwitchesBefore);
        const int count = bareCount * (round + 1) / rounds - bareCount * round / rounds;
        double roundBare = 0;
        if (!bare.Run(messages, count, &roundBare, &bareSwitches)) {
            fprintf(stderr, "the bare client's dialogue failed\n");
            Leave(2);
        }
        bareCpu += roundBare;
        const int received =
            perLine * lines * (round + 1) / rounds - perLine * lines * round / rounds;
        if (roundBare > 0 && count > 0 && received > 0)
            ratios.push_back((roundCpu / received) / (roundBare / count));
    }
    bench.RecordArrivals(false);
    const std::string what =
        std::to_string(lines) + " lines " + (concat ? "3-part" : "one-part") + " messages";
    Row("recv " + what + "/s", total / wall, "msg/s");
    Row("recv " + what + " CPU per message", cpu * 1e6 / total, "us");
    const std::vector<std::pair<int, double>> arrivals = bench.Arrivals();
    const auto commands = std::count_if(arrivals.begin(), arrivals.end(),
                                        [lines](const auto& a) { return a.first < lines; });
    Row("recv " + what + " commands per message", static_cast<double>(commands) / total, "");
    RatioRows("recv " + what, cpu * 1e6 / total, bareCpu * 1e6 / bareCount, ratios,
              concat ? "" : "<= 3", static_cast<double>(switches) / total,
              static_cast<double>(bareSwitches) / bareCount);
    Leave(0);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    auto arg = [&](int i, int fallback) { return argc > i ? atoi(argv[i]) : fallback; };
    if (mode == "bringup") Leave(Bringup(arg(2, 100)));
    if (mode == "send") Leave(Send(arg(2, 16), arg(3, 1000), true));
    if (mode == "recv")
        Leave(Recv(arg(2, 16), arg(3, 640), argc > 4 && std::string(argv[4]) == "concat"));
    if (mode == "rtt") Leave(Rtt(arg(2, 200)));
    fprintf(stderr,
            "usage: %s bringup <lines> | send <lines> <jobs> | recv <lines> <msgs> "
            "<single|concat> | rtt <jobs>\n",
            argv[0]);
    return 2;
}
