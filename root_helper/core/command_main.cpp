// The privileged command.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
int main() { return 0; }
