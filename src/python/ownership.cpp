#include "ownership.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <string>

#include "errors.hpp"

namespace quillmere::python {

std::uint64_t current_thread_id() {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

bool check_owner(std::uint64_t owner, const char* type_name) {
    const std::uint64_t caller = current_thread_id();
    if (caller == owner) return true;
    raise_panic("assertion `left == right` failed: " + std::string(type_name) +
                " is unsendable, but sent to another thread\n  left: ThreadId(" +
                std::to_string(caller) + ")\n right: ThreadId(" + std::to_string(owner) + ")");
    return false;
}

Borrow::Borrow(BorrowFlag& flag, BorrowKind kind) : flag_(flag), kind_(kind) {
    if (kind == BorrowKind::Exclusive) {
        if (flag.state != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        flag.state = -1;
    } else {
        if (flag.state < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
        ++flag.state;
    }
    held_ = true;
}

Borrow::~Borrow() {
    if (!held_) return;
    if (kind_ == BorrowKind::Exclusive) {
        flag_.state = 0;
    } else {
        --flag_.state;
    }
}

}  // namespace quillmere::python
