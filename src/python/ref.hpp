#pragma once
// An owned strong reference to a Python object, released when it goes out of scope.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillmere::python {

class Ref {
  public:
    Ref() = default;
    // Takes over a new reference (nullptr allowed: an empty Ref).
    static Ref steal(PyObject* object) {
        Ref ref;
        ref.object_ = object;
        return ref;
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        object_ = std::exchange(other.object_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

// Casts a method of any calling convention to the pointer type of a method table entry.
template <class F>
PyCFunction as_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace quillmere::python
