// The privileged command's exit status: how main() ended, then the last flush of the streams.
#include "root_helper/core/python/exit_request.hpp"
#include "root_helper/core/python/py_module.hpp"

#include <string_view>

namespace tq8::py {
namespace {

bool is_closed(PyObject* stream) {
    PyRef closed = PyRef::steal(PyObject_GetAttrString(stream, "closed"));
    if (!closed) {
        PyErr_Clear();
        return false;
    }
    int yes = PyObject_IsTrue(closed.get());
    if (yes < 0) PyErr_Clear();
    return yes > 0;
}

// The runtime's last flush of the standard streams: a stdout that cannot take its pending
// output is reported like an unraisable error; either failure means 120.
bool flush_standard_streams() {
    bool ok = true;
    for (const char* name : {"stdout", "stderr"}) {
        PyObject* stream = PySys_GetObject(name);  // borrowed
        if (!stream || stream == Py_None || is_closed(stream)) continue;
        PyRef r = PyRef::steal(PyObject_CallMethod(stream, "flush", nullptr));
        if (r) continue;
        ok = false;
        if (std::string_view(name) == "stdout")
            PyErr_WriteUnraisable(stream);
        else
            PyErr_Clear();
    }
    return ok;
}

}  // namespace

int command_status(PyObject* result) noexcept {
    int status = 0;
    if (!result) {
        if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
            PyRef exc = PyRef::steal(PyErr_GetRaisedException());
            status = exit_request_status(exc.get(), OtherCode::kPrint);
        } else {
            PyErr_Print();
            status = 1;
        }
    }
    if (!flush_standard_streams()) status = 120;
    return status;
}

}  // namespace tq8::py
