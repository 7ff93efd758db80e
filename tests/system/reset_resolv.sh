#!/usr/bin/env bash
# The reset's repair of a real /etc/resolv.conf (an overlay inside the sandbox): each starting
# state ends relinked to the stub or holding the fallback resolvers, and an /etc that cannot be
# written keeps its old file while the later steps still run.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tq8_run_sandboxed "$0" "$@"
source "$here/reset_lib.sh"

tq8_scratch reset-resolv "" cleanup
stub_pid=
cleanup() {
    [ -n "$stub_pid" ] && kill "$stub_pid" 2>/dev/null || true
    rm -rf "$work"
}
bin="$work/bin"
reset_bin_dir "$bin"

RESOLV=/etc/resolv.conf
OTHER=/etc/tq8-other.conf
GONE=/run/tq8-gone.conf

reset_serve_stub "$work/stub.up"
stub_pid=$reset_stub_pid

# prepare STUB START: the stub file present (yes/no) and /etc/resolv.conf in one state.
prepare() {
    rm -rf "$RESOLV" "$OTHER" "$GONE" "$(dirname "$RESET_STUB")"
    if [ "$1" = yes ]; then
        mkdir -p "$(dirname "$RESET_STUB")"
        echo "nameserver 127.0.0.53" >"$RESET_STUB"
    fi
    case "$2" in
        regular) echo "nameserver 198.18.0.9" >"$RESOLV" ;;
        stub-link) ln -s "$RESET_STUB" "$RESOLV" ;;
        dangling) ln -s "$GONE" "$RESOLV" ;;
        absent) ;;
        other-link)
            echo "nameserver 198.18.0.8" >"$OTHER"
            ln -s "$OTHER" "$RESOLV"
            ;;
        directory) mkdir "$RESOLV" && echo kept >"$RESOLV/inside" ;;
    esac
}

no_leftovers() {
    local left
    left=$(find /etc /run -maxdepth 1 -name '.*.tq8-*' 2>/dev/null)
    tq8_eq "$1: temporary files left" "" "$left"
}

# With the stub file: every state but a directory ends as a link to it (entry 2a).
for start in regular stub-link dangling absent other-link; do
    prepare yes "$start"
    summary=$(reset_run "$bin")
    tq8_eq "$start, stub: ok" ok "$(reset_entry "$summary" 0)"
    tq8_eq "$start, stub: entry" "$RESET_E2A" "$(reset_entry "$summary" 2)"
    [ -L "$RESOLV" ] || tq8_fail "$start, stub: /etc/resolv.conf is not a link"
    tq8_eq "$start, stub: link target" "$RESET_STUB" "$(readlink "$RESOLV")"
    if [ "$start" = other-link ]; then
        tq8_eq "$start, stub: other file untouched" "nameserver 198.18.0.8" "$(cat "$OTHER")"
    fi
    no_leftovers "$start, stub"
done

# Without it: the fallback text lands where writing through /etc/resolv.conf lands (entry 2b).
for start in regular absent other-link dangling; do
    prepare no "$start"
    summary=$(reset_run "$bin")
    tq8_eq "$start, no stub: entry" "$RESET_E2B" "$(reset_entry "$summary" 2)"
    case "$start" in
        regular | absent) reset_has_fallback "$RESOLV" ;;
        other-link)
            tq8_eq "$start, no stub: link kept" "$OTHER" "$(readlink "$RESOLV")"
            reset_has_fallback "$OTHER"
            ;;
        dangling)  # replaced by a regular file: the link's directory may be gone for good
            reset_has_fallback "$RESOLV"
            [ ! -e "$GONE" ] || tq8_fail "dangling, no stub: the link was followed"
            ;;
    esac
    no_leftovers "$start, no stub"
done

# A stub file that outlived its resolver (no socket on 127.0.0.53:53): the fallback, not a
# link to a dead stub (entry 2b). The link into resolved's removed directory: a regular file.
kill "$stub_pid" && wait "$stub_pid" 2>/dev/null || true
stub_pid=
prepare yes regular
tq8_eq "dead stub: entry" "$RESET_E2B" "$(reset_entry "$(reset_run "$bin")" 2)"
reset_has_fallback "$RESOLV"
rm -rf "$(dirname "$RESET_STUB")" && ln -sfn "$RESET_STUB" "$RESOLV"
tq8_eq "link into a removed directory: entry" "$RESET_E2B" "$(reset_entry "$(reset_run "$bin")" 2)"
reset_has_fallback "$RESOLV"

# A file that is rewritten keeps its mode and group; a bind-mounted one (containers) cannot be
# renamed over and is written in place.
prepare no regular
chmod 0640 "$RESOLV" && chgrp adm "$RESOLV"
tq8_eq "0640 root:adm: entry" "$RESET_E2B" "$(reset_entry "$(reset_run "$bin")" 2)"
tq8_eq "0640 root:adm: kept" "640 root adm" "$(stat -c '%a %U %G' "$RESOLV")"
printf 'nameserver 198.18.0.7\n' >"$work/bound.conf"
prepare no regular
mount --bind "$work/bound.conf" "$RESOLV"
summary=$(reset_run "$bin")
umount "$RESOLV"
tq8_eq "bind-mounted: entry" "$RESET_E2B" "$(reset_entry "$summary" 2)"
printf 'nameserver 1.1.1.1\nnameserver 9.9.9.9\n' | cmp -s - "$work/bound.conf" ||
    tq8_fail "bind-mounted: the mounted file was not rewritten: $(cat "$work/bound.conf")"
no_leftovers "bind-mounted"

# A directory in the way cannot be replaced: entry 2c and the directory as it was.
for stub in yes no; do
    prepare "$stub" directory
    summary=$(reset_run "$bin")
    tq8_eq "directory, stub $stub: entry" \
        "restore /etc/resolv.conf${RESET_TAB}1${RESET_TAB}${RESET_TAB}[Errno 21] Is a directory: '/etc/resolv.conf'" \
        "$(reset_entry "$summary" 2)"
    tq8_eq "directory, stub $stub: contents" kept "$(cat "$RESOLV/inside")"
    no_leftovers "directory, stub $stub"
done

# A read-only /etc: entry 2c, the old file intact, and the flush and restart entries after it.
for stub in yes no; do
    prepare "$stub" regular
    mount --bind /etc /etc
    mount -o remount,bind,ro /etc
    summary=$(reset_run "$bin")
    umount /etc
    tq8_eq "read-only, stub $stub: ok" ok "$(reset_entry "$summary" 0)"
    tq8_eq "read-only, stub $stub: entry" \
        "restore /etc/resolv.conf${RESET_TAB}1${RESET_TAB}${RESET_TAB}[Errno 30] Read-only file system: '/etc/resolv.conf'" \
        "$(reset_entry "$summary" 2)"
    tq8_eq "read-only, stub $stub: later entries" \
        "resolvectl flush-caches systemctl restart NetworkManager" \
        "$(printf '%s\n' "$summary" | sed -n '4,5p' | cut -f1 | paste -sd' ')"
    tq8_eq "read-only, stub $stub: old file" "nameserver 198.18.0.9" "$(cat "$RESOLV")"
    [ ! -L "$RESOLV" ] || tq8_fail "read-only, stub $stub: /etc/resolv.conf became a link"
    no_leftovers "read-only, stub $stub"
done
echo "reset_resolv: ok"
