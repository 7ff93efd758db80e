// The module's published surface, declared once: the Python text of every function and
// constant, in the order the module publishes them. The natives behind them are in module.cpp;
// the typing stub is written from the built module (cmake/make_stub.py).
#pragma once

namespace tq8::py {

// The published surface in the order the module publishes it, evaluated by the exec slot in the
// front end's namespace (see front_end.hpp), where _native holds the natives and the
// constants. Each function converts its arguments as Python would and hands the natives only
// what they take: str, lists of str, bool, int within long long, float or None.
inline constexpr char kSurfaceSource[] = R"py(
def _str(o, what):
    if isinstance(o, str):
        return o
    raise TypeError(f"{what} must be str, not {_native._type_name(o)[:200]}")


def _shown(o):
    # str(o); an object whose str() fails still must not make run_cmd raise.
    try:
        return str(o)
    except Exception:
        return "?"


def _failed(shown, problem):
    return 1, "", _T["run_failure"] + shown + "): " + problem


def _seconds(timeout):
    # None (or infinity): no limit. Zero or less has run out at once, as a deadline would.
    if timeout is None:
        return None
    if not isinstance(timeout, (int, float)):
        raise TypeError(_T["timeout_type"] + _native._type_name(timeout))
    try:
        t = float(timeout)
    except OverflowError:
        return None if timeout > 0 else -1.0
    if t != t:
        raise ValueError(_T["timeout_nan"])
    return None if t == float("inf") else t


def _problem(item):
    # What keeps one item of a command from being run, if anything.
    if not isinstance(item, str):
        return _T["item_not_str"] + _native._type_name(item)
    try:
        item.encode("utf-8", "surrogateescape")
    except Exception as e:
        return _shown(e)
    return _T["nul"] if "\0" in item else None


def run_cmd(cmd: "List[str]", timeout: "int" = 15) -> "Tuple[int, str, str]":
    "Komutu çalıştırır ve (returncode, stdout, stderr) döndürür."
    # Never raises for what it was asked to run: an unusable command is a failed run.
    seconds = _seconds(timeout)
    try:
        if isinstance(cmd, (str, bytes, bytearray)):
            raise TypeError
        items = list(cmd)
    except TypeError:
        return _failed(_shown(cmd), _T["not_a_list"] + _native._type_name(cmd))
    except Exception as e:
        return _failed(_shown(cmd), _shown(e))
    for item in items:
        if (problem := _problem(item)) is not None:
            return _failed(" ".join(map(_shown, items)), problem)
    return _native.run_cmd(items, seconds)


def _run_replaced(fn, cmd, timeout):
    # A caller's run_cmd, called by an operation: only (int, str, str) is a result, its int
    # saturated to what a C int holds.
    got = fn(cmd, timeout)
    sequence = hasattr(type(got), "__getitem__") and not isinstance(got, (str, bytes, dict))
    items = tuple(got) if sequence else ()
    if len(items) != 3 or not isinstance(items[0], int) or not all(
            isinstance(s, str) for s in items[1:]):
        raise TypeError("run_cmd replacement must return (int, str, str), not "
                        + _native._type_name(got)[:200])
    return max(-2**31, min(items[0], 2**31 - 1)), items[1], items[2]


def set_mtu(interface: "str", mtu: "int") -> "Dict[str, object]":
    # int(mtu), saturated to long long: the operation clamps far inside that range anyway.
    return _native.set_mtu(_str(interface, "interface"), max(-2**63, min(int(mtu), 2**63 - 1)))


def _split_ips(ips):
    # Every entry is checked before the first command: a bad entry must not leave the firewall
    # half-changed.
    if ips is None:
        return []
    if isinstance(ips, (str, bytes)):
        raise TypeError(f"split_ips must be a list of str, not {_native._type_name(ips)[:200]}")
    return [_str(ip, "split_ips entries") for ip in ips]


def manage_killswitch(enable: "bool", wg_iface: "str" = "tq8wg0",
                      split_ips: "List[str]" = None) -> "Dict[str, object]":
    "iptables üzerinde TQ8_KILLSWITCH zinciri ile VPN koptuğunda sızıntıyı engeller."
    return _native.manage_killswitch(bool(enable), _str(wg_iface, "wg_iface"), _split_ips(split_ips))


def manage_wireguard(action: "str", conf_path: "str" = "",
                     mtu: "int" = _native.TUNNEL_MTU) -> "Dict[str, object]":
    "WireGuard (wg-quick / ip link type wireguard) tünelini başlatır veya durdurur."
    return _native.manage_wireguard(_str(action, "action"), _str(conf_path, "conf_path"),
                                    str(int(mtu)))


def emergency_network_reset() -> "Dict[str, object]":
    ("Ağ ayarları bozulduğunda /etc/resolv.conf, iptables, WireGuard ve DNS önbelleğini "
     "sıfırlar.")
    return _native.emergency_network_reset()


STUB_DNS = _native.STUB_DNS
SHIELD_DNS = _native.SHIELD_DNS
DNAT_RULE = [*_native.DNAT_RULE]
IPT = [*_native.IPT]


def remove_dns_redirect() -> "bool":
    return _native.remove_dns_redirect()


def _shield_listening() -> "bool":
    ("127.0.0.1:5354'ü (UDP) parolayı giren kullanıcının süreci mi dinliyor "
     "(/proc/net/udp: 0100007F:14EA, uid).")
    return _native._shield_listening()


def _shield_answers() -> "bool":
    ("Çözümleyici gerçekten cevap veriyor mu (donma/SIGSTOP'u da yakalar). Sorgu engelli "
     "bir alan için yerelde cevaplanır.")
    return _native._shield_answers()


def dns_guard() -> "int":
    ("systemd-resolved stub'ına (127.0.0.53) giden DNS sorgularını Sipran çözümleyicisine "
     "yönlendirir.\n    Arayüz açık kaldıkça çalışır; stdin kapanınca (arayüz kapandı/çöktü) "
     "ya da çözümleyici\n    durunca yönlendirmeyi kaldırır — kullanıcı asla DNS'siz kalmaz.")
    return _native.dns_guard()


vars(_m).update((name, globals()[name]) for name in (
    "run_cmd", "set_mtu", "manage_killswitch", "manage_wireguard", "emergency_network_reset",
    "STUB_DNS", "SHIELD_DNS", "DNAT_RULE", "IPT", "remove_dns_redirect", "_shield_listening",
    "_shield_answers", "dns_guard", "main"))
)py";

}  // namespace tq8::py
