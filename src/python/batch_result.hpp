#pragma once
// The Python class BatchResult: one batch scenario's voltages and convergence detail, read-only.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

namespace quillmere::python {

struct BatchResultData {
    std::vector<double> voltage_mag;  // per-unit, node order
    std::vector<double> voltage_ang;  // radians, node order
    std::uint64_t iterations = 0;
    double max_mismatch = 0.0;
    bool converged = false;
};

// The class object, made at the first call and kept for the process. Borrowed; nullptr with an
// exception set when it cannot be made.
PyTypeObject* batch_result_type();

// A new BatchResult holding `data`; nullptr with an exception set on failure.
PyObject* new_batch_result(BatchResultData data);

}  // namespace quillmere::python
