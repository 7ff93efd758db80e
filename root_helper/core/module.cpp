// The tq8_root_helper module: surface text, native functions, seams.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
static PyModuleDef kDef = {PyModuleDef_HEAD_INIT, "tq8_root_helper", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_tq8_root_helper(void) { return PyModuleDef_Init(&kDef); }
