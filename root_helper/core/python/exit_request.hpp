// The status an exit request (SystemExit) ends a process with: shared by the launcher and the
// privileged command, so the two agree on every code.
#pragma once

#include "root_helper/core/python/py_ref.hpp"

#include <climits>
#include <cstdio>

namespace tq8::py {

// What to do with a code that is neither None nor an integer: the launcher ends with 1 and
// shows nothing; the command prints it on sys.stderr first, as the runtime's own exit does.
enum class OtherCode { kHide, kPrint };

// The status for the exit request exc (already fetched; borrowed): its `code` attribute, or
// the exception itself when that cannot be read. None: 0. An integer: its low eight bits
// (true and false are 1 and 0); one beyond what exit() takes ends with 255, as the runtime's
// -1 for an overflow does, instead of letting a truncation turn a failure code like 2**40 into
// 0. Anything else: 1. Needs the GIL; leaves no error set.
inline int exit_request_status(PyObject* exc, OtherCode other) {
    PyRef code = PyRef::steal(PyObject_GetAttrString(exc, "code"));
    if (!code) {
        PyErr_Clear();
        code = PyRef::borrow(exc);
    }
    if (code.get() == Py_None) return 0;
    if (PyLong_Check(code.get())) {
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(code.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return 1;
        }
        if (overflow != 0 || value < INT_MIN || value > INT_MAX) return 255;
        return static_cast<int>(value) & 0xff;
    }
    if (other == OtherCode::kPrint) {
        PyObject* err = PySys_GetObject("stderr");  // borrowed
        if (err && err != Py_None) {
            if (PyFile_WriteObject(code.get(), err, Py_PRINT_RAW) < 0) PyErr_Clear();
        } else {
            if (PyObject_Print(code.get(), stderr, Py_PRINT_RAW) < 0) PyErr_Clear();
            std::fflush(stderr);
        }
        PySys_WriteStderr("\n");
    }
    return 1;
}

}  // namespace tq8::py
