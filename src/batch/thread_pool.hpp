#pragma once
// Worker threads for batches, and the default worker count.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include <sys/types.h>

namespace quillmere {

// The worker count used when a caller names none: the environment variable RAYON_NUM_THREADS, else
// RAYON_RS_NUM_CPUS (each only when it holds a positive integer), else the number of logical
// processors. Read once, at the first call in the process, and fixed from then on.
std::size_t default_threads();

// A fixed set of threads, started together and idle between jobs. Dropping the pool tells its
// threads to stop and joins them. One caller at a time runs jobs on it; further callers wait.
//
// A process forked from the one that started the pool holds a copy of it but none of its threads.
// There the pool refuses to run, and dropping it leaks its threads' records and its locks instead
// of joining threads that do not exist or releasing locks that a vanished thread may hold.
class ThreadPool {
  public:
    // Starts exactly `threads` threads (at least one). When one cannot be started (the system
    // refuses it with std::system_error), the threads already started are stopped and joined and
    // the exception is rethrown.
    explicit ThreadPool(std::size_t threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t size() const;

    // False in a process forked from the one that started the pool.
    bool started_in_this_process() const;

    // Runs `copies` calls of `job` on the pool's threads and returns when all have ended. An
    // exception never leaves a pool thread: the first one thrown by any call is rethrown here,
    // after every call has ended. Stops when called from one of the pool's own threads, which
    // would wait for itself, or in a process forked from the one that started the pool.
    void run(std::size_t copies, const std::function<void()>& job);

    // How a run with a tick ended.
    enum class RunEnd : std::uint8_t {
        AllEnded = 0,
        // `tick` forked the process (a signal handler it ran may), and this is the child, which
        // has none of the threads: the run returns at once without waiting for the calls or
        // touching the pool's state, and the data the calls were using stays as the fork found it,
        // possibly half-written, so the caller leaves it unread and unfreed. Any exception from
        // that tick is dropped. The pool is dead in this process.
        ForkedDuringTick = 1,
    };

    // The same, calling `tick` on the calling thread each time `period` passes without every call
    // having ended, so that the caller can tell the calls to end early. An exception from `tick`
    // ends the ticking and is rethrown once every call has ended, ahead of the calls' own. `tick`
    // must not run a job on this pool.
    [[nodiscard]] RunEnd run(std::size_t copies, const std::function<void()>& job,
                             std::chrono::milliseconds period, const std::function<void()>& tick);

  private:
    struct State;
    void work();

    std::unique_ptr<State> state_;
    pid_t process_;  // the process that started the threads
};

}  // namespace quillmere
