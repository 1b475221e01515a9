#!/usr/bin/env bash
# End-to-end tests of the Windows executable under Wine: console mode, entry
# flags, and the service under Wine's service control manager (install, start,
# requests, pause refused, stop, listener failure, uninstall).
#
#   windows_e2e.sh EXE WORK_DIR
#
# Uses a private Wine prefix in WORK_DIR and the private MariaDB whose folder
# is in TARN_TEST_MARIADB_DIR. Prints one line per check and ends with a
# "N passed, N failed" line; exits non-zero on any failure.
set -uo pipefail

exe=$1
work=$2
db_dir=${TARN_TEST_MARIADB_DIR:?}

export WINEPREFIX="$work/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$work"
mkdir -p "$work"

passed=0
failed=0
check() {  # check NAME COMMAND...
    local name=$1
    shift
    if "$@"; then
        echo "ok   $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        failed=$((failed + 1))
    fi
}
finish() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    [[ -n ${holder_pid:-} ]] && kill "$holder_pid" 2>/dev/null
    echo "$passed passed, $failed failed"
    [[ $failed -eq 0 ]]
    exit $?
}
trap finish EXIT

# Let the first boot of the prefix finish completely: a service manager still
# shutting down from wineboot can lose a registration made in that moment.
wineboot -i >/dev/null 2>&1
wineserver -w
data_dir="$WINEPREFIX/drive_c/ProgramData/TARN/IngestService"
mkdir -p "$data_dir"
conf="$data_dir/tarn_ingest.conf"
log="$data_dir/service.log"

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
port=$(free_port)
token=wine-e2e-token
db_port=$(cat "$db_dir/port")
db_user=$(cat "$db_dir/user")
db_pass=$(cat "$db_dir/password")
db_name=$(cat "$db_dir/database")

write_config() {
    cat >"$conf" <<CONF
bind_addr=127.0.0.1
bind_port=$port
odbc_driver=MariaDB Unicode
mysql_host=127.0.0.1
mysql_port=$db_port
mysql_user=$db_user
mysql_pass=$db_pass
mysql_db=$db_name
ingest_token=$token
CONF
}

sql() {
    mariadb --no-defaults --protocol=tcp -h127.0.0.1 -P"$db_port" -u"$db_user" -p"$db_pass" -N -B "$db_name" -e "$1"
}

health() {
    curl -sS -m 10 "http://127.0.0.1:$port/api/health" 2>/dev/null
}

wait_for() {  # wait_for SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.3
    done
}

healthy() { [[ $(health) == '{"ok":true}' ]]; }

# The unique meter of this run, so that repeated runs against one database
# count only their own rows.
meter=$(( (RANDOM << 15 | RANDOM) % 1000000000 + 1000 ))
batch='{"batch_window_end":"2024-05-01T12:00:00Z","clients":[{"node_id":5,"chip":"esp32","fw_version":"2.0"}],"readings":[{"node_id":5,"meter_id":'$meter',"protocol":7,"volume_gal":125}],"events":[{"event_type":"wine","payload":[1]}]}'

# --- entry flags --------------------------------------------------------------
# Windows console programs end their lines with CR LF; compare without the CR.
run_exe() {  # run_exe ARGS... : stdout in $out, stderr in $work/err.txt, status in $status
    out=$(wine "$exe" "$@" 2>"$work/err.raw" | tr -d '\r')
    status=${PIPESTATUS[0]}
    tr -d '\r' <"$work/err.raw" >"$work/err.txt"
}
run_exe --Console
check "unknown flag exits 2" test "$status" -eq 2
check "unknown flag message on stderr" grep -qx 'unknown flag: --Console' "$work/err.txt"
check "unknown flag prints nothing on stdout" test -z "$out"

# --- console mode ---------------------------------------------------------------
write_config
wine "$exe" --console extra arguments >"$work/console.out" 2>"$work/console.err" &
console_pid=$!
check "console mode serves the health route" wait_for 30 healthy
check "console banner" bash -c "tr -d '\r' <'$work/console.out' | grep -qx 'TARN Ingest Service — console mode (Ctrl+C to stop)'"
reply=$(curl -sS -m 30 -H "X-Tarn-Token: $token" --data-binary "$batch" "http://127.0.0.1:$port/api/ingest")
check "ingest answered with the counts" test "$reply" = '{"ok":true,"clients_upserted":1,"readings_inserted":1,"events_inserted":1}'
check "reading landed in MariaDB" test "$(sql "SELECT volume_gal FROM readings WHERE meter_id=$meter")" = "12.5"
reply=$(curl -sS -m 10 --data-binary "$batch" "http://127.0.0.1:$port/api/ingest")
check "missing token refused" test "$reply" = '{"error":"unauthorized"}'
check "configuration found through the shell folder" grep -q "config: loaded C:\\\\ProgramData\\\\TARN\\\\IngestService\\\\tarn_ingest.conf" "$log"

