#include "thread_pool.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace quillmere {
namespace {

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

}  // namespace quillmere
