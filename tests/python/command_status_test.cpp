// command_status: the privileged command's exit status decided in an embedded runtime, the
// way the runtime's own exit would decide it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include <gtest/gtest.h>

#include "root_helper/core/python/py_module.hpp"

namespace tq8::py {
namespace {

class CommandStatus : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (Py_IsInitialized()) return;
        PyConfig config;
        PyConfig_InitIsolatedConfig(&config);
        config.site_import = 0;
        PyStatus st = Py_InitializeFromConfig(&config);
        PyConfig_Clear(&config);
        ASSERT_FALSE(PyStatus_Exception(st));
        ASSERT_EQ(PyRun_SimpleString(
                      "import io, sys\n"
                      "class Failing(io.StringIO):\n"
                      "    def flush(self):\n"
                      "        raise OSError(28, 'No space left on device')\n"),
                  0);
    }

    // The suite owns the runtime it started: finalising it returns what it allocated, so a leak
    // checker sees only what the code under test kept.
    static void TearDownTestSuite() {
        if (Py_IsInitialized()) Py_FinalizeEx();
    }

    // Fresh StringIO streams (or the given expressions) as sys.stdout and sys.stderr.
    void SetUp() override { streams("io.StringIO()", "io.StringIO()"); }

    void streams(const std::string& out, const std::string& err) {
        ASSERT_EQ(PyRun_SimpleString(("sys.stdout = " + out + "\nsys.stderr = " + err + "\n").c_str()), 0);
    }

    // Raises the exception the expression makes, then asks for the status.
    int status_after(const char* raise_expr) {
        PyObject* main = PyImport_AddModule("__main__");  // borrowed
        PyObject* globals = PyModule_GetDict(main);       // borrowed
        PyObject* exc = PyRun_String(raise_expr, Py_eval_input, globals, globals);
        EXPECT_NE(exc, nullptr) << raise_expr;
        PyErr_SetRaisedException(exc);
        int status = command_status(nullptr);
        EXPECT_FALSE(PyErr_Occurred()) << raise_expr;
        return status;
    }

    std::string captured(const char* which) {
        PyObject* stream = PySys_GetObject(which);
        PyObject* text = PyObject_CallMethod(stream, "getvalue", nullptr);
        std::string s = text ? PyUnicode_AsUTF8(text) : "?";
        Py_XDECREF(text);
        return s;
    }
};

TEST_F(CommandStatus, ExitRequestsEndAsTheRuntimeEndsThem) {
    struct Case {
        const char* raise;
        int status;
        std::string err;
    } cases[] = {
        {"SystemExit()", 0, ""},
        {"SystemExit(None)", 0, ""},
        {"SystemExit(0)", 0, ""},
        {"SystemExit(2)", 2, ""},
        {"SystemExit(True)", 1, ""},
        {"SystemExit(256 + 7)", 7, ""},
        {"SystemExit(-1)", 255, ""},
        {"SystemExit(10**30)", 255, ""},
        {"SystemExit(2**40)", 255, ""},  // beyond int: never truncated to a success
        {"SystemExit('sipran kapandı')", 1, "sipran kapandı\n"},
        {"SystemExit(2.5)", 1, "2.5\n"},
        {"SystemExit(1, 2)", 1, "(1, 2)\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        EXPECT_EQ(status_after(c.raise), c.status) << c.raise;
        EXPECT_EQ(captured("stderr"), c.err) << c.raise;
    }
}

TEST_F(CommandStatus, OtherErrorsPrintTheirTracebackAndGiveOne) {
    EXPECT_EQ(status_after("KeyError('yok')"), 1);
    EXPECT_EQ(captured("stderr"), "KeyError: 'yok'\n");
}

TEST_F(CommandStatus, PendingOutputIsFlushedAndAFailedFlushGives120) {
    // A BufferedWriter over a pipe-like sink: nothing reaches the StringIO until the flush.
    ASSERT_EQ(PyRun_SimpleString("sink = io.BytesIO()\n"
                                 "out = io.TextIOWrapper(io.BufferedWriter(sink, 8192), 'utf-8')\n"
                                 "out.write('{\"ok\": true}\\n')\n"),
              0);
    streams("out", "io.StringIO()");
    Py_INCREF(Py_None);
    EXPECT_EQ(command_status(Py_None), 0);
    Py_DECREF(Py_None);
    ASSERT_EQ(PyRun_SimpleString("assert sink.getvalue() == b'{\"ok\": true}\\n', sink.getvalue()\n"), 0);

    streams("Failing()", "io.StringIO()");
    EXPECT_EQ(status_after("SystemExit(3)"), 120);
    EXPECT_NE(captured("stderr").find("Exception ignored in"), std::string::npos);
    EXPECT_NE(captured("stderr").find("OSError: [Errno 28]"), std::string::npos);

    streams("io.StringIO()", "Failing()");
    EXPECT_EQ(status_after("SystemExit(0)"), 120);

    // A closed stdout has nothing left to flush.
    streams("io.StringIO()", "io.StringIO()");
    ASSERT_EQ(PyRun_SimpleString("sys.stdout.close()\n"), 0);
    EXPECT_EQ(status_after("SystemExit(4)"), 4);
}

}  // namespace
}  // namespace tq8::py