# Ctrl+C: Wine turns SIGINT to the process into a CTRL_C_EVENT.
kill -INT "$console_pid"
wait_for 15 bash -c "! kill -0 $console_pid 2>/dev/null"
wait "$console_pid"
status=$?
check "Ctrl+C stops console mode with status 0" test "$status" -eq 0
check "log ends with http: stopped" bash -c "tail -n 1 '$log' | grep -q '\[INF\] http: stopped$'"

# --- service control manager -------------------------------------------------
query() { wine sc query TarnIngestService 2>/dev/null | tr -d '\r'; }
state_is() { query | grep -Eq "STATE +: +[0-9]+ +$1"; }
# The console run's processes are gone before the service manager is used.
wineserver -w
query >/dev/null

run_exe --install
check "install prints its line" test "$out" = "installed service 'TarnIngestService'"
check "install exits 0" test "$status" -eq 0
run_exe --install
check "second install: service already exists" grep -qx 'service already exists' "$work/err.txt"
check "second install exits 0" test "$status" -eq 0

# Wine's sc has no "qc"; the service manager keeps the registration in the
# registry, which is where QueryServiceConfig reads it from.
qc=$(wine reg query 'HKLM\System\CurrentControlSet\Services\TarnIngestService' 2>/dev/null | tr -d '\r')
check "registered for automatic start" grep -Eq 'Start +REG_DWORD +0x2$' <<<"$qc"
check "registered as own process" grep -Eq 'Type +REG_DWORD +0x10$' <<<"$qc"
check "runs as LocalSystem" grep -Eq 'ObjectName +REG_SZ +LocalSystem$' <<<"$qc"
check "quoted executable path" grep -Eq 'ImagePath +REG_SZ +"[A-Z]:\\.*\\tarn_ingest_service\.exe"$' <<<"$qc"
check "display name" grep -Eq 'DisplayName +REG_SZ +TARN Water Ingest Service$' <<<"$qc"
check "description" grep -Fq "Listens on TCP for the ESP32 water-meter gateway's JSON batches and writes them to MySQL." <<<"$qc"

rm -f "$log"
wine net start TarnIngestService >/dev/null 2>&1
check "net start brings it to RUNNING" wait_for 30 state_is RUNNING
check "the service serves requests" wait_for 30 healthy
reply=$(curl -sS -m 30 -H "X-Tarn-Token: $token" --data-binary "$batch" "http://127.0.0.1:$port/api/ingest")
check "the service writes batches" test "$reply" = '{"ok":true,"clients_upserted":1,"readings_inserted":1,"events_inserted":1}'

wine sc pause TarnIngestService >"$work/pause.txt" 2>&1
check "pause is refused" bash -c "! tr -d '\r' <'$work/pause.txt' | grep -Eq 'STATE +: +[0-9]+ +PAUSE'"
check "still running after the pause request" state_is RUNNING
check "still serving after the pause request" healthy

wine sc stop TarnIngestService >/dev/null 2>&1
check "sc stop brings it to STOPPED" wait_for 30 state_is STOPPED
check "stopped with Win32 exit code 0" bash -c "wine sc query TarnIngestService 2>/dev/null | tr -d '\r' | grep -Eq 'WIN32_EXIT_CODE +: +0 '"
check "service log ends with http: stopped" bash -c "tail -n 1 '$log' | grep -q '\[INF\] http: stopped$'"

# The listening port taken from Linux: running, then stopped with a failure.
python3 -c 'import socket,sys,time; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("127.0.0.1",int(sys.argv[1]))); s.listen(1); time.sleep(120)' "$port" &
holder_pid=$!
sleep 0.5
rm -f "$log"
wine net start TarnIngestService >/dev/null 2>&1
check "failed start ends STOPPED" wait_for 30 state_is STOPPED
check "failed start reports Win32 exit code 1066" bash -c "wine sc query TarnIngestService 2>/dev/null | tr -d '\r' | grep -Eq 'WIN32_EXIT_CODE +: +1066 '"
check "failed start reports service exit code 1" bash -c "wine sc query TarnIngestService 2>/dev/null | tr -d '\r' | grep -Eq 'SERVICE_EXIT_CODE +: +1 '"
check "log holds the listener failure" grep -q '\[ERR\] service: failed to start HTTP listener' "$log"
kill "$holder_pid" 2>/dev/null
holder_pid=""

run_exe --uninstall
check "uninstall prints its line" test "$out" = "uninstalled service 'TarnIngestService'"
check "uninstall exits 0" test "$status" -eq 0
run_exe --uninstall
check "second uninstall: service not installed" grep -qx 'service not installed' "$work/err.txt"
check "second uninstall exits 0" test "$status" -eq 0
