#pragma once
// Failures at the Python boundary: PanicException for stopped calls, and the note that names the
// argument whose conversion failed.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "stop.hpp"

namespace quillmere::python {

// The exception type of stopped calls, a BaseException subclass created once per process.
// Borrowed; nullptr with an exception set when it cannot be created.
PyObject* panic_exception_type();

// Reports `message` on standard error and sets PanicException with it.
void raise_panic(const std::string& message);

// Adds the note "while processing '<parameter>'" to the exception being raised.
void add_parameter_note(const char* parameter);

// Runs `body`, turning a stop into PanicException; `failed` is what the caller returns then.
template <class Body, class Result>
Result run_guarded(Body&& body, Result failed) noexcept {
    try {
        return body();
    } catch (const Stop& stopped) {
        raise_panic(stopped.message);
        return failed;
    }
}

}  // namespace quillmere::python
