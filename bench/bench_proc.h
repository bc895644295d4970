#pragma once
// Child processes of the benchmark (the bridge, kolv-setup, socat) and what
// /proc tells about them.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench_net.h"

namespace bench {

// Starts argv (argv[0] searched in PATH when it has no "/") in dir, with
// stdout and stderr appended to outFile and stdin from /dev/null, in a
// process group of its own. The child gets SIGKILL if the benchmark dies.
// The destructor ends the group (SIGTERM, then SIGKILL) and reaps the child.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& dir, const std::string& outFile);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Taken just before the fork.
    Clock::time_point startedAt() const { return startedAt_; }
    bool running();
    // Exit code, 128 + signal, or nothing if still running at the deadline.
    std::optional<int> waitExit(Clock::duration timeout);
    // Sends sig to the child's process group (its own helpers included) and reaps the child.
    void stop(int sig);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    Clock::time_point startedAt_;
};

// Runs a program to its end within timeout; throws when it fails.
void runToEnd(const std::vector<std::string>& argv, const std::string& dir, const std::string& outFile,
              Clock::duration timeout);

// utime + stime of the whole process, in clock ticks.
std::int64_t cpuTicks(pid_t pid);
long ticksPerSecond();
// Time on a processor summed over the process's threads, in nanoseconds (-1 when unknown).
std::int64_t cpuNanoseconds(pid_t pid);
// A "Name:  value kB" field of /proc/<pid>/status, e.g. VmHWM; -1 when missing.
long statusField(pid_t pid, const char* name);

std::string readFile(const std::string& path);
std::string tailOf(const std::string& text, std::size_t lines);

}  // namespace bench
