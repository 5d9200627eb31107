// Wall time of bringing lines up on simulated modems, one line against 200
// side by side on the default pool, on the real clock. The ratio shows
// whether the waits of the initialisation hold workers (it would approach
// 200 / workers) or not (close to 1).
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gsm/GSMDevice.h"
#include "io/ComPort.h"
#include "io/ThreadPool.h"
#include "logging/LoggingHandler.h"
#include "tools/sim/Simulator.h"

namespace {

struct Batch {
    std::mutex mutex;
    std::condition_variable done;
    int ok = 0;
    int failed = 0;
    CAThreadPool* pool = nullptr;
};

int OnEvent(int event, GSMDevice* device, int, void* owner, void*) {
    auto* batch = static_cast<Batch*>(owner);
    if (event == DEV_INIT_RETRY) {
        batch->pool->QueueWorkItem(device, [](void* d, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
            auto* line = static_cast<GSMDevice*>(d);
            line->Uninit(0);
            line->Init();
            return 0;
        });
        return 0;
    }
    if (event != DEV_INIT_OK && event != DEV_INIT_FAILED) return 0;
    std::lock_guard<std::mutex> guard(batch->mutex);
    (event == DEV_INIT_OK ? batch->ok : batch->failed)++;
    batch->done.notify_all();
    return 0;
}

int InitLine(void* device, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    static_cast<GSMDevice*>(device)->Init();
    return 0;
}

// Wall milliseconds from posting every line's Init to the last line's end.
double RunBatch(qvsim::Simulator& sim, CAThreadPool& pool, const std::string& comDir, int lines,
                int& nextCom, int* failures) {
    Batch batch;
    batch.pool = &pool;
    std::vector<std::unique_ptr<GSMDevice>> devices;
    for (int i = 0; i < lines; ++i) {
        int modem = sim.Add();
        int com = nextCom++;
        if (modem < 0 || !sim.Link(modem, comDir, com)) {
            fprintf(stderr, "no pseudo-terminal for line %d\n", i);
            exit(2);
        }
        GSMLineConfig config;
        memset(&config, 0, sizeof(config));
        config.ComPortNumber = com;
        config.BaudRate = 115200;
        config.CanSend = 1;
        config.CanRecv = 1;
        devices.push_back(
            std::make_unique<GSMDevice>(&config, new ComPort(), new CLoggingHandler(), &pool));
        devices.back()->SetDeviceEventHandler(OnEvent, &batch);
    }
    auto start = std::chrono::steady_clock::now();
    for (auto& device : devices) pool.QueueWorkItem(device.get(), InitLine);
    {
        std::unique_lock<std::mutex> lock(batch.mutex);
        batch.done.wait(lock, [&] { return batch.ok + batch.failed == lines; });
    }
    auto end = std::chrono::steady_clock::now();
    *failures = batch.failed;
    for (auto& device : devices) device->Uninit(0);
    for (auto& device : devices) {
        while (device->WorkRefs() != 0) std::this_thread::yield();
    }
    devices.clear();
    return std::chrono::duration<double, std::milli>(end - start).count();
}

std::string TempDir(const char* pattern) {
    std::string path = pattern;
    const char* made = mkdtemp(path.data());
    return made ? made : "/tmp";
}

}  // namespace

int main(int argc, char** argv) {
    int many = argc > 1 ? atoi(argv[1]) : 200;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    const std::string comDir = TempDir("/tmp/qvgsm-bench-com-XXXXXX");
    const std::string logDir = TempDir("/tmp/qvgsm-bench-log-XXXXXX");
    setenv("QVGSM_COMDIR", comDir.c_str(), 1);
    setenv("QVGSM_LOGDIR", logDir.c_str(), 1);

    CAThreadPool pool;
    if (pool.Start(0) != 0) return 1;
    int nextCom = 1;
    int failures = 0;
    double one = 0;
    {
        qvsim::Simulator sim;
        RunBatch(sim, pool, comDir, 1, nextCom, &failures);  // warm-up
        std::vector<double> singles;
        for (int i = 0; i < 5; ++i)
            singles.push_back(RunBatch(sim, pool, comDir, 1, nextCom, &failures));
        std::sort(singles.begin(), singles.end());
        one = singles[singles.size() / 2];
    }
    double all = 0;
    {
        qvsim::Simulator sim;
        all = RunBatch(sim, pool, comDir, many, nextCom, &failures);
    }
    printf("%-28s %12s\n", "case", "wall ms");
    printf("%-28s %12.1f\n", "1 line (median of 5)", one);
    printf("%-28s %12.1f\n", (std::to_string(many) + " lines side by side").c_str(), all);
    printf("%-28s %12u\n", "pool workers", pool.GetThreadCount());
    printf("%-28s %12d\n", "lines that failed", failures);
    printf("%-28s %12.2f   (target below 3)\n", "ratio", all / one);
    pool.Shutdown();
    return failures == 0 ? 0 : 1;
}
