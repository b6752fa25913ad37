#!/usr/bin/env bash
# Installs the build into a scratch folder and starts the service from
# there, from another working folder: it answers a command on 12380, starts
# the Updater of its Updater/ folder, which asks the server of that folder's
# Update.conf, and ends when asked with `Korvel --quit`.
#
#   installed_folder.sh CMAKE BUILD_DIR
#
# Exit 77: skipped (outside the test harness).
set -uo pipefail

cmake=${1:?usage: installed_folder.sh CMAKE BUILD_DIR}
build=${2:?usage: installed_folder.sh CMAKE BUILD_DIR}
if [[ ${KORVEL_IN_HARNESS:-} != 1 ]]; then
    echo "SKIP: needs the test harness (network namespace, CUPS, X): scripts/test"
    exit 77
fi

fail() {
    echo "FAIL: $*"
    exit 1
}

work=$(mktemp -d "${KORVEL_HARNESS_TMP:-/tmp}/installed-folder.XXXXXX") || exit 1
till="$work/till folder"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    wait 2>/dev/null
}
trap cleanup EXIT

"$cmake" --install "$build" --prefix "$till" >"$work/install.out" 2>&1 || fail "install: $(tail -5 "$work/install.out")"
for file in Korvel Selvane Updater/Updater Updater/Tamrow; do
    [[ -f $till/$file && -x $till/$file ]] || fail "no program $file in the installed folder"
done

# The desktop entry names the installed program; the quotes keep the blank.
grep -qxF "Exec=\"$till/Korvel\"" "$till/korvel.desktop" || fail "korvel.desktop: $(grep Exec= "$till/korvel.desktop")"

# The sample Update.conf, pointed at a check server on loopback that offers
# no newer version. The device shows that the Updater read this file.
mkdir "$work/server"
python3 - "$till/Updater/Update.conf" "$work/server/update.json" <<'PY' || fail "sample Update.conf unusable"
import json, sys
conf_path, answer_path = sys.argv[1:]
with open(conf_path, encoding="ascii") as f:
    conf = json.load(f)
assert sorted(conf) == ["device", "name", "silent", "startTime", "updateTime", "url", "version"], conf
assert conf["name"] == "Korvel" and conf["version"].isdigit(), conf
with open(answer_path, "w") as f:
    json.dump({"name": "Korvel", "version": int(conf["version"]), "hash": 0, "url": "", "comment": "", "device": ""}, f)
conf["device"] = "31"
conf["url"] = "http://127.0.0.1:{port}/update.json?"
with open(conf_path + ".template", "w", encoding="ascii") as f:
    json.dump(conf, f, indent=4)
PY
python3 -u -m http.server --bind 127.0.0.1 --directory "$work/server" 0 >"$work/server.out" 2>&1 &
pids+=($!)
port=
for ((i = 0; i < 100; i++)); do
    port=$(grep -o 'port [0-9]*' "$work/server.out" | grep -o '[0-9]*')
    [[ -n $port ]] && break
    sleep 0.1
done
[[ -n $port ]] || fail "check server did not start: $(cat "$work/server.out")"
sed "s/{port}/$port/" "$till/Updater/Update.conf.template" >"$till/Updater/Update.conf" && rm "$till/Updater/Update.conf.template"

(cd "$work" && exec "$till/Korvel") >"$work/service.out" 2>&1 &
service=$!
pids+=($service)

post() { curl -s -m 10 --data-binary "$1" http://127.0.0.1:12380/; }
answer=
for ((i = 0; i < 300; i++)); do
    answer=$(post '{"Msg":"GetRoomArea"}' 2>/dev/null)
    [[ -n $answer ]] && break
    kill -0 $service 2>/dev/null || fail "the service ended: $(tail -5 "$work/service.out")"
    sleep 0.1
done
[[ ${answer//[[:space:]]/} == '{}' ]] || fail "GetRoomArea answered '$answer'"

for ((i = 0; i < 300; i++)); do
    grep -qF 'GET /update.json?&device=31 ' "$work/server.out" && break
    sleep 0.1
done
grep -qF 'GET /update.json?&device=31 ' "$work/server.out" \
    || fail "no update check from the installed Updater: $(tail -5 "$work/server.out")"

"$till/Korvel" --quit >>"$work/service.out" 2>&1 || fail "Korvel --quit failed"
for ((i = 0; i < 100; i++)); do
    kill -0 $service 2>/dev/null || break
    sleep 0.1
done
kill -0 $service 2>/dev/null && fail "the service still runs 10 s after Korvel --quit"
[[ -d $till/logs ]] || fail "no logs/ in the installed folder"
echo "installed folder: answered, Updater asked 127.0.0.1:$port, ended on --quit"
exit 0
