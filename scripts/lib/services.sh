# shellcheck shell=bash
# shellcheck disable=SC2034  # the variables are for the scripts that source this
# Private CUPS scheduler and Xvfb, used by the test harness and scripts/run.
# Each start function runs the daemon as a child of the calling shell (so it
# can be stopped and reaped by pid) and sets global variables with its pid.

_korvel_services_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# _korvel_in_ns NS CMD...: run CMD inside namespace NS, or right here if NS is empty.
_korvel_in_ns() {
    local ns=$1
    shift
    if [[ -n $ns ]]; then
        ip netns exec "$ns" "$@"
    else
        "$@"
    fi
}

# Sets the array KORVEL_NS_PREFIX to the words that put a command into
# namespace $1. Daemons are started as "${KORVEL_NS_PREFIX[@]}" cmd & rather
# than through a function, so that $! is the daemon itself (ip netns exec
# execs it) and not a subshell that a signal would kill without the daemon.
_korvel_ns_prefix() {
    KORVEL_NS_PREFIX=()
    [[ -z ${1:-} ]] || KORVEL_NS_PREFIX=(ip netns exec "$1")
}

# Alive and not a zombie waiting to be reaped.
_korvel_pid_alive() {
    local st
    st=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    [[ $st != Z* ]]
}

# _korvel_stop_pid PID: SIGTERM, up to 5 s grace, then SIGKILL.
# No `wait` here: called from a trap that interrupted a `wait`, bash can
# block for good on a child it has already reaped. A zombie counts as gone;
# bash or init reaps it.
_korvel_stop_pid() {
    local pid=$1 i
    [[ -n $pid ]] || return 0
    _korvel_pid_alive "$pid" || return 0
    kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < 50; i++)); do
        _korvel_pid_alive "$pid" || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    for ((i = 0; i < 20; i++)); do
        _korvel_pid_alive "$pid" || return 0
        sleep 0.1
    done
    echo "could not stop process $pid" >&2
    return 0
}

# ---------------------------------------------------------------- CUPS

