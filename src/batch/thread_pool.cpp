#include "batch/thread_pool.hpp"

#include <unistd.h>

#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/stop.hpp"

namespace quillmere {

// Everything the threads share with the pool, on the heap so that a forked process can leave it
// behind untouched.
struct ThreadPool::State {
    std::vector<std::thread> threads;
    std::mutex run_mutex;  // one run at a time

    std::mutex mutex;  // guards everything below
    std::condition_variable job_ready;
    std::condition_variable job_done;
    const std::function<void()>* job = nullptr;
    std::size_t unclaimed = 0;   // calls of the current job no thread has taken yet
    std::size_t unfinished = 0;  // calls of the current job not yet ended
    std::exception_ptr first_error;
    bool stopping = false;

    void stop_and_join() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        job_ready.notify_all();
        for (std::thread& t : threads) t.join();
    }
};

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

ThreadPool::ThreadPool(std::size_t threads)
    : state_(std::make_unique<State>()), process_(getpid()) {
    if (threads == 0) stop("a thread pool needs at least one thread");
    State& state = *state_;
    state.threads.reserve(threads);
    try {
        for (std::size_t k = 0; k < threads; ++k) {
            state.threads.emplace_back([this] { work(); });
        }
    } catch (...) {
        // Joinable threads must not be dropped, whatever refused the next one.
        state.stop_and_join();
        throw;
    }
}

ThreadPool::~ThreadPool() {
    if (!started_in_this_process()) {
        // The threads are not here to be joined, and a lock or condition variable may be held by
        // one of them, so releasing either could wait for ever: the state is left behind.
        static_cast<void>(state_.release());
        return;
    }
    state_->stop_and_join();
}

void ThreadPool::work() {
    current_pool = this;
    make_exception_state();
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    for (;;) {
        state.job_ready.wait(lock, [&] { return state.stopping || state.unclaimed > 0; });
        if (state.unclaimed == 0) return;
        --state.unclaimed;
        const std::function<void()>* job = state.job;
        lock.unlock();
        std::exception_ptr error;
        try {
            (*job)();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error && !state.first_error) state.first_error = error;
        if (--state.unfinished == 0) state.job_done.notify_all();
    }
}

std::size_t ThreadPool::size() const {
    return state_->threads.size();
}

bool ThreadPool::started_in_this_process() const {
    return process_ == getpid();
}

void ThreadPool::run(std::size_t copies, const std::function<void()>& job) {
    // Only a tick can fork into a process that still runs this call.
    static_cast<void>(run(copies, job, {}, {}));
}

ThreadPool::RunEnd ThreadPool::run(std::size_t copies, const std::function<void()>& job,
                                   std::chrono::milliseconds period,
                                   const std::function<void()>& tick) {
    State& state = *state_;
    if (current_pool == this) stop("a thread pool cannot run a job from one of its own threads");
    if (!started_in_this_process()) {
        stop("a thread pool cannot run in a process forked from the one that started it");
    }
    if (copies == 0) return RunEnd::AllEnded;
    std::lock_guard one_run(state.run_mutex);
    std::exception_ptr tick_error;
    std::exception_ptr error;
    {
        std::unique_lock lock(state.mutex);
        state.job = &job;
        state.unclaimed = copies;
        state.unfinished = copies;
        state.first_error = nullptr;
        state.job_ready.notify_all();
        const auto ended = [&] { return state.unfinished == 0; };
        while (tick && !tick_error && !state.job_done.wait_for(lock, period, ended)) {
            // The calls read the caller's data, so they are waited for whatever the tick does.
            lock.unlock();
            try {
                tick();
            } catch (...) {
                tick_error = std::current_exception();
            }
            // In a child forked by the tick no thread will end a call, and a thread that held the
            // lock at the fork never releases it: the run ends without taking it again.
            if (!started_in_this_process()) return RunEnd::ForkedDuringTick;
            lock.lock();
        }
        state.job_done.wait(lock, ended);
        state.job = nullptr;
        error = std::exchange(state.first_error, nullptr);
    }
    if (tick_error) std::rethrow_exception(tick_error);
    if (error) std::rethrow_exception(error);
    return RunEnd::AllEnded;
}

}  // namespace quillmere
