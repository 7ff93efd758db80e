// The command-line front end, compiled by the module's exec slot into a namespace of its own
// (not the module's, whose names are the published surface), which the surface text
// (surface.hpp) shares. What the exec slot puts there: _m, the module (each action calls its
// current attribute, so a caller's replacement is honoured); _T, the texts; _native, the
// natives and constants, among them _audit_scope(action), which names the audited action
// ("" ends it) and says whether this run is the privileged command's, and _guard_status(),
// the guard run with its audit notes, its exit status.
#pragma once

namespace tq8::py {

inline constexpr char kFrontEndSource[] = R"py(
import os, sys


def _columns():
    # The width shutil.get_terminal_size() would find, without importing shutil (and with it
    # bz2, lzma, fnmatch) on every parser construction: a fifth of the start-up for one number.
    try:
        if 0 < (columns := int(os.environ["COLUMNS"])) < 2**63:
            return columns
    except (KeyError, ValueError):
        pass
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80
    except (AttributeError, ValueError, OSError):
        return 80


def _parse():
    import argparse, functools
    table = _T["argparse"]
    saved = argparse._, argparse.ngettext
    # argparse looks its module-global `_` and `ngettext` up each time it needs a text.
    argparse._ = lambda m: table.get(m, m)
    argparse.ngettext = lambda s, p, n: table.get(s if n == 1 else p, s if n == 1 else p)
    try:
        parser = argparse.ArgumentParser(
            description=_T["description"],
            formatter_class=functools.partial(argparse.HelpFormatter, width=_columns() - 2))
        add = parser.add_argument
        add("action", choices=list(_ACTIONS), help=_T["action"])
        add("--iface", default="wlp0s20f3", help=_T["iface"])
        add("--mtu", type=int, default=_native.TUNNEL_MTU, help=_T["mtu"])
        add("--enable", action="store_true", help=_T["enable"])
        add("--disable", action="store_true", help=_T["disable"])
        add("--wg-action", choices=["up", "down"], default="up", help=_T["wg_action"])
        add("--conf", default="", help=_T["conf"])
        add("--split-ips", default="", help=_T["split_ips"])
        argv = getattr(sys, "argv", None)
        return parser.parse_args(argv[1:] if isinstance(argv, list) else [])
    finally:
        argparse._, argparse.ngettext = saved


def _print(record):
    import json
    # UTF-8 whatever the locale; lone surrogates (arguments that were not UTF-8) come out as
    # \udcXX escapes instead of ending the run with an encoding error.
    data = (json.dumps(record, ensure_ascii=False) + "\n").encode("utf-8", "backslashreplace")
    if (out := getattr(sys, "stdout", None)) is None:
        return
    out.flush()
    try:
        stream = out.buffer
    except AttributeError:
        # A text stream without bytes underneath (a caller's StringIO): the same text.
        stream, data = out, data.decode("utf-8")
    stream.write(data)
    stream.flush()


def _release_stdin():
    # The privileged command lets go of the caller's standard input where its action reads
    # none: closing a descriptor on a file the caller serves (a user-space file system) can
    # wait for the caller's answer, and only this run, before the run lock, may wait for it.
    # Only when fd 0 is sys.stdin's: a helper started with it closed has something of its
    # own there.
    try:
        if sys.stdin.fileno() == 0:
            null = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
            try:
                os.dup2(null, 0)
            finally:
                os.close(null)
    except Exception:
        pass


def _guard(ns):
    guard = _m.dns_guard
    raise SystemExit(_native._guard_status() if guard is dns_guard else guard())


def _dns_off(ns):
    removed = bool(_m.remove_dns_redirect())
    _print({"ok": removed})
    raise SystemExit(0 if removed else 1)


# In the order usage and help list them; the parser admits exactly these.
_ACTIONS = {
    "mtu": lambda ns: _m.set_mtu(ns.iface, ns.mtu),
    "killswitch": lambda ns: _m.manage_killswitch(
        enable=ns.enable and not ns.disable,
        split_ips=[ip for ip in ns.split_ips.split(",") if ip.strip()]),
    "wireguard": lambda ns: _m.manage_wireguard(ns.wg_action, conf_path=ns.conf, mtu=ns.mtu),
    "reset-network": lambda ns: _m.emergency_network_reset(),
    "dns-guard": _guard,
    "dns-off": _dns_off,
}


def _exit_status(code):
    # None: 0. An int: its low eight bits (True and False are 1 and 0); one beyond what exit()
    # takes ends with 255, as the runtime's -1 for an overflow does, so that a failure code like
    # 2**40 never truncates to 0. Anything else is shown on sys.stderr: 1.
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF if -2**31 <= code < 2**31 else 255
    _write_stderr(str(code) + "\n")
    return 1


def _write_stderr(text):
    try:
        if (err := getattr(sys, "stderr", None)) is not None:
            err.write(text)
    except BaseException:
        pass


def _flushed():
    # The runtime's last flush of the standard streams: a stdout that cannot take its pending
    # output is shown as the runtime shows an error it cannot raise.
    ok = True
    for name in ("stdout", "stderr"):
        stream = getattr(sys, name, None)
        try:
            if stream is None or stream.closed:
                continue
        except BaseException:
            pass
        try:
            stream.flush()
        except BaseException as e:
            ok = False
            if name == "stdout":
                t = type(e)
                where = "" if t.__module__ in ("builtins", "__main__") else t.__module__ + "."
                _write_stderr(f"Exception ignored in: {stream!r}\n{where}{t.__qualname__}: {e}\n")
    return ok


def _command():
    # The privileged command's run of the module's current main() and its exit status, as the
    # runtime's own exit decides it; the command then ends with _exit() instead of tearing the
    # runtime down (about 3 ms of a 16 ms run). A failed last flush gives 120.
    try:
        _m.main()
        status = 0
    except SystemExit as e:
        status = _exit_status(getattr(e, "code", e))
    except BaseException as e:
        # Shown from main() on, as if it had left main() for the runtime.
        sys.excepthook(type(e), e, e.with_traceback(e.__traceback__.tb_next).__traceback__)
        status = 1
    return status if _flushed() else 120


def main() -> "None":
    ns = _parse()
    if _native._audit_scope(ns.action) and ns.action != "dns-guard":
        _release_stdin()
    try:
        _print(_ACTIONS[ns.action](ns))
    finally:
        _native._audit_scope("")
)py";

}  // namespace tq8::py
