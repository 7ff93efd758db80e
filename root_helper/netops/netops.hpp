// Network operations: MTU and MSS clamping, kill switch, WireGuard tunnel, emergency reset.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "root_helper/core/caller_file.hpp"
#include "root_helper/core/command_runner.hpp"
#include "root_helper/core/records.hpp"
#include "root_helper/core/unique_fd.hpp"

namespace tq8::netops {

// The link sizes the operations work with, in bytes.
inline constexpr int kMinLinkMtu = 1280;   // IPv6's minimum link MTU: nothing below it is safe
inline constexpr int kEthernetMtu = 1500;  // a physical link's usual MTU: the tunnel's ceiling
inline constexpr int kTunnelMtu = 1420;    // the tunnel's default: Ethernet's less WireGuard's
                                           // 80 bytes of overhead over IPv6

// The public resolvers the machine falls back to, each with its primary and secondary address
// per family: the kill switch lets them through, the reset writes the IPv4 primaries.
struct PublicResolver {
    std::string v4[2], v6[2];
};
inline const PublicResolver kPublicResolvers[] = {
    {{"1.1.1.1", "1.0.0.1"}, {"2606:4700:4700::1111", "2606:4700:4700::1001"}},
    {{"9.9.9.9", "149.112.112.112"}, {"2620:fe::fe", "2620:fe::9"}},
};

// What the network operations ask of the others: manage_wireguard sets the physical device's
// MTU, the reset removes the DNS redirect. The binding routes each call through the module
// (a Python replacement is honoured); tests script it.
class Seams {
public:
    virtual ~Seams() = default;
    // set_mtu(interface, mtu); its record is discarded by every caller. mtu is a decimal
    // integer text of any size.
    virtual void set_mtu(const std::string& interface, const std::string& mtu_decimal) = 0;
    virtual bool remove_dns_redirect() = 0;
};

// "ip -o -4 route show to default": one line per IPv4 default route.
inline const std::vector<std::string> kDefaultRouteCmd = {"ip", "-o", "-4", "route", "show", "to",
                                                          "default"};

// The device of the first default route: the token after the first token "dev" of a
// successful lookup. nullopt when the lookup failed, printed no "dev ", had no token "dev",
// or "dev" was the last token.
std::optional<std::string> default_route_device(const core::CommandResult& route);


// "iptables -t mangle <rule_command> POSTROUTING ... -j TCPMSS --clamp-mss-to-pmtu": the MSS
// clamp rule with its rule command (-C, -A, -D) in front; set_mtu adds it, the reset removes it.
std::vector<std::string> mss_clamp_command(const char* rule_command);

// Removes any earlier kill switch (IPv4, then IPv6), then (enable) builds TQ8_KILLSWITCH and
// jumps to it from OUTPUT 1, first with iptables, then the IPv6 counterpart with ip6tables.
// {"ok", "enabled", "logs"}: the record holds only the IPv4 steps and on switch-on "ok" is the
// IPv4 jump's success; the IPv6 commands reach only the runner (and so the audit trail), and
// their failure (no ip6tables, IPv6 off in the kernel) changes nothing in the record.
//
// A switch-on takes split-tunnel entries only as literals (IPv4 a.b.c.d with "/0".."/32" or a
// contiguous dotted mask, no leading zeros; IPv6 as inet_pton reads it with "/0".."/128") and at
// most 256 of them; otherwise nothing runs and the record is {"ok": false,
// "enabled": true, "logs": [one entry "split_ips denetimi", rc 1, the reason in "stderr"]}.
// A switch-off never looks at split_ips.
core::Record manage_killswitch(core::CommandRunner& runner, bool enable,
                               const std::string& wg_iface,
                               const std::vector<std::string>& split_ips);

// The kill switch lives in both firewalls: the IPv4 one (iptables) and the IPv6 one
// (ip6tables), each with a chain TQ8_KILLSWITCH and a jump at the top of its OUTPUT.
enum class IpFamily { kV4, kV6 };

// Removes one family's kill switch: "<program> -D OUTPUT -j TQ8_KILLSWITCH", "-F", "-X",
// nothing else on the normal path. Only when -X fails because jumps still reference the chain
// (left by runs that interleaved) does it delete jumps until none is left (at most 64) and
// delete the chain again. Results are not logged. True when the chain's last deletion
// succeeded (false also when there was no chain to delete).
bool remove_killswitch_chain(core::CommandRunner& runner, IpFamily family = IpFamily::kV4);

// A link as the kernel knows it: its index (a link deleted and made again gets a new one) and
// its MTU.
struct LinkState {
    int index = 0;
    long long mtu = 0;
};

// The link's state read with ioctl() on a socket (no path is built from the name); nullopt
// when there is no such link or the name cannot be one.
std::optional<LinkState> read_link_state(const std::string& device);

// The helper's own state between runs, in a directory only root may enter (gone at reboot,
// like everything it records): the checked copy of the caller's configuration that wg-quick
// is handed (tq8wg0.conf), the MTUs it changed, and what the tunnel's start changed.
struct TunnelPaths {
    std::string private_dir = "/run/tq8-wireguard";
    // The one setting wg-quick changes for a full tunnel.
    std::string src_valid_mark = "/proc/sys/net/ipv4/conf/all/src_valid_mark";
    std::function<std::optional<LinkState>(const std::string&)> link_state = read_link_state;
};

// The private directory, opened without following a link. Created 0700 when missing (create);
// one that is not the helper's own, or that others may write, is refused. nullopt, with the
// description in *error when given, when it cannot be had.
std::optional<core::UniqueFd> open_private_dir(const TunnelPaths& paths, bool create,
                                               std::string* error);
// name in that directory (created when missing) replaced by content (0600) through a rename,
// so that no reader sees half a file. nullopt on success, else the description.
std::optional<std::string> write_private_file(const TunnelPaths& paths, const std::string& name,
                                              std::string_view content);
// name's content (a regular file, not followed if a link, at most 64 KiB); nullopt otherwise.
std::optional<std::string> read_private_file(const TunnelPaths& paths, const std::string& name);
void remove_private_file(const TunnelPaths& paths, const std::string& name);

// Sets interface's MTU (clamped to kMinLinkMtu..kEthernetMtu) and adds the MSS clamp rule when
// a check finds it missing. {"ok", "mtu", "interface", "logs"}; "ok" is the ip command's
// success. The first change of a link's MTU is remembered in state, so that the reset can put
// the link's own MTU back.
core::Record set_mtu(core::CommandRunner& runner, const std::string& interface, long long mtu,
                     const TunnelPaths& state = {});

// The MTU memory, for the reset: every device set_mtu changed that still is the same link with
// the MTU the helper set gets its own MTU back, one logged "ip link set dev X mtu N" each; the
// memory is forgotten, except a device whose restore failed (a later reset tries again).
void restore_mtus(core::CommandRunner& runner, const TunnelPaths& state,
                  std::vector<core::LogEntry>& logs);

// What a wg-quick start changes beyond its link. remember_src_valid_mark (before up): wg-quick
// sets net.ipv4.conf.all.src_valid_mark to 1 for a full tunnel, so a value other than 1 is
// recorded first (a start killed half-way leaves it recorded too), unless an earlier start's
// record is still there. note_tunnel_start (after the start, whatever its outcome): drops
// that record when the setting does not have the tunnel's value, then, after a successful up
// (up), records the routing table wg-quick chose ("wg show tq8wg0 fwmark"; "off": none).
// restore_src_valid_mark: puts the old value back when the setting still has the tunnel's, then
// forgets it. remove_tunnel_leftovers (the tunnel's link is gone): deletes wg-quick's policy
// rules for the recorded table in both families and its firewall rules tagged with its comment
// for tq8wg0 in every table of both families, then forgets the table.
void remember_src_valid_mark(const TunnelPaths& state);
void note_tunnel_start(core::CommandRunner& runner, const TunnelPaths& state, bool up);
void restore_src_valid_mark(core::CommandRunner& runner, const TunnelPaths& state);
void remove_tunnel_leftovers(core::CommandRunner& runner, const TunnelPaths& state);
void forget_tunnel_table(const TunnelPaths& state);

// The arguments of an iptables-save rule line ("-A CHAIN ..."), its double-quoted values
// unquoted; nullopt when a quote is left open.
std::optional<std::vector<std::string>> save_line_arguments(std::string_view line);

// conf_path's content as manage_wireguard reads it: nullopt for no path (or one with a NUL
// byte, which names nothing), otherwise read_caller_file's answer, in at most its few seconds.
std::optional<core::CallerFile> read_tunnel_conf(const std::string& conf_path);

// "down" takes tq8wg0 down; anything else brings it up through wg-quick or as a bare link,
// then gives the default-route device the same MTU through seams.set_mtu. mtu_decimal is the
// MTU as a decimal integer text of any size; a bare-link record carries it as "mtu".
// conf_path is read with the rights of the user PKEXEC_UID names; a configuration that user
// cannot read, or that holds hooks, is refused as a failed wg-quick step.
// conf is conf_path read beforehand by read_tunnel_conf: the module reads it before it takes
// the run lock, because a file the caller serves can keep the read waiting, and no other run
// may wait with it.
core::Record manage_wireguard(core::CommandRunner& runner, Seams& seams,
                              const std::string& action, const std::string& conf_path,
                              const std::optional<core::CallerFile>& conf,
                              const std::string& mtu_decimal, const TunnelPaths& paths = {});

// Whatever the tunnel was built as goes: a wg-quick tunnel through "wg-quick down" with the
// private copy a wg-quick up left (when there is one in a directory that is root's; the copy is
// removed), so that the routes and policy rules wg-quick added go with it, then the link itself
// ("ip link del dev tq8wg0"). wg-quick's result, nullopt when there was no copy.
std::optional<core::CommandResult> clear_tunnel(core::CommandRunner& runner,
                                                const TunnelPaths& paths);

// Where the reset finds the resolver files; tests point these into a scratch directory.
struct ResolvPaths {
    std::string resolv_conf = "/etc/resolv.conf";
    std::string stub = "/run/systemd/resolve/stub-resolv.conf";
    // Where the kernel lists UDP sockets: the stub counts only while 127.0.0.53:53 is bound.
    std::string udp_table = "/proc/net/udp";
};

// Removes what the other operations may have left and repairs name resolution.
// {"ok": true, "logs"} always.
core::Record emergency_network_reset(core::CommandRunner& runner, Seams& seams,
                                     const ResolvPaths& paths = {},
                                     const TunnelPaths& tunnel = {});

}  // namespace tq8::netops
