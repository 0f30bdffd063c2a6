#include "thread_pool.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "stop.hpp"

namespace quillmere {
namespace {

// The pool whose thread is running, so that a job cannot wait on its own pool.
thread_local const ThreadPool* current_pool = nullptr;

// A positive decimal count, or 0 when the variable is unset, empty, malformed or zero.
std::size_t count_from_env(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) return 0;
    const char* end = text + std::strlen(text);
    std::size_t value = 0;
    auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || ptr != end) return 0;
    return value;
}

std::size_t read_default_threads() {
    if (std::size_t n = count_from_env("RAYON_NUM_THREADS"); n > 0) return n;
    if (std::size_t n = count_from_env("RAYON_RS_NUM_CPUS"); n > 0) return n;
    unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

}  // namespace

std::size_t default_threads() {
    static const std::size_t count = read_default_threads();
    return count;
}

ThreadPool::ThreadPool(std::size_t threads) {
    if (threads == 0) stop("a thread pool needs at least one thread");
    threads_.reserve(threads);
    try {
        for (std::size_t k = 0; k < threads; ++k) threads_.emplace_back([this] { work(); });
    } catch (...) {
        // Joinable threads must not be dropped, whatever refused the next one.
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        job_ready_.notify_all();
        for (std::thread& t : threads_) t.join();
        throw;
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    job_ready_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void ThreadPool::run(std::size_t copies, const std::function<void()>& job) {
    if (current_pool == this) stop("a thread pool cannot run a job from one of its own threads");
    if (copies == 0) return;
    std::lock_guard one_run(run_mutex_);
    std::exception_ptr error;
    {
        std::unique_lock lock(mutex_);
        job_ = &job;
        unclaimed_ = copies;
        unfinished_ = copies;
        first_error_ = nullptr;
        job_ready_.notify_all();
        job_done_.wait(lock, [this] { return unfinished_ == 0; });
        job_ = nullptr;
        error = std::exchange(first_error_, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

void ThreadPool::work() {
    current_pool = this;
    std::unique_lock lock(mutex_);
    for (;;) {
        job_ready_.wait(lock, [this] { return stopping_ || unclaimed_ > 0; });
        if (unclaimed_ == 0) return;
        --unclaimed_;
        const std::function<void()>* job = job_;
        lock.unlock();
        std::exception_ptr error;
        try {
            (*job)();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error && !first_error_) first_error_ = error;
        if (--unfinished_ == 0) job_done_.notify_all();
    }
}

}  // namespace quillmere
