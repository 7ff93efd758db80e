// main: the command-line front end (the runtime's argparse and json, one action per run).
#include "root_helper/core/python/py_module.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "root_helper/core/audit_log.hpp"
#include "root_helper/core/texts.hpp"
#include "root_helper/netops/netops.hpp"

namespace tq8::py {
namespace {

PyObject* translate(PyObject* table, PyObject* message) {
    PyObject* t = PyDict_GetItemWithError(table, message);
    if (t) return Py_NewRef(t);
    if (PyErr_Occurred()) return nullptr;
    return Py_NewRef(message);
}

PyObject* turkish_ngettext(PyObject* table, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "ngettext() takes 3 arguments");
        return nullptr;
    }
    long n = PyLong_AsLong(args[2]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    return translate(table, n == 1 ? args[0] : args[1]);
}

PyMethodDef kGettextDef = {"_", translate, METH_O, nullptr};
PyMethodDef kNgettextDef = {"ngettext", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(turkish_ngettext)),
                            METH_FASTCALL, nullptr};

// Holds argparse's `_` and `ngettext` swapped for the Turkish ones; puts the originals back
// on every way out, an exception in flight (SystemExit from a usage error) included.
class TurkishArgparse {
public:
    explicit TurkishArgparse(PyObject* argparse) : argparse_(PyRef::borrow(argparse)) {
        PyRef table = check(PyDict_New());
        for (const auto& [en, tr] : texts::kArgparseTexts) {
            PyRef v = check(PyUnicode_FromString(tr));
            check_status(PyDict_SetItemString(table.get(), en, v.get()));
        }
        PyRef g = check(PyCFunction_New(&kGettextDef, table.get()));
        PyRef ng = check(PyCFunction_New(&kNgettextDef, table.get()));
        old_gettext_ = check(PyObject_GetAttrString(argparse, "_"));
        old_ngettext_ = check(PyObject_GetAttrString(argparse, "ngettext"));
        check_status(PyObject_SetAttrString(argparse, "_", g.get()));
        if (PyObject_SetAttrString(argparse, "ngettext", ng.get()) < 0) {
            // No destructor runs for a constructor that throws: undo the first swap here.
            PyObject* pending = PyErr_GetRaisedException();
            if (PyObject_SetAttrString(argparse, "_", old_gettext_.get()) < 0) PyErr_Clear();
            PyErr_SetRaisedException(pending);
            throw PythonError();
        }
        swapped_ = true;
    }
    ~TurkishArgparse() {
        if (!swapped_) return;
        PyObject* pending = PyErr_GetRaisedException();
        if (PyObject_SetAttrString(argparse_.get(), "_", old_gettext_.get()) < 0) PyErr_Clear();
        if (PyObject_SetAttrString(argparse_.get(), "ngettext", old_ngettext_.get()) < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    TurkishArgparse(const TurkishArgparse&) = delete;
    TurkishArgparse& operator=(const TurkishArgparse&) = delete;
private:
    PyRef argparse_, old_gettext_, old_ngettext_;
    bool swapped_ = false;
};

PyRef kwargs(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    PyRef d = check(PyDict_New());
    for (const auto& [k, v] : items) check_status(PyDict_SetItemString(d.get(), k, v));
    return d;
}

PyRef text(const char* s) { return check(PyUnicode_FromString(s)); }

PyRef attr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

void add_argument(PyObject* parser, const char* name, const PyRef& kw) {
    PyRef method = check(PyObject_GetAttrString(parser, "add_argument"));
    PyRef args = check(Py_BuildValue("(s)", name));
    check(PyObject_Call(method.get(), args.get(), kw.get()));
}

// The terminal width the way shutil.get_terminal_size() finds it: $COLUMNS, else the size
// of the terminal on sys.__stdout__, else 80.
long terminal_columns() {
    long columns = 0;
    if (const char* env = std::getenv("COLUMNS")) {
        PyRef n = PyRef::steal(PyLong_FromString(env, nullptr, 10));
        if (n) columns = PyLong_AsLong(n.get());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            columns = 0;
        }
    }
    if (columns <= 0) {
        PyObject* out = PySys_GetObject("__stdout__");  // borrowed
        int fd = out && out != Py_None ? PyObject_AsFileDescriptor(out) : -1;
        if (fd < 0) PyErr_Clear();
        struct winsize ws {};
        if (fd >= 0 && ::ioctl(fd, TIOCGWINSZ, &ws) == 0) columns = ws.ws_col;
    }
    return columns > 0 ? columns : 80;
}

// HelpFormatter with its width given. Left to itself it imports shutil (and with it bz2,
// lzma, fnmatch) for the terminal size, on every parser construction: a fifth of the
// helper's start-up for one number.
PyRef formatter_class(PyObject* argparse) {
    PyRef functools = check(PyImport_ImportModule("functools"));
    PyRef partial = attr(functools.get(), "partial");
    PyRef help_formatter = attr(argparse, "HelpFormatter");
    PyRef args = check(PyTuple_Pack(1, help_formatter.get()));
    PyRef width = check(PyLong_FromLong(terminal_columns() - 2));
    return check(PyObject_Call(partial.get(), args.get(), kwargs({{"width", width.get()}}).get()));
}

// The parsed namespace, its `action` one of choices; SystemExit (status 2, or 0 for the help)
// when parsing ends the run.
PyRef parse_arguments(PyObject* choices) {
    PyRef argparse = check(PyImport_ImportModule("argparse"));
    TurkishArgparse turkish(argparse.get());

    PyRef parser_type = check(PyObject_GetAttrString(argparse.get(), "ArgumentParser"));
    PyRef empty = check(PyTuple_New(0));
    PyRef description = to_str(texts::kParserDescription);
    PyRef formatter = formatter_class(argparse.get());
    PyRef parser = check(PyObject_Call(parser_type.get(), empty.get(),
                                       kwargs({{"description", description.get()},
                                               {"formatter_class", formatter.get()}}).get()));

    PyRef up_down = check(Py_BuildValue("[ss]", "up", "down"));
    PyRef store_true = text("store_true");
    PyRef int_type = PyRef::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    PyRef mtu_default = check(PyLong_FromLong(netops::kTunnelMtu));

    add_argument(parser.get(), "action",
                 kwargs({{"choices", choices},
                         {"help", to_str(texts::kHelpAction).get()}}));
    add_argument(parser.get(), "--iface",
                 kwargs({{"default", text("wlp0s20f3").get()},
                         {"help", to_str(texts::kHelpIface).get()}}));
    add_argument(parser.get(), "--mtu",
                 kwargs({{"type", int_type.get()},
                         {"default", mtu_default.get()},
                         {"help", to_str(texts::kHelpMtu).get()}}));
    add_argument(parser.get(), "--enable",
                 kwargs({{"action", store_true.get()},
                         {"help", to_str(texts::kHelpEnable).get()}}));
    add_argument(parser.get(), "--disable",
                 kwargs({{"action", store_true.get()},
                         {"help", to_str(texts::kHelpDisable).get()}}));
    add_argument(parser.get(), "--wg-action",
                 kwargs({{"choices", up_down.get()},
                         {"default", text("up").get()},
                         {"help", to_str(texts::kHelpWgAction).get()}}));
    add_argument(parser.get(), "--conf",
                 kwargs({{"default", text("").get()},
                         {"help", to_str(texts::kHelpConf).get()}}));
    add_argument(parser.get(), "--split-ips",
                 kwargs({{"default", text("").get()},
                         {"help", to_str(texts::kHelpSplitIps).get()}}));

    PyObject* argv = PySys_GetObject("argv");  // borrowed
    PyRef rest;
    if (argv && PyList_Check(argv) && PyList_GET_SIZE(argv) > 0)
        rest = check(PyList_GetSlice(argv, 1, PyList_GET_SIZE(argv)));
    else
        rest = check(PyList_New(0));
    return check(PyObject_CallMethod(parser.get(), "parse_args", "O", rest.get()));
}

// "a, ,b," → ["a", "b"]: blank pieces dropped, the others kept as given (the operation trims).
PyRef split_ips(PyObject* text) {
    PyRef comma = check(PyUnicode_FromString(","));
    PyRef pieces = check(PyUnicode_Split(text, comma.get(), -1));
    PyRef kept = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        PyObject* piece = PyList_GET_ITEM(pieces.get(), i);
        PyRef stripped = check(PyObject_CallMethod(piece, "strip", nullptr));
        if (PyUnicode_GET_LENGTH(stripped.get()) > 0)
            check_status(PyList_Append(kept.get(), piece));
    }
    return kept;
}

