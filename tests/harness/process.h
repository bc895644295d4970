#pragma once
// Child processes with captured output: the bridge under test, kolv-setup,
// and independent peers such as `openssl s_server`.
#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness/common.h"

namespace kolvtest {

struct ProcessOptions {
    // Give the child a pipe as stdin (writeStdin / closeStdin); else /dev/null.
    bool stdinPipe = false;
    // "NAME=VALUE" entries added to (or replacing in) the inherited environment.
    std::vector<std::string> extraEnv;
    // Words put before the command, e.g. {"unshare", "--mount", "--"}.
    std::vector<std::string> wrapper;
};

// Starts argv[0] (searched in PATH when it has no "/") in workDir with the
// inherited environment, in a process group of its own. Two reader threads
// collect stdout and stderr. Not copyable or movable.
//
// The destructor kills the whole process group, reaps the child, joins the
// readers and closes every descriptor: no zombie and no fd outlives it.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> argv, const std::filesystem::path& workDir, ProcessOptions options = {});
    virtual ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    const std::vector<std::string>& argv() const { return argv_; }

    // Everything written so far to stdout / stderr.
    std::string output() const;
    std::string stderrOutput() const;

    // Wait until stdout holds needle (at least count times). False at the deadline.
    bool waitForOutput(std::string_view needle, Millis timeout, std::size_t count = 1);
    bool waitForStderr(std::string_view needle, Millis timeout, std::size_t count = 1);

    // Waits for the process to end. Returns its exit code (0..255; a process
    // that returned -1 gives 255), or 128 + signal number when a signal ended
    // it, or nothing when it still runs at the deadline. Once it has ended,
    // also waits (bounded) for the readers to drain its last output, so
    // output() is complete afterwards. Later calls return the same value.
    std::optional<int> waitExit(Millis timeout);

    // True while the process has not been seen to end.
    bool running();

    // SIGKILL to the process group, then reap. Safe to call more than once.
    void kill();

    // Sends sig to the process group.
    void signal(int sig);

    // With ProcessOptions::stdinPipe only.
    bool writeStdin(std::string_view text);
    void closeStdin();

protected:
    // Kills, reaps, joins the readers and closes the pipes; idempotent.
    // Derived destructors call it before looking at the final output.
    void shutdown();

private:
    struct Stream {
        int fd = -1;
        std::string data;
        bool eof = false;
    };
    void readerLoop(Stream& stream);
    bool waitFor(const Stream& stream, std::string_view needle, Millis timeout, std::size_t count);
    bool reapNow(bool block);
    void drainReaders(Millis timeout);

    std::vector<std::string> argv_;
    pid_t pid_ = -1;
    int pidFd_ = -1;
    int stdinFd_ = -1;
    std::optional<int> exitCode_;
    std::mutex exitMutex_;

    mutable std::mutex mutex_;  // guards the two streams' data and eof
    std::condition_variable changed_;
    Stream out_;
    Stream err_;
    std::thread outReader_;
    std::thread errReader_;
    bool stopReaders_ = false;  // guarded by mutex_
    bool shutDown_ = false;
};

// Runs a program to its end; throws HarnessError when it cannot be started
// or does not end within timeout.
struct ProcessResult {
    int exitCode = -1;
    std::string output;
    std::string errorOutput;
};
ProcessResult runProcess(std::vector<std::string> argv, const std::filesystem::path& workDir,
                         Millis timeout = Millis(20000));

// The command that starts the bridge: the words of KOLV_BRIDGE_CMD (split at
// white space, no quoting; e.g. "wine /path/kolv-bridge.exe") when set and
// not empty, else the kolv-bridge that this build made.
std::vector<std::string> bridgeCommand();

// Paths of the other programs that this build made.
std::string setupToolPath();
std::string simulatorPath();
std::string chatToolPath();

// Name resolution of the bridge's own choosing, without touching the
// machine's files and without DNS traffic: the returned words, put in
// ProcessOptions::wrapper, run the command in a private mount namespace in
// which /etc/hosts is replaced by `hosts` and /etc/nsswitch.conf resolves host
// names from files only. The two files are written into dir. Needs unshare
// and the right to mount: check privateResolverAvailable() and GTEST_SKIP
// without it.
bool privateResolverAvailable();
std::vector<std::string> privateResolverWrapper(const std::filesystem::path& dir, std::string_view hosts);

// The bridge, started in dir with args, e.g. BridgeProcess bridge(dir, {"-W1", "-V"}).
// On destruction, besides what ChildProcess does, it fails the running test
// when the bridge's stderr holds a sanitizer report (ThreadSanitizer,
// AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer "runtime error:").
class BridgeProcess : public ChildProcess {
public:
    BridgeProcess(const std::filesystem::path& dir, std::vector<std::string> args = {},
                  ProcessOptions options = {});
    ~BridgeProcess() override;

    // The sanitizer check, callable before the end; true when stderr is clean.
    bool checkSanitizerReports();

private:
    bool reported_ = false;
};

}  // namespace kolvtest
