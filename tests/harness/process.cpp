#include "harness/process.h"

#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <regex>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kolvtest {
namespace {

// Writes to a peer that has gone must fail, not end the test program
// (TLS writes go through write(), which cannot take MSG_NOSIGNAL).
void ignoreBrokenPipeOnce() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

std::vector<std::string> buildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string text = *entry;
        bool replaced = false;
        for (const std::string& add : extra) {
            std::size_t eq = add.find('=');
            if (eq != std::string::npos && text.compare(0, eq + 1, add, 0, eq + 1) == 0) replaced = true;
        }
        if (!replaced) env.push_back(std::move(text));
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> result;
    for (std::string& word : words) result.push_back(word.data());
    result.push_back(nullptr);
    return result;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, const std::filesystem::path& workDir,
                           ProcessOptions options) {
    ignoreBrokenPipeOnce();
    argv_ = options.wrapper;
    argv_.insert(argv_.end(), argv.begin(), argv.end());
    if (argv_.empty()) throw HarnessError("ChildProcess: empty command");

    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    int inPipe[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* fd : {&outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1], &inPipe[0], &inPipe[1]}) closeFd(*fd);
    };
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0 ||
        (options.stdinPipe && ::pipe2(inPipe, O_CLOEXEC) != 0)) {
        int error = errno;
        closeAll();
        throw HarnessError(std::string("pipe2: ") + std::strerror(error));
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string dir = workDir.string();
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    if (options.stdinPipe) {
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    std::vector<std::string> words = argv_;
    std::vector<char*> argvPointers = pointers(words);
    std::vector<std::string> env = buildEnvironment(options.extraEnv);
    std::vector<char*> envPointers = pointers(env);
    int spawned = ::posix_spawnp(&pid_, argvPointers[0], &actions, &attributes, argvPointers.data(),
                                 envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        closeAll();
        pid_ = -1;
        throw HarnessError("cannot start \"" + joined(argv_) + "\" in " + dir + ": " + std::strerror(spawned));
    }
    closeFd(outPipe[1]);
    closeFd(errPipe[1]);
    closeFd(inPipe[0]);
    stdinFd_ = inPipe[1];
    out_.fd = outPipe[0];
    err_.fd = errPipe[0];
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));  // -1: fall back to polling waitpid
    outReader_ = std::thread([this] { readerLoop(out_); });
    errReader_ = std::thread([this] { readerLoop(err_); });
}

ChildProcess::~ChildProcess() { shutdown(); }

void ChildProcess::readerLoop(Stream& stream) {
    char chunk[4096];
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopReaders_) break;
        }
        pollfd p{stream.fd, POLLIN, 0};
        int ready = ::poll(&p, 1, 100);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (ready == 0) continue;
        ssize_t n = ::read(stream.fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        stream.data.append(chunk, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    stream.eof = true;
    changed_.notify_all();
}

std::string ChildProcess::output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_.data;
}

std::string ChildProcess::stderrOutput() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_.data;
}

bool ChildProcess::waitFor(const Stream& stream, std::string_view needle, Millis timeout, std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadlineAfter(timeout),
                        [&] { return countOccurrences(stream.data, needle) >= count || stream.eof; });
    return countOccurrences(stream.data, needle) >= count;
}

bool ChildProcess::waitForOutput(std::string_view needle, Millis timeout, std::size_t count) {
    return waitFor(out_, needle, timeout, count);
}

bool ChildProcess::waitForStderr(std::string_view needle, Millis timeout, std::size_t count) {
    return waitFor(err_, needle, timeout, count);
}

// exitMutex_ held.
bool ChildProcess::reapNow(bool block) {
    if (exitCode_) return true;
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return false;
    if (got < 0) {
        exitCode_ = -1;  // not our child any more: nothing to reap
    } else if (WIFEXITED(status)) {
        exitCode_ = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        exitCode_ = 128 + WTERMSIG(status);
    } else {
        return false;
    }
    return true;
}

void ChildProcess::drainReaders(Millis timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadlineAfter(timeout), [&] { return out_.eof && err_.eof; });
}

std::optional<int> ChildProcess::waitExit(Millis timeout) {
    {
        std::lock_guard<std::mutex> lock(exitMutex_);
        if (exitCode_) return exitCode_;
        auto deadline = deadlineAfter(timeout);
        while (!reapNow(false)) {
            int left = millisLeft(deadline);
            if (left == 0) return std::nullopt;
            if (pidFd_ >= 0) {
                pollfd p{pidFd_, POLLIN, 0};
                ::poll(&p, 1, left);
            } else {
                std::this_thread::sleep_for(Millis(std::min(left, 5)));
            }
        }
    }
    drainReaders(Millis(2000));
    std::lock_guard<std::mutex> lock(exitMutex_);
    return exitCode_;
}

