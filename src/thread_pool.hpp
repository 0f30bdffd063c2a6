#pragma once
// Worker threads for batches, and the default worker count.

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quillmere {

// The worker count used when a caller names none: the environment variable RAYON_NUM_THREADS, else
// RAYON_RS_NUM_CPUS (each only when it holds a positive integer), else the number of logical
// processors. Read once, at the first call in the process, and fixed from then on.
std::size_t default_threads();

// A fixed set of threads, started together and idle between jobs. Dropping the pool tells its
// threads to stop and joins them. One caller at a time runs jobs on it; further callers wait.
class ThreadPool {
  public:
    // Starts exactly `threads` threads (at least one). When one cannot be started (the system
    // refuses it with std::system_error), the threads already started are stopped and joined and
    // the exception is rethrown.
    explicit ThreadPool(std::size_t threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t size() const { return threads_.size(); }

    // Runs `copies` calls of `job` on the pool's threads and returns when all have ended. An
    // exception never leaves a pool thread: the first one thrown by any call is rethrown here,
    // after every call has ended. Stops when called from one of the pool's own threads, which
    // would wait for itself.
    void run(std::size_t copies, const std::function<void()>& job);

  private:
    void work();

    std::vector<std::thread> threads_;
    std::mutex run_mutex_;  // one run at a time

    std::mutex mutex_;  // guards everything below
    std::condition_variable job_ready_;
    std::condition_variable job_done_;
    const std::function<void()>* job_ = nullptr;
    std::size_t unclaimed_ = 0;   // calls of the current job no thread has taken yet
    std::size_t unfinished_ = 0;  // calls of the current job not yet ended
    std::exception_ptr first_error_;
    bool stopping_ = false;
};

}  // namespace quillmere
