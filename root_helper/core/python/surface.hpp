// The module's published surface, declared once: every function (name, parameters, defaults,
// annotation and doc texts, native entry) and constant, in the order the module publishes
// them. The surface text the module evaluates, its native table, the indices the seams look
// attributes up by and the typing stub's check (tests/ship/test_stub.py) all follow from this.
#pragma once

#include "root_helper/core/python/py_support.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace tq8::py {

// A native behind one surface function; self is the module (its state and its attributes).
using Native = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

PyObject* native_run_cmd(PyObject*, PyObject* const*, Py_ssize_t);
PyObject* native_set_mtu(PyObject*, PyObject* const*, Py_ssize_t);
PyObject* native_manage_killswitch(PyObject*, PyObject* const*, Py_ssize_t);
PyObject* native_manage_wireguard(PyObject*, PyObject* const*, Py_ssize_t);
PyObject* native_emergency_network_reset(PyObject*, PyObject* const*, Py_ssize_t);
PyObject* native_remove_dns_redirect(PyObject*, PyObject* const*, Py_ssize_t);
PyObject* native_shield_listening(PyObject*, PyObject* const*, Py_ssize_t);
PyObject* native_shield_answers(PyObject*, PyObject* const*, Py_ssize_t);
PyObject* native_dns_guard(PyObject*, PyObject* const*, Py_ssize_t);

struct Param {
    std::string_view name;
    std::string_view annotation;
    std::string_view default_value = {};  // Python text; empty: the parameter is required
};

// One published name. Names are string literals, so name.data() is NUL-terminated.
struct Published {
    std::string_view name;
    Native native = nullptr;  // nullptr: a constant, or a function written in Python
    std::array<Param, 3> params = {};
    std::string_view returns = {};
    std::string_view doc = {};    // empty: no doc text
    std::string_view value = {};  // a constant: its Python expression over _native

    constexpr bool function() const { return !returns.empty(); }

    constexpr Py_ssize_t arity() const {
        Py_ssize_t n = 0;
        for (const Param& p : params) n += !p.name.empty();
        return n;
    }
};

inline constexpr Published kPublished[] = {
    {.name = "run_cmd", .native = native_run_cmd,
     .params = {{{"cmd", "List[str]"}, {"timeout", "int", "15"}}},
     .returns = "Tuple[int, str, str]",
     .doc = "Komutu çalıştırır ve (returncode, stdout, stderr) döndürür."},
    {.name = "set_mtu", .native = native_set_mtu,
     .params = {{{"interface", "str"}, {"mtu", "int"}}},
     .returns = "Dict[str, object]"},
    {.name = "manage_killswitch", .native = native_manage_killswitch,
     .params = {{{"enable", "bool"}, {"wg_iface", "str", "\"tq8wg0\""},
                 {"split_ips", "List[str]", "None"}}},
     .returns = "Dict[str, object]",
     .doc = "iptables üzerinde TQ8_KILLSWITCH zinciri ile VPN koptuğunda sızıntıyı engeller."},
    {.name = "manage_wireguard", .native = native_manage_wireguard,
     .params = {{{"action", "str"}, {"conf_path", "str", "\"\""}, {"mtu", "int", "_native.TUNNEL_MTU"}}},
     .returns = "Dict[str, object]",
     .doc = "WireGuard (wg-quick / ip link type wireguard) tünelini başlatır veya durdurur."},
    {.name = "emergency_network_reset", .native = native_emergency_network_reset,
     .returns = "Dict[str, object]",
     .doc = "Ağ ayarları bozulduğunda /etc/resolv.conf, iptables, WireGuard ve DNS önbelleğini "
            "sıfırlar."},
    {.name = "STUB_DNS", .value = "_native.STUB_DNS"},
    {.name = "SHIELD_DNS", .value = "_native.SHIELD_DNS"},
    {.name = "DNAT_RULE", .value = "[*_native.DNAT_RULE]"},
    {.name = "IPT", .value = "[*_native.IPT]"},
    {.name = "remove_dns_redirect", .native = native_remove_dns_redirect, .returns = "bool"},
    {.name = "_shield_listening", .native = native_shield_listening, .returns = "bool",
     .doc = "127.0.0.1:5354'ü (UDP) parolayı giren kullanıcının süreci mi dinliyor "
            "(/proc/net/udp: 0100007F:14EA, uid)."},
    {.name = "_shield_answers", .native = native_shield_answers, .returns = "bool",
     .doc = "Çözümleyici gerçekten cevap veriyor mu (donma/SIGSTOP'u da yakalar). Sorgu engelli "
            "bir alan için yerelde cevaplanır."},
    {.name = "dns_guard", .native = native_dns_guard, .returns = "int",
     .doc = "systemd-resolved stub'ına (127.0.0.53) giden DNS sorgularını Sipran çözümleyicisine "
            "yönlendirir.\n    Arayüz açık kaldıkça çalışır; stdin kapanınca (arayüz "
            "kapandı/çöktü) ya da çözümleyici\n    durunca yönlendirmeyi kaldırır — kullanıcı asla "
            "DNS'siz kalmaz."},
    {.name = "main", .returns = "None"},
};

inline constexpr std::size_t kPublishedCount = std::size(kPublished);

// The position of a published name; a name that is not published does not compile.
consteval std::size_t published(std::string_view name) {
    for (std::size_t i = 0; i < kPublishedCount; ++i)
        if (kPublished[i].name == name) return i;
    throw "not a published name";
}

// The functions one operation reaches another through (the seams).
inline constexpr std::size_t kRunCmd = published("run_cmd");
inline constexpr std::size_t kSetMtu = published("set_mtu");
inline constexpr std::size_t kRemoveDnsRedirect = published("remove_dns_redirect");
inline constexpr std::size_t kShieldListening = published("_shield_listening");
inline constexpr std::size_t kShieldAnswers = published("_shield_answers");

}  // namespace tq8::py