bool ChildProcess::running() {
    std::lock_guard<std::mutex> lock(exitMutex_);
    return !reapNow(false);
}

void ChildProcess::signal(int sig) {
    std::lock_guard<std::mutex> lock(exitMutex_);
    if (exitCode_ || pid_ <= 0) return;
    // The group, for wrappers (sh, unshare, wine) that run the program as a child.
    ::kill(-pid_, sig);
    ::kill(pid_, sig);
}

void ChildProcess::kill() {
    if (pid_ <= 0) return;
    signal(SIGKILL);
    if (waitExit(Millis(10000))) return;
    std::lock_guard<std::mutex> lock(exitMutex_);
    reapNow(true);  // SIGKILL cannot be ignored: this ends
}

bool ChildProcess::writeStdin(std::string_view text) {
    if (stdinFd_ < 0) return false;
    while (!text.empty()) {
        ssize_t n = ::write(stdinFd_, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void ChildProcess::closeStdin() { closeFd(stdinFd_); }

void ChildProcess::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    closeStdin();
    kill();
    drainReaders(Millis(1000));
    bool drained;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        drained = out_.eof && err_.eof;
    }
    // Still open pipes mean members of the group are alive (so its id is
    // still taken): end them too.
    if (!drained && pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        drainReaders(Millis(1000));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopReaders_ = true;
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    closeFd(out_.fd);
    closeFd(err_.fd);
    closeFd(pidFd_);
}

ProcessResult runProcess(std::vector<std::string> argv, const std::filesystem::path& workDir, Millis timeout) {
    ChildProcess process(argv, workDir);
    std::optional<int> code = process.waitExit(timeout);
    if (!code) throw HarnessError("\"" + joined(process.argv()) + "\" did not end in time");
    return ProcessResult{*code, process.output(), process.stderrOutput()};
}

std::vector<std::string> bridgeCommand() {
    const char* command = std::getenv("KOLV_BRIDGE_CMD");
    std::vector<std::string> words;
    if (command != nullptr) {
        std::istringstream in(command);
        for (std::string word; in >> word;) words.push_back(word);
    }
    if (words.empty()) words.push_back(KOLV_BRIDGE_PATH);
    return words;
}

std::string setupToolPath() { return KOLV_SETUP_PATH; }
std::string simulatorPath() { return KOLV_SIM_PATH; }
std::string chatToolPath() { return KOLV_CHAT_PATH; }

bool privateResolverAvailable() {
    static const bool available = [] {
        try {
            ProcessResult result = runProcess({"unshare", "--mount", "--", "sh", "-c",
                                               "mount --bind /etc/hosts /etc/hosts && echo mounted"},
                                              "/", Millis(10000));
            return result.exitCode == 0 && result.output == "mounted\n";
        } catch (const HarnessError&) {
            return false;
        }
    }();
    return available;
}

std::vector<std::string> privateResolverWrapper(const std::filesystem::path& dir, std::string_view hosts) {
    static const std::regex kHostsLine(R"((^|\n)hosts:[^\n]*)");
    std::string nsswitch = readFile("/etc/nsswitch.conf");
    if (std::regex_search(nsswitch, kHostsLine)) {
        nsswitch = std::regex_replace(nsswitch, kHostsLine, "$1hosts: files");
    } else {
        nsswitch += "\nhosts: files\n";
    }
    std::filesystem::path hostsFile = dir / "hosts";
    std::filesystem::path nsswitchFile = dir / "nsswitch.conf";
    writeFile(hostsFile, hosts);
    writeFile(nsswitchFile, nsswitch);
    return {"unshare", "--mount", "--", "sh", "-c",
            "mount --bind \"$0\" /etc/hosts && mount --bind \"$1\" /etc/nsswitch.conf && shift && exec \"$@\"",
            hostsFile.string(), nsswitchFile.string()};
}

namespace {
std::vector<std::string> concat(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}
}  // namespace

BridgeProcess::BridgeProcess(const std::filesystem::path& dir, std::vector<std::string> args,
                             ProcessOptions options)
    : ChildProcess(concat(bridgeCommand(), args), dir, std::move(options)) {}

BridgeProcess::~BridgeProcess() {
    shutdown();
    checkSanitizerReports();
}

bool BridgeProcess::checkSanitizerReports() {
    static const char* const kMarkers[] = {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                                           "ERROR: LeakSanitizer", "runtime error:"};
    std::string errors = stderrOutput();
    for (const char* marker : kMarkers) {
        if (errors.find(marker) == std::string::npos) continue;
        if (!reported_) {
            reported_ = true;
            ADD_FAILURE() << "sanitizer report in the bridge's stderr (" << marker << "):\n" << errors;
        }
        return false;
    }
    return true;
}

}  // namespace kolvtest