// One line of JSON as UTF-8 bytes whatever the locale; lone surrogates (arguments that were
// not UTF-8) come out as \udcXX escapes instead of ending the run with an encoding error.
void print_record(PyObject* record) {
    PyRef json = check(PyImport_ImportModule("json"));
    PyRef dumps = attr(json.get(), "dumps");
    PyRef args = check(PyTuple_Pack(1, record));
    PyRef line = check(PyObject_Call(dumps.get(), args.get(),
                                     kwargs({{"ensure_ascii", Py_False}}).get()));
    PyRef nl = check(PyUnicode_FromString("\n"));
    line = check(PyUnicode_Concat(line.get(), nl.get()));
    PyRef bytes = check(PyUnicode_AsEncodedString(line.get(), "utf-8", "backslashreplace"));

    PyRef out = PyRef::borrow(PySys_GetObject("stdout"));
    if (!out || out.get() == Py_None) return;
    check(PyObject_CallMethod(out.get(), "flush", nullptr));  // keep what was written before first
    PyRef buffer = PyRef::steal(PyObject_GetAttrString(out.get(), "buffer"));
    if (!buffer) {
        // A text stream without bytes underneath (a caller's StringIO): write the same text.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
        PyErr_Clear();
        PyRef same = check(PyUnicode_FromEncodedObject(bytes.get(), "utf-8", "strict"));
        check(PyObject_CallMethod(out.get(), "write", "O", same.get()));
        check(PyObject_CallMethod(out.get(), "flush", nullptr));
        return;
    }
    check(PyObject_CallMethod(buffer.get(), "write", "O", bytes.get()));
    check(PyObject_CallMethod(buffer.get(), "flush", nullptr));
}

