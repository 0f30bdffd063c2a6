#pragma once
// The calling protocol shared by every PowerFlowModel instance method and getter: owner-thread
// check, borrow, then the body with stops turned into PanicException; the borrow is released on
// every path.

#include "errors.hpp"
#include "model.hpp"

namespace quillmere::python {

template <BorrowKind kind, class Body>
PyObject* call_model(PyObject* self, Body&& body) noexcept {
    auto* object = reinterpret_cast<ModelObject*>(self);
    if (!check_owner(object->owner, kModelTypeName)) return nullptr;
    Borrow borrow(object->borrow, kind);
    if (!borrow.held()) return nullptr;
    return run_guarded([&]() -> PyObject* { return body(*object->model); },
                       static_cast<PyObject*>(nullptr));
}

}  // namespace quillmere::python
