// A program run by a test as its own process: arguments and extra
// environment given, standard output read line by line while it runs,
// standard error kept in a file for the test to read afterwards.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace qvtest {

class ChildProcess {
  public:
    using ms = std::chrono::milliseconds;

    ChildProcess() = default;
    ~ChildProcess();  // kills a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // env entries are added to (or replace those of) this process's environment.
    bool Start(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env = {});
    // The next line of standard output; false at its end or after the time-out.
    bool ReadLine(std::string* line, ms timeout);
    // Reads the rest of standard output and waits for the exit; the exit
    // status, or -1 (the child is killed) when it takes longer than timeout.
    int Wait(ms timeout);
    // Sends a signal to the child while it runs (SIGKILL: a crash).
    bool Signal(int sig);
    // Every line read so far, and standard error (after Wait).
    const std::vector<std::string>& Lines() const { return m_lines; }
    std::string Output() const;
    std::string Errors() const;

  private:
    int m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
    std::vector<std::string> m_lines;
    std::string m_errFile;
};

// Runs argv to the end; the exit status (or -1), output lines and errors.
struct RunResult {
    int status = -1;
    std::vector<std::string> lines;
    std::string output;
    std::string errors;
};
RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env = {},
                     ChildProcess::ms timeout = ChildProcess::ms(120000));

}  // namespace qvtest
