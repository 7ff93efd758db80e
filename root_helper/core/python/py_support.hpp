// The Python face's small tools: owned references, the GIL guards, carrying a Python exception
// through the C++ library, and the one place where C++ exceptions become Python ones.
#pragma once

#include "root_helper/core/python/py_ref.hpp"

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace tq8::py {

// Holds what take() gives for one scope and hands it to give() at its end.
template <class State, State (*take)(), void (*give)(State)>
class Scoped {
public:
    Scoped() noexcept : state_(take()) {}
    ~Scoped() { give(state_); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
private:
    State state_;
};

// fn() run with the GIL let go, so that other Python threads run while the library blocks (a
// command, a probe, the guard); its result (plain C++: no Python object).
template <class Fn>
auto without_gil(Fn&& fn) {
    Scoped<PyThreadState*, PyEval_SaveThread, PyEval_RestoreThread> nogil;
    return fn();
}

// Takes the GIL for a seam that calls back into Python from library code.
using GilHold = Scoped<PyGILState_STATE, PyGILState_Ensure, PyGILState_Release>;

// A Python exception raised inside a seam, on its way through the library back to the
// interpreter. Exceptions must be copyable, so the exception object is shared; the last owner
// may be a library frame that runs without the GIL, so dropping it takes the GIL.
class PythonError final : public std::exception {
public:
    // Takes the exception currently set (the caller saw a C-API failure).
    PythonError()
        : exc_(PyErr_GetRaisedException(), [](PyObject* o) {
              if (!o) return;
              GilHold gil;
              Py_DECREF(o);
          }) {}
    const char* what() const noexcept override { return "Python exception"; }
    // Sets the exception again; the caller then returns its failure value to the interpreter.
    void restore() const noexcept {
        if (!exc_) {
            PyErr_SetString(PyExc_SystemError, "lost exception");
            return;
        }
        PyErr_SetRaisedException(Py_NewRef(exc_.get()));
    }
private:
    std::shared_ptr<PyObject> exc_;
};

// Throws PythonError when o is NULL; otherwise owns it.
inline PyRef check(PyObject* o) {
    if (!o) throw PythonError();
    return PyRef::steal(o);
}
// For C-API calls that report failure with -1 and an exception set (the conversions too).
template <class T>
T check_status(T rc) {
    if (rc == T(-1) && PyErr_Occurred()) throw PythonError();
    return rc;
}

// Runs body (returning PyObject*, NULL with an exception set on failure) so that no C++
// exception reaches the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& e) {
        // The library throws these with errno values only; OSError(errno, text) picks its
        // subclass (FileNotFoundError, ...) from the number.
        if (PyRef args = PyRef::steal(Py_BuildValue("(is)", e.code().value(), e.what())))
            PyErr_SetObject(PyExc_OSError, args.get());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

// Library texts are bytes; anything that came from Python through surrogateescape goes back
// the same way, so arguments from non-UTF-8 bytes round-trip.
inline PyRef to_str(std::string_view s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()),
                                      "surrogateescape"));
}

// The UTF-8 bytes of a str (surrogateescape); the surface text has checked the type.
inline std::string from_str(PyObject* o) {
    PyRef b = check(PyUnicode_AsEncodedString(o, "utf-8", "surrogateescape"));
    return std::string(PyBytes_AS_STRING(b.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
}

// A list of the strs of items.
inline PyRef to_str_list(const std::vector<std::string>& items) {
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_str(items[i]).release());
    return list;
}

}  // namespace tq8::py
