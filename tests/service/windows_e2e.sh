#!/usr/bin/env bash
# End-to-end tests of the Windows executable under Wine: entry flags, console
# mode (also without a flag, outside the service manager), and the service
# under Wine's service control manager (install, start, requests, pause
# refused, stop, listener failure, uninstall).
#
#   windows_e2e.sh EXE WORK_DIR
#
# Uses a private Wine prefix in WORK_DIR and the private MariaDB whose folder
# is in TARN_TEST_MARIADB_DIR. Prints one line per check and ends with a
# "N passed, N failed" line; exits non-zero on any failure.
set -uo pipefail

exe=$1
work=$2
db=${TARN_TEST_MARIADB_DIR:?}
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$work" && mkdir -p "$work"

passed=0 failed=0
check() {  # check NAME COMMAND...
    local name=$1
    shift
    if "$@"; then echo "ok   $name"; passed=$((passed + 1)); else echo "FAIL $name"; failed=$((failed + 1)); fi
}
finish() {
    wineserver -k >/dev/null 2>&1
    [[ -n ${holder:-} ]] && kill "$holder" 2>/dev/null
    echo "$passed passed, $failed failed"
    exit $((failed > 0))
}
trap finish EXIT
wait_for() {  # wait_for SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do ((SECONDS < deadline)) || return 1; sleep 0.3; done
}

# Let the first boot of the prefix finish completely: a service manager still
# shutting down from wineboot can lose a registration made in that moment.
wineboot -i >/dev/null 2>&1
wineserver -w
data="$WINEPREFIX/drive_c/ProgramData/TARN/IngestService"
log="$data/service.log"
mkdir -p "$data"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
token=wine-e2e-token
printf '%s\n' bind_addr=127.0.0.1 "bind_port=$port" "odbc_driver=MariaDB Unicode" "mysql_port=$(<"$db/port")" \
    "mysql_user=$(<"$db/user")" "mysql_pass=$(<"$db/password")" "mysql_db=$(<"$db/database")" \
    "ingest_token=$token" >"$data/tarn_ingest.conf"
sql() {
    mariadb --no-defaults --protocol=tcp -h127.0.0.1 -P"$(<"$db/port")" -u"$(<"$db/user")" \
        -p"$(<"$db/password")" -N -B "$(<"$db/database")" -e "$1"
}
healthy() { [[ $(curl -sS -m 10 "http://127.0.0.1:$port/api/health" 2>/dev/null) == '{"ok":true}' ]]; }
# A meter of this run alone, so that repeated runs against one database count their own rows.
meter=$(((RANDOM << 15 | RANDOM) % 1000000000 + 1000))
batch='{"batch_window_end":"2024-05-01T12:00:00Z","clients":[{"node_id":5}],"readings":[{"node_id":5,"meter_id":'$meter',"protocol":7,"volume_gal":125}],"events":[{"event_type":"wine"}]}'
written='{"ok":true,"clients_upserted":1,"readings_inserted":1,"events_inserted":1}'
post() { curl -sS -m 30 -H "X-Tarn-Token: $1" --data-binary "$batch" "http://127.0.0.1:$port/api/ingest"; }
# Windows console programs end their lines with CR LF; compared without the CR.
run_exe() {  # run_exe ARGS...: stdout in $out, stderr in $err, status in $status
    out=$(wine "$exe" "$@" 2>"$work/err" | tr -d '\r')
    status=${PIPESTATUS[0]}
    err=$(tr -d '\r' <"$work/err")
}

run_exe --Console
check "unknown flag: status 2, its line on stderr, nothing on stdout" \
    test "$status:$err:$out" = "2:unknown flag: --Console:"

