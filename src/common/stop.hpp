#pragma once
// A stop: the one exception of the core library. It is thrown only when an internal invariant or a
// calling contract is broken (an index out of range, a vector shorter than required, a poisoned
// lock); numeric and input failures are values, never stops. The Python layer turns a stop into
// PanicException and reports it on standard error.

#include <cstddef>
#include <exception>
#include <string>
#include <utility>

namespace quillmere {

struct Stop {
    std::string message;
};

[[noreturn]] inline void stop(std::string message) {
    throw Stop{std::move(message)};
}

// Stops with the standard index message when `index` is not below `len`.
inline void check_index(std::size_t index, std::size_t len) {
    if (index >= len) {
        stop("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
             std::to_string(index));
    }
}

// Stops unless a vector of `len` entries holds at least `needed`.
inline void check_len(std::size_t len, std::size_t needed, const char* what) {
    if (len < needed) {
        stop(std::string(what) + " holds " + std::to_string(len) + " values but " +
             std::to_string(needed) + " are required");
    }
}

// Makes the calling thread's C++ exception state now. The runtime makes it at the thread's first
// throw, with malloc: were that throw a std::bad_alloc, there could be no memory for it, and the C
// library then aborts the process. Threads that may run out of memory call this first.
inline void make_exception_state() {
    // The volatile store keeps the call, which the library declares pure.
    volatile int uncaught = std::uncaught_exceptions();
    static_cast<void>(uncaught);
}

}  // namespace quillmere
