// Records into dicts: the one conversion of the library's results for Python.
#include "root_helper/core/python/py_module.hpp"

#include <type_traits>
#include <variant>

namespace tq8::py {

PyRef to_python(const core::Record& record) {
    PyRef d = check(PyDict_New());
    check_status(PyDict_SetItemString(d.get(), "ok", record.ok ? Py_True : Py_False));
    for (const auto& [key, value] : record.state) {
        PyRef v = std::visit(
            [](const auto& x) -> PyRef {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, bool>) return PyRef::borrow(x ? Py_True : Py_False);
                else if constexpr (std::is_same_v<T, long long>) return check(PyLong_FromLongLong(x));
                else if constexpr (std::is_same_v<T, std::string>) return to_str(x);
                else return check(PyLong_FromString(x.decimal.c_str(), nullptr, 10));
            },
            value);
        check_status(PyDict_SetItemString(d.get(), key.c_str(), v.get()));
    }
    PyRef logs = check(PyList_New(static_cast<Py_ssize_t>(record.logs.size())));
    for (std::size_t i = 0; i < record.logs.size(); ++i) {
        const core::LogEntry& e = record.logs[i];
        PyRef cmd = to_str(e.cmd), out = to_str(e.out), err = to_str(e.err);
        PyList_SET_ITEM(logs.get(), static_cast<Py_ssize_t>(i),
                        check(Py_BuildValue("{s:O,s:i,s:O,s:O}", "cmd", cmd.get(), "rc", e.rc,
                                            "stdout", out.get(), "stderr", err.get())).release());
    }
    check_status(PyDict_SetItemString(d.get(), "logs", logs.get()));
    return d;
}

}  // namespace tq8::py