# No flag from a console: no service manager started it, so console mode.
wine "$exe" >"$work/console.out" 2>&1 &
console=$!
check "without a flag, console mode serves" wait_for 30 healthy
check "console banner" grep -q 'console mode (Ctrl+C to stop)' "$work/console.out"
check "console mode writes a batch" test "$(post "$token")" = "$written"
check "the reading is in MariaDB" test "$(sql "SELECT volume_gal FROM readings WHERE meter_id=$meter")" = "12.5"
check "missing token refused" test "$(post wrong)" = '{"error":"unauthorized"}'
check "configuration found through the shell folder" \
    grep -q 'config: loaded C:\\ProgramData\\TARN\\IngestService\\tarn_ingest.conf' "$log"
kill -INT "$console"  # Wine turns SIGINT into a CTRL_C_EVENT
wait "$console"
check "Ctrl+C stops console mode with status 0" test $? -eq 0
check "the log ends with http: stopped" bash -c "tail -n 1 '$log' | grep -q '\[INF\] http: stopped$'"
wineserver -w

query() { wine sc query TarnIngestService 2>/dev/null | tr -d '\r'; }
state_is() { query | grep -Eq "STATE +: +[0-9]+ +$1"; }
stopped_with() {  # stopped_with WIN32_EXIT_CODE SERVICE_EXIT_CODE
    local q
    q=$(query)
    grep -Eq "STATE +: +[0-9]+ +STOPPED" <<<"$q" && grep -Eq "WIN32_EXIT_CODE +: +$1 " <<<"$q" &&
        grep -Eq "SERVICE_EXIT_CODE +: +$2 " <<<"$q"
}

run_exe --install
check "install: its line, status 0" test "$status:$out" = "0:installed service 'TarnIngestService'"
run_exe --install
check "second install: service already exists, status 0" test "$status:$err" = "0:service already exists"
# Wine's sc has no "qc"; the registration is in the registry.
registration=$(wine reg query 'HKLM\System\CurrentControlSet\Services\TarnIngestService' 2>/dev/null | tr -d '\r')
for pattern in 'Start +REG_DWORD +0x2$' 'Type +REG_DWORD +0x10$' 'ObjectName +REG_SZ +LocalSystem$' \
    'ImagePath +REG_SZ +"[A-Z]:\\.*\\tarn_ingest_service\.exe"$' 'DisplayName +REG_SZ +TARN Water Ingest Service$' \
    "Description +REG_SZ +Listens on TCP for the ESP32 water-meter gateway's JSON batches and writes them to MySQL.$"; do
    check "registered: $pattern" grep -Eq "$pattern" <<<"$registration"
done

rm -f "$log"
wine net start TarnIngestService >/dev/null 2>&1
check "net start: RUNNING" wait_for 30 state_is RUNNING
check "the service serves" wait_for 30 healthy
check "the service writes batches" test "$(post "$token")" = "$written"
wine sc pause TarnIngestService >/dev/null 2>&1
check "pause refused: still RUNNING" state_is RUNNING
check "still serving after the pause request" healthy
wine sc stop TarnIngestService >/dev/null 2>&1
check "sc stop: STOPPED with exit codes 0" wait_for 30 stopped_with 0 0
check "the service log ends with http: stopped" bash -c "tail -n 1 '$log' | grep -q '\[INF\] http: stopped$'"

# The listening port taken from Linux: running, then stopped with a failure.
python3 -c 'import socket,sys,time; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("127.0.0.1",int(sys.argv[1]))); s.listen(1); time.sleep(120)' "$port" &
holder=$!
sleep 0.5
wine net start TarnIngestService >/dev/null 2>&1
check "failed start: STOPPED, exit codes 1066 and 1" wait_for 30 stopped_with 1066 1
check "the log holds the listener failure" grep -q '\[ERR\] service: failed to start HTTP listener' "$log"

run_exe --uninstall
check "uninstall: its line, status 0" test "$status:$out" = "0:uninstalled service 'TarnIngestService'"
run_exe --uninstall
check "second uninstall: service not installed, status 0" test "$status:$err" = "0:service not installed"