[[noreturn]] void exit_with(PyObject* code) {
    PyErr_SetObject(PyExc_SystemExit, code);
    throw PythonError();
}

[[noreturn]] void exit_with(long status) { exit_with(check(PyLong_FromLong(status)).get()); }

// /dev/null, opened for `flags`, in place of the descriptor of sys.<stream> (nothing when that
// stream has no descriptor); `only_fd` >= 0: only when that is the descriptor.
void null_in_place_of(const char* stream, int flags, int only_fd = -1) {
    PyObject* s = PySys_GetObject(stream);  // borrowed
    if (!s || s == Py_None) return;
    int fd = PyObject_AsFileDescriptor(s);
    if (fd < 0) PyErr_Clear();
    if (fd < 0 || (only_fd >= 0 && fd != only_fd)) return;
    int null_fd = ::open("/dev/null", flags | O_CLOEXEC);
    if (null_fd < 0) return;
    ::dup2(null_fd, fd);
    ::close(null_fd);
}

// The guard's reader went away while lines were pending in sys.stdout's buffers; the
// runtime would try them again at exit and turn the failure into status 120. Our reader is
// gone for good, so the rest of its output goes nowhere.
void drop_pending_output() { null_in_place_of("stdout", O_WRONLY); }

// The privileged command lets go of the caller's standard input where its action reads none
// (all but the guard): /dev/null in its place. Before the run lock: closing a descriptor on a
// file the caller serves (a user-space file system) can wait for the caller's answer, and only
// this run may wait for it. Only when fd 0 is sys.stdin's: a helper started with it closed has
// something of its own there.
void release_caller_stdin() { null_in_place_of("stdin", O_RDONLY, STDIN_FILENO); }

// The guard's start and end in the audit trail; its commands leave their own lines.
void guard_note(PyObject* module, const std::string& text) {
    if (state_of(module).audit_enabled) core::audit_note("dns-guard", text);
}

