#include "bench_proc.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace bench {
namespace {

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::string& dir, const std::string& outFile) {
    if (argv.empty()) throw BenchError("Child: empty command");
    // Everything the child touches is prepared before the fork: after it,
    // only async-signal-safe calls.
    std::vector<std::string> words = argv;
    std::vector<char*> pointers;
    for (std::string& w : words) pointers.push_back(w.data());
    pointers.push_back(nullptr);
    const pid_t parent = ::getpid();
    startedAt_ = Clock::now();
    pid_ = ::fork();
    if (pid_ < 0) throw BenchError(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (::chdir(dir.c_str()) != 0) ::_exit(125);
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0) ::_exit(124);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execvp(pointers[0], pointers.data());
        ::_exit(127);
    }
    ::setpgid(pid_, pid_);  // also from here, so the group exists before any stop()
}

// SIGTERM first: a bridge run under a profiler still writes its profile.
Child::~Child() { stop(SIGTERM); }

bool Child::running() { return !waitExit(Clock::duration::zero()).has_value(); }

std::optional<int> Child::waitExit(Clock::duration timeout) {
    if (status_) return status_;
    Clock::time_point deadline = Clock::now() + timeout;
    for (int i = 0; i < 1000000; ++i) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = decodeStatus(status);
            return status_;
        }
        if (r < 0 && errno != EINTR) {
            status_ = -1;
            return status_;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

void Child::stop(int sig) {
    if (pid_ <= 0 || status_) return;
    ::kill(-pid_, sig);
    ::kill(pid_, sig);
    if (!waitExit(std::chrono::seconds(5))) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        waitExit(std::chrono::seconds(5));
    }
}

void runToEnd(const std::vector<std::string>& argv, const std::string& dir, const std::string& outFile,
              Clock::duration timeout) {
    Child child(argv, dir, outFile);
    std::optional<int> code = child.waitExit(timeout);
    if (!code) throw BenchError(argv[0] + " did not finish in time");
    if (*code != 0) {
        throw BenchError(argv[0] + " failed with " + std::to_string(*code) + ":\n" + tailOf(readFile(outFile), 10));
    }
}

std::int64_t cpuTicks(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) throw BenchError("cannot read /proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(close + 2));
    std::string word;
    std::int64_t utime = 0;
    std::int64_t stime = 0;
    // Fields after the name start at 3 (state); utime is field 14, stime 15.
    for (int field = 3; field <= 15 && (fields >> word); ++field) {
        if (field == 14) utime = std::stoll(word);
        if (field == 15) stime = std::stoll(word);
    }
    return utime + stime;
}

long ticksPerSecond() { return ::sysconf(_SC_CLK_TCK); }

std::int64_t cpuNanoseconds(pid_t pid) {
    std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(taskDir.c_str());
    if (dir == nullptr) return -1;
    std::int64_t total = 0;
    bool any = false;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string text = readFile(taskDir + "/" + entry->d_name + "/schedstat");
        if (text.empty()) continue;
        total += std::stoll(text);
        any = true;
    }
    ::closedir(dir);
    return any ? total : -1;
}

long statusField(pid_t pid, const char* name) {
    std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    std::string prefix = std::string(name) + ":";
    while (std::getline(lines, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tailOf(const std::string& text, std::size_t lines) {
    std::size_t pos = text.size();
    if (pos > 0 && text[pos - 1] == '\n') --pos;
    for (std::size_t n = 0; n < lines; ++n) {
        std::size_t found = pos == 0 ? std::string::npos : text.rfind('\n', pos - 1);
        if (found == std::string::npos) return text;
        pos = found;
    }
    return text.substr(pos + 1);
}

}  // namespace bench
