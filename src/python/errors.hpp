#pragma once
// Failures at the Python boundary: PanicException for stopped calls and unexpected C++ exceptions,
// MemoryError for exhausted memory, the note that names the argument whose conversion failed, and
// the exceptions signal handlers raise while a long call runs.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "common/interruption.hpp"
#include "common/stop.hpp"

namespace quillmere::python {

// The exception type of stopped calls, a BaseException subclass created once per process.
// Borrowed; nullptr with an exception set when it cannot be created.
PyObject* panic_exception_type();

// Sets an exception of `type` whose text is all of `message`: a NUL byte inside does not cut it
// short (a path may hold one), and bytes that are not UTF-8 are replaced.
void raise_text(PyObject* type, std::string_view message);

// Reports `message` on standard error and sets PanicException with it. Allocates nothing of its
// own before the exception is set, so it is safe in a handler of a noexcept function.
void raise_panic(std::string_view message);

// Asks the interpreter to run the handlers of signals that arrived (on the main thread; elsewhere
// it never answers true): true when one raised, KeyboardInterrupt for Ctrl-C, its exception then
// set. `context` is unused: the signature is Interruption's.
bool signal_handler_raised(const void* context);

// What the long calls (loading, solve and the batches) hand the core: Ctrl-C, or any signal handler
// that raises, ends them at their next waiting point with the handler's exception set.
inline constexpr Interruption kSignalInterruption{signal_handler_raised, nullptr};

// Adds the note "while processing '<parameter>'" to the exception being raised.
void add_parameter_note(const char* parameter);

// Runs `body` so that no C++ exception reaches the interpreter: a stop and any other exception
// become PanicException, exhausted memory MemoryError; `failed` is what the caller returns then.
// The thread's exception state is made first, so that exhausted memory can still be thrown.
template <class Body, class Result>
Result run_guarded(Body&& body, Result failed) noexcept {
    make_exception_state();
    try {
        return body();
    } catch (const Stop& stopped) {
        raise_panic(stopped.message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("a call failed with an exception of unknown type");
    }
    return failed;
}

}  // namespace quillmere::python
