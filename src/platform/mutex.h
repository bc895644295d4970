#pragma once
// A mutex, its scoped lock and a condition variable that Clang's
// thread-safety analysis understands (libstdc++'s std::mutex carries no
// annotations). Fields say GUARDED_BY(theirMutex); functions that expect a
// lock held say REQUIRES(it). Other compilers see plain std types.
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KOLV_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define KOLV_THREAD_ATTRIBUTE(x)
#endif
#define CAPABILITY(x) KOLV_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY KOLV_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) KOLV_THREAD_ATTRIBUTE(guarded_by(x))
#define REQUIRES(...) KOLV_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KOLV_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KOLV_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))

namespace kolv {

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

// Waits release the mutex and hold it again before they return; callers
// loop on their condition, so the analysis sees every guarded read locked.
class CondVar {
public:
    void wait(Mutex& mutex) REQUIRES(mutex) { changed_.wait(mutex); }
    // False when the time ran out.
    template <class Clock, class Duration>
    bool waitUntil(Mutex& mutex, std::chrono::time_point<Clock, Duration> until) REQUIRES(mutex) {
        return changed_.wait_until(mutex, until) == std::cv_status::no_timeout;
    }
    void notifyAll() { changed_.notify_all(); }

private:
    std::condition_variable_any changed_;
};

}  // namespace kolv
