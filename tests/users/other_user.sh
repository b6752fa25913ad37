#!/usr/bin/env bash
# A till shared by two local users: the cashier (uid 4001) runs the service
# from a folder of their own; another user (uid 4002) tries to stop, hang or
# steer it. Each attempt must fail, while the cashier's own second start,
# quit request and Selvane still work.
#
#   other_user.sh BUILD_DIR
#
# Exit 77: skipped (outside the test harness, or not root).
set -uo pipefail

build=${1:?usage: other_user.sh BUILD_DIR}
if [[ ${KORVEL_IN_HARNESS:-} != 1 || $(id -u) != 0 ]]; then
    echo "SKIP: needs the test harness as root (network namespace, setpriv): scripts/test"
    exit 77
fi

cashier=4001
other=4002
fail() {
    echo "FAIL: $*"
    [[ -f ${log:-} ]] && { echo "--- service log:"; cat "$log"; }
    exit 1
}

work=$(mktemp -d /tmp/korvel-users.XXXXXX) || exit 1
chmod 755 "$work"
pids=()
cleanup() {
    local pid
    # The other user's helpers end by themselves once they see this.
    touch "$work/stop"
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$work" /tmp/korvel-4001-QXPrinterObject.lock /tmp/korvel-QXPrinterObject.lock
}
trap cleanup EXIT

# The package folder sits in a folder of the cashier's, who may delete it.
till="$work/apps/till"
mkdir -p "$till/Updater" "$work/home-$cashier" "$work/home-$other"
cp "$build/service/Korvel" "$build/tools/cleaner/Selvane" "$till/"
echo '{}' >"$till/Updater/Update.conf"
chown -R $cashier:$cashier "$work/apps" "$work/home-$cashier"
chown -R $other:$other "$work/home-$other"
chmod 700 "$work/home-$cashier" "$work/home-$other"
log="$till/logs/PrinterLog_$(date +%F).log"

# Runs a command as the user, in a clean environment of theirs, at most a minute.
run_as() {
    local uid=$1
    shift
    timeout 60 env -i PATH=/usr/bin:/bin HOME="$work/home-$uid" QT_QPA_PLATFORM=offscreen \
        setpriv --reuid=$uid --regid=$uid --clear-groups "$@"
}

answers_commands() {
    local line
    exec 3<>/dev/tcp/127.0.0.1/12380 || return 1
    printf 'POST / HTTP/1.1\r\nContent-Length: 21\r\n\r\n{"Msg":"GetRoomArea"}' >&3
    read -r -t 5 line <&3
    exec 3<&-
    [[ $line == "HTTP/1.1 200"* ]]
}

wait_for() {
    local tries=$1
    shift
    while ((tries-- > 0)); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

# The other user's helper: sends one datagram from a socket it keeps open for
# a while, or tries to bind beside the service.
other_python() {
    run_as $other /usr/bin/python3 -c "$1"
}

# 1. The other user plants the lock names an earlier version used in the
#    shared temporary folder, and holds them.
other_python '
import fcntl, os, time
for name in ("/tmp/korvel-4001-QXPrinterObject.lock", "/tmp/korvel-QXPrinterObject.lock"):
    fd = os.open(name, os.O_RDWR | os.O_CREAT, 0o666)
    fcntl.flock(fd, fcntl.LOCK_EX)
while not os.path.exists("'"$work/stop"'"):
    time.sleep(0.1)
' &
sleep 0.5

# exec'd all the way down, so that its id is the service's
env -i PATH=/usr/bin:/bin HOME="$work/home-$cashier" QT_QPA_PLATFORM=offscreen \
    setpriv --reuid=$cashier --regid=$cashier --clear-groups "$till/Korvel" >"$work/service.out" 2>&1 &
pids+=($!)
service=$!
wait_for 150 answers_commands || fail "the cashier's service did not start beside the other user's planted locks"

# 2. One datagram from the other user must not stop it, nor a quit request.
other_python '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for text in (b"{\"query\":\"CloseApp\"}", b"{\"query\":\"IsUpdated\",\"time\":\"1\"}"):
    s.sendto(text, ("127.0.0.1", 19682))
time.sleep(2)
'
run_as $other "$till/Korvel" --quit
sleep 1
kill -0 $service 2>/dev/null || fail "a datagram of another user stopped the service"
answers_commands || fail "the service no longer answers after another user's datagrams"
wait_for 50 grep -q "忽略其他用户发来的更新协调消息" "$log" || fail "the refused datagrams were not logged"

# 3. The other user cannot bind beside the service on the coordination port.
other_python '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("0.0.0.0", 19682))
except OSError:
    sys.exit(0)
sys.exit(1)
' || fail "another user could bind 19682 beside the service"

# The cashier's own second start gives way silently, leaving no line behind.
run_as $cashier "$till/Korvel" || fail "the cashier's second start did not end with 0"
kill -0 $service 2>/dev/null || fail "the second start stopped the first"
sleep 1 # the log writer's flush
for line in "SSL支持状态" "打开文件数上限"; do
    [[ $(grep -c "$line" "$log") == 1 ]] || fail "the second start wrote into the running service's log"
done
! grep -q "监听失败" "$log" || fail "the second start wrote a false alarm into the log"

# A lock folder that is not the cashier's own (here: a home folder set to the
# other user's) is refused loudly, on standard error and in the log.
output=$(env -i PATH=/usr/bin:/bin HOME="$work/home-$other" QT_QPA_PLATFORM=offscreen \
    timeout 60 setpriv --reuid=$cashier --regid=$cashier --clear-groups "$till/Korvel" 2>&1)
status=$?
((status == 1)) || fail "a foreign lock folder gave status $status, not 1"
[[ $output == *"single-instance lock refused"*"home-$other"* ]] || fail "no reason on standard error: $output"
wait_for 25 grep -q "single-instance lock refused" "$log" || fail "the foreign lock folder is not in the log"

# 5. The cashier's own Selvane asks the service to close and removes the folder.
mkdir -p "$work/home-$cashier/.config/Korvel"
printf '[Run]\nKorvel=%s\n' "$till/Korvel" >"$work/home-$cashier/.config/Korvel/Run.ini"
chown -R $cashier:$cashier "$work/home-$cashier/.config"
cp "$till/Selvane" "$work/Selvane"
output=$(run_as $cashier "$work/Selvane" -repairPrinter 2>&1)
[[ $output == *清理成功* ]] || fail "the cashier's Selvane did not succeed: $output"
wait_for 50 bash -c "! kill -0 $service 2>/dev/null" || fail "the service did not close when the cashier's Selvane asked"
[[ ! -e $till ]] || fail "the package folder is still there"
echo "PASS: other user's attempts failed; the cashier's own second start, Selvane and CloseApp worked"