# korvel_cups_serverbin DIR: a private ServerBin in DIR, the system's with
# the receipt-pdf backend and its page cutter added.
korvel_cups_serverbin() {
    local sb=$1 entry
    rm -rf "$sb"
    mkdir -p "$sb/backend" "$sb/korvel" || return 1
    for entry in /usr/lib/cups/*; do
        [[ $(basename "$entry") == backend ]] || ln -s "$entry" "$sb/"
    done
    for entry in /usr/lib/cups/backend/*; do
        ln -s "$entry" "$sb/backend/"
    done
    # Root-owned and private: CUPS then runs the backend as root, so it can
    # read the spooled file and write wherever the receipts are to go.
    install -o root -m 0700 "$_korvel_services_dir/receipt-pdf.backend" "$sb/backend/receipt-pdf" || return 1
    install -o root -m 0755 "$_korvel_services_dir/receipt-cut" "$sb/korvel/receipt-cut" || return 1
    chmod 0755 "$sb" "$sb/backend" "$sb/korvel"
}

# korvel_cups_write_config DIR [SERVERBIN [RECEIPT_DIR]]
# A scheduler confined to DIR: its only listener is the unix socket
# DIR/cups.sock, no browsing or sharing, and it keeps every job and job
# document (DIR/spool/d<job>-001) so tests can read what was printed.
# With a SERVERBIN from korvel_cups_serverbin, the receipt-pdf backend
# writes each job to RECEIPT_DIR.
korvel_cups_write_config() {
    local dir=$1 serverbin=${2:-} receipts=${3:-}
    mkdir -p "$dir"/{spool/tmp,cache,state,log,ppd,ssl} || return 1
    chmod 0755 "$dir" || return 1
    # A socket path longer than sun_path (108 bytes) would be cut short silently.
    if ((${#dir} > 90)); then
        echo "cups: folder path too long for a unix socket: $dir" >&2
        return 1
    fi
    {
        echo "ServerRoot $dir"
        echo "RequestRoot $dir/spool"
        echo "TempDir $dir/spool/tmp"
        echo "CacheDir $dir/cache"
        echo "StateDir $dir/state"
        echo "ErrorLog $dir/log/error_log"
        echo "AccessLog $dir/log/access_log"
        echo "PageLog $dir/log/page_log"
        echo "Printcap $dir/printcap"
        [[ -n $serverbin ]] && echo "ServerBin $serverbin"
        # cupsd refuses User root; filters run as lp, backends with mode 0700 as root.
        echo "User lp"
        echo "Group lp"
        echo "SystemGroup root"
        echo "FileDevice Yes"
        echo "Sandboxing Relaxed"
        # cupsd hands this to the backends.
        [[ -n $receipts ]] && echo "SetEnv KORVEL_RECEIPT_DIR $receipts"
    } >"$dir/cups-files.conf" || return 1
    if [[ -n $receipts ]]; then
        mkdir -p "$receipts" || return 1
    fi
    cat >"$dir/cupsd.conf" <<CONF || return 1
LogLevel ${KORVEL_CUPS_LOGLEVEL:-info}
Listen $dir/cups.sock
Browsing No
BrowseLocalProtocols none
WebInterface No
DefaultShared No
DefaultAuthType None
PreserveJobFiles Yes
PreserveJobHistory Yes
AutoPurgeJobs No
MaxJobs 0
MaxJobsPerPrinter 0
MaxJobsPerUser 0
# Only reachable through the socket in a root-owned folder: no authentication.
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
}

# korvel_cupsd_start DIR [NS]: start cupsd in the foreground mode as our child.
# Sets KORVEL_CUPSD_PID. Call korvel_cups_wait next.
korvel_cupsd_start() {
    local dir=$1 ns=${2:-}
    KORVEL_CUPSD_PID=
    _korvel_ns_prefix "$ns"
    "${KORVEL_NS_PREFIX[@]}" cupsd -f -c "$dir/cupsd.conf" -s "$dir/cups-files.conf" \
        </dev/null >>"$dir/log/cupsd.out" 2>&1 &
    KORVEL_CUPSD_PID=$!
}

# korvel_cups_wait PID: until the scheduler at $CUPS_SERVER answers (20 s at most).
korvel_cups_wait() {
    local pid=$1 i
    for ((i = 0; i < 200; i++)); do
        if ! _korvel_pid_alive "$pid"; then
            echo "cups: cupsd exited while starting" >&2
            return 1
        fi
        [[ $(lpstat -r 2>/dev/null) == "scheduler is running" ]] && return 0
        sleep 0.1
    done
    echo "cups: no answer from $CUPS_SERVER" >&2
    return 1
}

korvel_cupsd_stop() {
    _korvel_stop_pid "$1"
}

# korvel_cups_add_receipt_printer NAME WIDTH DESCRIPTION: a thermal roll
# printer, WIDTH 58 or 80 (mm), whose jobs the receipt-pdf backend cuts after
# their content and keeps as PDF files.
korvel_cups_add_receipt_printer() {
    lpadmin -p "$1" -E -v receipt-pdf:/ -P "$_korvel_services_dir/ppd/receipt$2.ppd" -D "$3" \
        -o printer-is-shared=false
}

# The queues tests print to. receipt58 (the default) and receipt80 are roll
# printers as above; the others are raw. The spool keeps exactly what was
# sent to each.
korvel_cups_add_test_queues() {
    korvel_cups_add_receipt_printer receipt58 58 "Receipt printer 58 mm" || return 1
    korvel_cups_add_receipt_printer receipt80 80 "Receipt printer 80 mm" || return 1
    lpadmin -p kitchen80 -E -v file:///dev/null -D "Kitchen printer 80 mm" -o printer-is-shared=false || return 1
    # A USB printer that is not plugged in: it exists but never prints.
    lpadmin -p usbreceipt -v usb://Virtual/Receipt -D "USB receipt printer" -o printer-is-shared=false || return 1
    lpadmin -d receipt58 || return 1
}

# ---------------------------------------------------------------- Xvfb

# Xvfb names its compiled keymap after its display (server-N.xkm, in a
# folder all servers share), so two servers starting at once on one number
# spoil each other's keymap, and one of them fails. Each start claims a
# number of its own with a lock that the server it starts holds: released
# when that server is gone.
_korvel_xvfb_claim_display() {
    local n fd
    for ((n = ${1:-20}; n < 1000; n++)); do
        exec {fd}>>"/tmp/.korvel-xvfb-$n.lock" || continue
        if flock -n "$fd"; then
            KORVEL_XVFB_DISPLAY=$n
            KORVEL_XVFB_LOCK_FD=$fd
            return 0
        fi
        exec {fd}>&-
    done
    return 1
}

# korvel_xvfb_start LOGDIR [NS]: start Xvfb on a display number of its own.
# -noreset: a server that resets when its last client leaves can hang a
# client that connects during the reset, and tests connect one after another.
# Sets KORVEL_XVFB_PID and KORVEL_XVFB_DISPLAY (the number) once it accepts clients.
korvel_xvfb_start() {
    local logdir=$1 ns=${2:-} fdfile i attempt first=20
    KORVEL_XVFB_PID=
    KORVEL_XVFB_DISPLAY=
    fdfile="$logdir/xvfb.display"
    _korvel_ns_prefix "$ns"
    # A number an X server outside ours holds makes Xvfb give up: the next one.
    for ((attempt = 0; attempt < 5; attempt++)); do
        _korvel_xvfb_claim_display "$first" || { echo "xvfb: no display number to claim" >&2; return 1; }
        first=$((KORVEL_XVFB_DISPLAY + 1))
        : >"$fdfile" || return 1
        # -displayfd: the server writes its number once it takes connections.
        "${KORVEL_NS_PREFIX[@]}" Xvfb ":$KORVEL_XVFB_DISPLAY" -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
            -noreset 3>"$fdfile" </dev/null >>"$logdir/xvfb.log" 2>&1 &
        KORVEL_XVFB_PID=$!
        # The server holds the claim from here on; nothing else started
        # from this shell should.
        exec {KORVEL_XVFB_LOCK_FD}>&-
        for ((i = 0; i < 150; i++)); do
            _korvel_pid_alive "$KORVEL_XVFB_PID" || break
            [[ -s $fdfile ]] && break
            sleep 0.1
        done
        [[ -s $fdfile ]] && break
        if _korvel_pid_alive "$KORVEL_XVFB_PID"; then
            echo "xvfb: no display number after 15 s" >&2
            return 1
        fi
        echo "xvfb: Xvfb exited while starting on :$KORVEL_XVFB_DISPLAY" >&2
        KORVEL_XVFB_DISPLAY=
    done
    [[ -n $KORVEL_XVFB_DISPLAY ]] || return 1
    if command -v xset >/dev/null; then
        _korvel_in_ns "$ns" xset -display ":$KORVEL_XVFB_DISPLAY" q >/dev/null 2>&1 || {
            echo "xvfb: display :$KORVEL_XVFB_DISPLAY does not accept clients" >&2
            return 1
        }
    fi
}

# korvel_xvfb_stop PID DISPLAY
korvel_xvfb_stop() {
    local pid=$1 display=${2:-} lockpid
    _korvel_stop_pid "$pid"
    # A killed server leaves its lock and socket behind; remove them if they are ours.
    if [[ -n $display && -f /tmp/.X$display-lock ]]; then
        lockpid=$(tr -dc '0-9' <"/tmp/.X$display-lock")
        if [[ $lockpid == "$pid" ]]; then
            rm -f "/tmp/.X$display-lock" "/tmp/.X11-unix/X$display"
        fi
    fi
    return 0
}