long guard_status(PyObject* module) {
    guard_note(module, std::string(texts::kGuardNoteStarting));
    GuardRun run;
    try {
        run = run_dns_guard(module);
    } catch (...) {
        guard_note(module, std::string(texts::kGuardNoteError));
        throw;
    }
    if (run.outcome.signal)
        guard_note(module, texts::guard_note_signal(run.outcome.signal));
    else if (run.outcome.result != 0)
        guard_note(module, texts::guard_note_not_started(run.outcome.result));
    else
        guard_note(module, std::string(run.reader_gone ? texts::kGuardNoteReaderGone : texts::kGuardNoteDone));
    if (run.reader_gone) drop_pending_output();
    // A termination signal ended the watch after the clean-up: its conventional status.
    if (run.outcome.signal) return 128 + run.outcome.signal;
    return run.outcome.result;
}


// Each action: the operation it calls and how the run ends. The four that change the system
// return the record to print (the run then ends with 0); dns-guard and dns-off end the run
// themselves with their status.
PyRef run_dns_guard_action(PyObject* module, PyObject*) {
    PyRef fn = replacement(module, kDnsGuard);
    if (!fn) exit_with(guard_status(module));
    exit_with(check(PyObject_CallNoArgs(fn.get())).get());
}

PyRef run_dns_off(PyObject* module, PyObject*) {
    PyRef fn = attr(module, "remove_dns_redirect");
    PyRef result = check(PyObject_CallNoArgs(fn.get()));
    bool removed = check_status(PyObject_IsTrue(result.get())) == 1;
    print_record(kwargs({{"ok", removed ? Py_True : Py_False}}).get());
    exit_with(removed ? 0 : 1);
}

PyRef run_mtu(PyObject* module, PyObject* ns) {
    PyRef fn = attr(module, "set_mtu");
    PyRef iface = attr(ns, "iface");
    PyRef mtu = attr(ns, "mtu");
    return check(PyObject_CallFunctionObjArgs(fn.get(), iface.get(), mtu.get(), nullptr));
}

PyRef run_killswitch(PyObject* module, PyObject* ns) {
    PyRef fn = attr(module, "manage_killswitch");
    bool enable = check_status(PyObject_IsTrue(attr(ns, "enable").get())) == 1 &&
                  check_status(PyObject_IsTrue(attr(ns, "disable").get())) == 0;
    PyRef ips = split_ips(attr(ns, "split_ips").get());
    PyRef empty = check(PyTuple_New(0));
    return check(PyObject_Call(fn.get(), empty.get(),
                               kwargs({{"enable", enable ? Py_True : Py_False},
                                       {"split_ips", ips.get()}}).get()));
}

PyRef run_wireguard(PyObject* module, PyObject* ns) {
    PyRef fn = attr(module, "manage_wireguard");
    PyRef args = check(PyTuple_Pack(1, attr(ns, "wg_action").get()));
    return check(PyObject_Call(fn.get(), args.get(),
                               kwargs({{"conf_path", attr(ns, "conf").get()},
                                       {"mtu", attr(ns, "mtu").get()}}).get()));
}

PyRef run_reset(PyObject* module, PyObject*) {
    PyRef fn = attr(module, "emergency_network_reset");
    return check(PyObject_CallNoArgs(fn.get()));
}

struct Action {
    std::string_view name;
    PyRef (*run)(PyObject* module, PyObject* ns);
};

// In the order usage and help list them; the parser admits exactly these.
constexpr Action kActions[] = {
    {"mtu", run_mtu},
    {"killswitch", run_killswitch},
    {"wireguard", run_wireguard},
    {"reset-network", run_reset},
    {"dns-guard", run_dns_guard_action},
    {"dns-off", run_dns_off},
};

}  // namespace

PyObject* front_end_main(PyObject* module) noexcept {
    return guarded([&]() -> PyObject* {
        PyRef choices = check(PyList_New(0));
        for (const Action& a : kActions) check_status(PyList_Append(choices.get(), to_str(a.name).get()));
        PyRef ns = parse_arguments(choices.get());
        std::string action = from_str(attr(ns.get(), "action").get(), "action");
        if (state_of(module).audit_enabled && action != "dns-guard") release_caller_stdin();
        AuditScope audit(module, action);
        for (const Action& a : kActions) {
            if (a.name != action) continue;
            print_record(a.run(module, ns.get()).get());
            Py_RETURN_NONE;
        }
        throw std::logic_error("the parser admitted an action it does not list");
    });
}

}  // namespace tq8::py
