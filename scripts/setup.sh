#!/usr/bin/env bash
# Installs what building and testing need, from Debian/Ubuntu packages, when it is missing.
# Safe to run again; asks nothing (no standard input needed).
set -euo pipefail

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev iptables iproute2
          util-linux procps psmisc clang libclang-rt-14-dev valgrind libxml2-utils dpkg-dev
          file polkitd fuse3 libfuse3-dev wireguard-tools wireguard-go bind9-dnsutils dbus-daemon
          pkexec lintian)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

need_python=1
if command -v pyenv >/dev/null 2>&1 || [ -x "${HOME:-/root}/.pyenv/bin/pyenv" ]; then
    pyenv_bin=$(command -v pyenv || echo "${HOME:-/root}/.pyenv/bin/pyenv")
    # grep reads to the end: with -q it would stop early, and pyenv's SIGPIPE would fail the
    # pipeline under pipefail.
    "$pyenv_bin" versions --bare 2>/dev/null | grep -E '^3\.12\.[0-9]+$' >/dev/null && need_python=0
fi
if [ "$need_python" = 1 ] && command -v python3.12 >/dev/null 2>&1 &&
   python3.12 -c 'import sysconfig,sys; sys.exit(0 if sysconfig.get_config_var("Py_ENABLE_SHARED") else 1)' 2>/dev/null; then
    need_python=0
fi
if [ "$need_python" = 1 ]; then
    missing+=(python3.12-dev)
fi

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "Missing packages: ${missing[*]} (run as root, or install them)" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq </dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# A real systemd-resolved for the system tests, never installed: its postinst would relink
# this machine's own /etc/resolv.conf, and it needs systemd at exactly its own version. The
# packages of the installed systemd's version are unpacked into the build tree; the test lays
# them over /usr inside a private mount namespace only.
resolved_dir="${TQ8_BUILD_DIR:-build}/resolved"
systemd_version=$(dpkg-query -W -f='${Version}' systemd 2>/dev/null || true)
if [ -n "$systemd_version" ] && [ "$(cat "$resolved_dir/version" 2>/dev/null)" != "$systemd_version" ]; then
    rm -rf "$resolved_dir"
    mkdir -p "$resolved_dir/debs"
    fetch() {
        (cd "$resolved_dir/debs" &&
         apt-get download -qq "systemd-resolved=$systemd_version" \
             "libsystemd-shared=$systemd_version" </dev/null 2>/dev/null)
    }
    if ! fetch && [ "$(id -u)" = 0 ]; then
        apt-get update -qq </dev/null && fetch || true
    fi
    if ls "$resolved_dir"/debs/systemd-resolved_*.deb >/dev/null 2>&1 &&
       ls "$resolved_dir"/debs/libsystemd-shared_*.deb >/dev/null 2>&1; then
        for deb in "$resolved_dir"/debs/*.deb; do dpkg-deb -x "$deb" "$resolved_dir/root"; done
        echo "$systemd_version" >"$resolved_dir/version"
    else
        # The archive no longer offers this exact version: the real-resolved test says so.
        echo "systemd-resolved $systemd_version is not downloadable; its system test will fail" >&2
        rm -rf "$resolved_dir"
    fi
fi
