# shellcheck shell=bash
# Test harness: runs a command inside a throw-away venue.
#
#   korvel_harness_run CMD [ARGS...]
#
# The command runs as root inside a fresh network namespace ("service side")
# joined by a veth pair to a second namespace that stands for the venue LAN
# with a few set-top boxes on it. Datagrams the service broadcasts or
# multicasts therefore never leave the two namespaces. The service side also
# gets its own CUPS scheduler (unix socket only, job documents preserved in
# its spool) and its own Xvfb. Everything is torn down when the command ends,
# fails or is interrupted. Returns the command's exit status.

_korvel_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/lib/net.sh
source "$_korvel_lib_dir/net.sh"
# shellcheck source=scripts/lib/services.sh
source "$_korvel_lib_dir/services.sh"

# _korvel_h_kill_ns_pids NS [KEEP_PID...]: kill every process inside
# namespace NS except the KEEP_PIDs, politely first, then for good.
_korvel_h_kill_ns_pids() {
    local ns=$1 pid i keep=" ${*:2} " pids
    for ((i = 0; i < 25; i++)); do
        pids=()
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            [[ $keep == *" $pid "* ]] || pids+=("$pid")
        done
        ((${#pids[@]})) || return 0
        if ((i == 0)); then
            kill -TERM "${pids[@]}" 2>/dev/null
        elif ((i == 15)); then
            kill -KILL "${pids[@]}" 2>/dev/null
        fi
        sleep 0.2
    done
    echo "harness: processes still alive in $ns: ${pids[*]}" >&2
}

_korvel_h_teardown() {
    local status=$1
    trap - EXIT
    # Interrupted again while tearing down: finish anyway.
    trap '' INT TERM HUP

    # First whatever a test left running (a service, a fake set-top box),
    # while the display and the scheduler it may use are still there; then
    # our own cupsd and Xvfb, by pid; then anything that is still there.
    if [[ -n ${_h_svc:-} ]]; then
        _korvel_h_kill_ns_pids "$_h_svc" "${_h_xvfb_pid:-}" "${_h_cupsd_pid:-}"
    fi
    if [[ -n ${_h_lan:-} ]]; then
        _korvel_h_kill_ns_pids "$_h_lan"
    fi
    if [[ -n ${_h_xvfb_pid:-} ]]; then
        korvel_xvfb_stop "$_h_xvfb_pid" "${_h_display:-}"
    fi
    if [[ -n ${_h_cupsd_pid:-} ]]; then
        korvel_cupsd_stop "$_h_cupsd_pid"
    fi
    if [[ -n ${_h_svc:-} ]]; then
        _korvel_h_kill_ns_pids "$_h_svc"
    fi
    korvel_netns_delete "${_h_svc:-}" "${_h_lan:-}"

    if [[ -n ${_h_tmp:-} && -d $_h_tmp ]]; then
        if ((status != 0)) && [[ -z ${_h_signal:-} ]]; then
            # Keep what explains the failure; the rest of the venue goes.
            local keep
            # Beside the harness's folder, not inside it: TMPDIR points into
            # the folder that goes below.
            keep=${KORVEL_HARNESS_LOG_DIR:-$(mktemp -d "$_h_outer_tmpdir/korvel-harness-logs.XXXXXX")}
            mkdir -p "$keep"
            cp -r "$_h_tmp/cups/log" "$keep/cups" 2>/dev/null
            cp "$_h_tmp/xvfb.log" "$keep/" 2>/dev/null
            echo "harness: exit status $status; CUPS and Xvfb logs kept in $keep" >&2
            # Scheduler errors and warnings only; the info lines are in the file.
            if grep -qE '^[EWC] ' "$keep/cups/error_log" 2>/dev/null; then
                echo "harness: CUPS errors and warnings:" >&2
                grep -E '^[EWC] ' "$keep/cups/error_log" | tail -n 15 | sed 's/^/    /' >&2
            fi
        fi
        rm -rf "$_h_tmp"
    fi
    if [[ -n ${_h_signal:-} ]]; then
        # Die of the same signal, so the calling script stops too instead of
        # taking an exit status of 130 for a failed test and going on.
        trap - "$_h_signal"
        kill -s "$_h_signal" "$BASHPID"
    fi
    exit "$status"
}

_korvel_h_fail() {
    echo "harness: $*" >&2
    exit 1
}

# The body runs in a subshell so its traps, exports and state end with it and
# each call gets a fresh venue. No `set -e` in here: errexit is silently off
# whenever a caller writes `korvel_harness_run ... || ...`, so every step
# checks its own result.
korvel_harness_run() (
    set +e -u
    (($# > 0)) || _korvel_h_fail "usage: korvel_harness_run CMD [ARGS...]"
    [[ $(id -u) -eq 0 ]] ||
        _korvel_h_fail "must run as root (creates network namespaces and runs a private CUPS scheduler); try: sudo $0"

    _h_svc=
    _h_lan=
    _h_tmp=
    _h_cupsd_pid=
    _h_xvfb_pid=
    _h_display=
    _h_signal=
    _h_outer_tmpdir=${TMPDIR:-/tmp}
    trap '_korvel_h_teardown $?' EXIT
    trap '_h_signal=INT; exit 130' INT
    trap '_h_signal=TERM; exit 143' TERM
    trap '_h_signal=HUP; exit 129' HUP

    _h_tmp=$(mktemp -d "$_h_outer_tmpdir/korvel-harness.XXXXXX") || _korvel_h_fail "mktemp failed"
    # cupsd drops to user lp for filters, which must be able to reach the spool.
    chmod 0755 "$_h_tmp"

    # Namespace names carry this subshell's pid, so parallel runs do not collide.
    _h_svc="korvel-svc-$BASHPID"
    _h_lan="korvel-lan-$BASHPID"
    korvel_netns_venue "$_h_svc" "$_h_lan" || _korvel_h_fail "could not set up network namespaces"

    local cups_dir="$_h_tmp/cups"
    korvel_cups_write_config "$cups_dir" || _korvel_h_fail "could not write CUPS configuration"
    korvel_cupsd_start "$cups_dir" "$_h_svc"
    _h_cupsd_pid=$KORVEL_CUPSD_PID
    export CUPS_SERVER="$cups_dir/cups.sock"
    korvel_cups_wait "$_h_cupsd_pid" || _korvel_h_fail "cupsd did not come up"
    korvel_cups_add_test_queues || _korvel_h_fail "could not create the test print queues"

    korvel_xvfb_start "$_h_tmp" "$_h_svc"
    local xvfb_ok=$?
    _h_xvfb_pid=$KORVEL_XVFB_PID
    _h_display=$KORVEL_XVFB_DISPLAY
    ((xvfb_ok == 0)) || _korvel_h_fail "Xvfb did not start"

    export DISPLAY=":$_h_display"
    export QT_QPA_PLATFORM=xcb
    export KORVEL_IN_HARNESS=1
    export KORVEL_SVC_NS="$_h_svc"
    export KORVEL_LAN_NS="$_h_lan"
    export KORVEL_SVC_IFACE="$KORVEL_NET_SVC_IFACE"
    export KORVEL_LAN_IFACE="$KORVEL_NET_LAN_IFACE"
    export KORVEL_SVC_ADDR="$KORVEL_NET_SVC_ADDR"
    export KORVEL_SVC_BCAST="$KORVEL_NET_BCAST"
    export KORVEL_LAN_ADDR="$KORVEL_NET_LAN_ADDR"
    export KORVEL_BOX_ADDRS="$KORVEL_NET_BOX_ADDRS"
    export KORVEL_CUPS_DIR="$cups_dir"
    export KORVEL_CUPS_SPOOL="$cups_dir/spool"
    # Scratch space for tests; settings and caches go there too, so a test
    # run neither reads nor changes the developer's own configuration.
    export KORVEL_HARNESS_TMP="$_h_tmp/work"
    export XDG_RUNTIME_DIR="$_h_tmp/runtime"
    export XDG_CONFIG_HOME="$_h_tmp/work/config"
    export XDG_DATA_HOME="$_h_tmp/work/data"
    export XDG_CACHE_HOME="$_h_tmp/work/cache"
    mkdir -p "$KORVEL_HARNESS_TMP" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
    # Single-instance keys and locks live in the temporary folder: a private
    # one keeps parallel harness runs from seeing each other's services.
    export TMPDIR="$_h_tmp/work/tmp"
    mkdir -p "$TMPDIR"

    # In the background so that a signal to this shell is handled at once
    # rather than after the command ends. env undoes the SIGINT/SIGQUIT
    # ignoring that bash applies to background commands, so the tests see
    # the signal dispositions of a normal foreground run; stdin stays ours.
    ip netns exec "$_h_svc" env --default-signal=INT,QUIT "$@" <&0 &
    wait "$!"
    exit $?
)
