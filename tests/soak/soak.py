#!/usr/bin/env python3
"""Fault soak of the ingest service: counts every row of every batch.

Several client threads POST batches with unique, recorded contents to a real
tarn_ingest_service while a fault thread, every few seconds, kills MariaDB
with SIGKILL and restarts it, kills the service's database connections from
a second session, or kills the service with SIGKILL and restarts it. At the
end the database is checked against the record of every batch:

  - a batch answered 200 is present whole, and the counts in its reply equal
    the rows it holds;
  - no batch is present in part, and no row belongs to no batch;
  - a batch answered 422 or 503 is absent, except a "commit failed" reply,
    whose outcome the database could not report: it may be present whole;
  - a batch without a reply is absent or present whole; one whose connection
    was refused is absent;
  - after the faults stop, the service takes batches again.

It prints the numbers and exits 1 on any violation, 2 when the soak itself
could not run. Only the standard library is used; everything listens on
127.0.0.1 only.

Usage (normally through tests/soak/run, which builds the service):
  soak.py --exe PATH --program-data-dir DIR --work-dir DIR [--duration S]
"""

import argparse
import http.client
import json
import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time

# A batch's readings carry meter ids batch_id * meter_ids_per_batch + index,
# and its events the event type "soak-<batch_id>": the rows of each batch can
# be counted in the database.
meter_ids_per_batch = 100
event_type_prefix = "soak-"

http_timeout_s = 30.0
health_timeout_s = 30.0
mariadb_script_timeout_s = 180.0
sql_timeout_s = 30.0
service_stop_timeout_s = 15.0
# After the faults stop, the service must take a batch within this time, and
# then this many batches in a row.
recovery_timeout_s = 60.0
recovery_batches = 5

# Pauses of a client after a failed request, so that an outage does not turn
# into thousands of throw-away batches.
pause_after_refused_s = (0.1, 0.3)
pause_after_no_reply_s = (0.05, 0.2)
pause_after_unavailable_s = (0.02, 0.1)

# What the database may hold of a batch, by the kind of reply it got.
OK = "200 ok"
REJECTED = "422 rejected"
UNAVAILABLE = "503 unavailable"
COMMIT_FAILED = "503 commit failed"
NO_REPLY = "no reply"
REFUSED = "connection refused"
OTHER = "other status"

MAY_BE_WHOLE = {OK, COMMIT_FAILED, NO_REPLY, OTHER}
MUST_BE_WHOLE = {OK}

FAULT_KILL_DB = "kill -9 mariadbd, restart"
FAULT_KILL_CONNECTIONS = "KILL service db connections"
FAULT_KILL_SERVICE = "kill -9 service, restart"
FAULT_KINDS = (FAULT_KILL_DB, FAULT_KILL_CONNECTIONS, FAULT_KILL_SERVICE)

started_at = time.monotonic()
print_lock = threading.Lock()


def say(text):
    with print_lock:
        print("[%7.1fs] %s" % (time.monotonic() - started_at, text), flush=True)


class SoakError(Exception):
    """The soak itself cannot go on (a server that does not start, ...)."""


class Batch:
    """One POSTed batch: what was sent, what came back, what the database holds."""

    def __init__(self, batch_id, sender, clients, valid_clients, readings, events, invalid):
        self.batch_id = batch_id
        self.sender = sender
        self.clients = clients              # node ids of the valid clients
        self.valid_clients = valid_clients  # clients the service must upsert
        self.readings = readings            # readings rows of the batch
        self.events = events                # events rows of the batch
        self.invalid = invalid              # the expected error text, or None
        self.body = b""
        self.outcome = None
        self.status = 0
        self.reply = ""
        self.sent_at = 0.0
        self.db_readings = 0
        self.db_events = 0

    def db_state(self):
        if self.db_readings == 0 and self.db_events == 0:
            return "absent"
        if (self.invalid is None and self.db_readings == self.readings
                and self.db_events == self.events):
            return "whole"
        return "partial"

    def record(self):
        return {
            "batch_id": self.batch_id, "sender": self.sender, "invalid": self.invalid,
            "clients": self.valid_clients, "readings": self.readings, "events": self.events,
            "outcome": self.outcome, "status": self.status, "reply": self.reply,
            "sent_at_s": round(self.sent_at, 3),
            "db_readings": self.db_readings, "db_events": self.db_events,
        }


def make_batch(batch_id, sender, rng, invalid_ratio):
    """Builds a batch whose readings and events can be told apart from every other's."""
    # Clients are upserted by node id, so they are not unique per batch; a
    # client with node id 0 or 255 is skipped by the service without an error.
    clients = []
    valid_nodes = []
    for _ in range(rng.randint(1, 3)):
        node = rng.randint(1, 254)
        valid_nodes.append(node)
        clients.append({"node_id": node, "chip": "esp32c3", "fw_version": "1.4.2",
                        "last_seen": "2024-05-01T11:59:41Z", "last_rssi_dbm": -71.5,
                        "last_lqi": rng.randint(0, 255)})
    if rng.random() < 0.1:
        clients.insert(rng.randint(0, len(clients)),
                       {"node_id": rng.choice((0, 255)), "chip": "skipped"})

    reading_count = rng.randint(40, meter_ids_per_batch - 40)
    readings = []
    for index in range(reading_count):
        readings.append({"node_id": rng.choice(valid_nodes),
                         "meter_id": batch_id * meter_ids_per_batch + index,
                         "protocol": rng.choice((7, 223)), "volume_gal": rng.randint(0, 10**7),
                         "flow_gpm": round(rng.uniform(0, 5), 2), "freq_hz": 916500000,
                         "rssi_dbm": -71.5, "gateway_received_at": "2024-05-01T11:59:41Z"})
    event_count = rng.randint(1, 5)
    events = []
    for index in range(event_count):
        events.append({"node_id": rng.choice(valid_nodes), "event_type": event_type_prefix + str(batch_id),
                       "payload": {"batch": batch_id, "seq": index},
                       "gateway_received_at": "2024-05-01T11:59:42Z"})

    # An invalid batch fails late, after most of its rows have been executed,
    # so that only the rollback keeps them out of the tables.
    invalid = None
    if rng.random() < invalid_ratio:
        kind = rng.randrange(3)
        if kind == 0:
            readings[-1]["node_id"] = 0
            invalid = "reading node_id out of range"
        elif kind == 1:
            del readings[rng.randrange(len(readings) // 2, len(readings))]["meter_id"]
            invalid = "reading missing required field"
        else:
            del events[-1]["event_type"]
            invalid = "event missing required field"

    batch = Batch(batch_id, sender, valid_nodes, len(valid_nodes), reading_count, event_count, invalid)
    batch.body = json.dumps({"batch_window_end": "2024-05-01T12:00:00Z", "clients": clients,
                             "readings": readings, "events": events},
                            separators=(",", ":")).encode()
    return batch


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def process_is_alive(pid):
    """True for a running process; a zombie that nobody reaps counts as gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X")


class MariaDb:
    """The private MariaDB server, driven through scripts/mariadb."""

    def __init__(self, script, directory):
        self.script = script
        self.dir = directory
        self.port = None
        self.user = self.password = self.database = self.socket = None

    def start(self):
        result = subprocess.run([self.script, "start", self.dir], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=mariadb_script_timeout_s)
        if result.returncode != 0:
            raise SoakError("scripts/mariadb start failed:\n" + result.stdout + result.stderr)
        self.load()

    def load(self):
        """Reads what a client needs from the files the start script wrote into the folder."""
        port = int(self.read("port"))
        if self.port is not None and port != self.port:
            # The service's configuration names the old port; the caller
            # rewrites it and restarts the service.
            say("mariadb: restarted on port %d instead of %d" % (port, self.port))
        self.port = port
        self.user = self.read("user")
        self.password = self.read("password")
        self.database = self.read("database")
        for line in self.read("env").splitlines():
            if line.startswith("TARN_DB_SOCKET="):
                self.socket = line.split("=", 1)[1]
        if not self.socket:
            raise SoakError("no TARN_DB_SOCKET in %s/env" % self.dir)

    def stop(self):
        subprocess.run([self.script, "stop", self.dir], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=mariadb_script_timeout_s)

    def read(self, name):
        with open(os.path.join(self.dir, name)) as f:
            return f.read().strip()

    def server_pid(self):
        try:
            pid = int(self.read("mysqld.pid"))
        except (OSError, ValueError):
            return None
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read()
        except OSError:
            return None
        datadir = ("--datadir=" + os.path.join(self.dir, "data")).encode()
        return pid if datadir in cmdline.split(b"\0") and process_is_alive(pid) else None

    def kill9(self):
        """Kills the server with SIGKILL and waits until it is gone. Returns its pid or None."""
        pid = self.server_pid()
        if pid is None:
            return None
        os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + 10
        while process_is_alive(pid):
            if time.monotonic() > deadline:
                raise SoakError("mariadbd %d still alive 10 s after SIGKILL" % pid)
            time.sleep(0.05)
        return pid

    def sql(self, statement):
        """Runs `statement` as root over the unix socket; returns the rows as lists of texts."""
        result = subprocess.run(
            ["mariadb", "--no-defaults", "--protocol=socket", "--socket=" + self.socket, "-uroot",
             "--batch", "--skip-column-names", "--connect-timeout=5", self.database, "-e", statement],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=sql_timeout_s)
        if result.returncode != 0:
            raise SoakError("mariadb client failed on %r: %s" % (statement[:60], result.stderr.strip()))
        return [line.split("\t") for line in result.stdout.splitlines() if line]


class Service:
    """The service under test, run in console mode as a child process."""

    def __init__(self, exe, conf_path, work_dir, port):
        self.exe = exe
        # What starts the service; a caller may put a wrapper in front.
        self.command = [exe, "--console"]
        self.conf_path = conf_path
        self.port = port
        self.console_log = os.path.join(work_dir, "service-console.log")
        self.log_path = os.path.join(work_dir, "service.log")
        self.pid_path = os.path.join(work_dir, "service.pid")
        self.token = os.urandom(12).hex()
        self.proc = None
        # Held while the service is killed or restarted; watch_service takes it again inside.
        self.lock = threading.RLock()

    def write_config(self, db):
        os.makedirs(os.path.dirname(self.conf_path), exist_ok=True)
        with open(self.conf_path, "w") as f:
            f.write("# Written by tests/soak/soak.py for a fault soak.\n"
                    "bind_addr=127.0.0.1\n"
                    "bind_port=%d\n"
                    "odbc_driver=MariaDB Unicode\n"
                    "mysql_host=127.0.0.1\n"
                    "mysql_port=%d\n"
                    "mysql_user=%s\n"
                    "mysql_pass=%s\n"
                    "mysql_db=%s\n"
                    "ingest_token=%s\n"
                    "log_path=%s\n" % (self.port, db.port, db.user, db.password, db.database,
                                       self.token, self.log_path))

    def kill_leftover(self):
        """Kills a service left running by an earlier soak that was itself killed."""
        try:
            with open(self.pid_path) as f:
                pid = int(f.read())
            if os.path.realpath("/proc/%d/exe" % pid) == os.path.realpath(self.exe):
                os.kill(pid, signal.SIGKILL)
        except (OSError, ValueError):
            pass

    def start(self):
        """Starts the service and waits until /api/health answers."""
        for _ in range(3):
            with open(self.console_log, "ab") as out:
                self.proc = subprocess.Popen(self.command, stdin=subprocess.DEVNULL,
                                             stdout=out, stderr=subprocess.STDOUT)
            with open(self.pid_path, "w") as f:
                f.write(str(self.proc.pid))
            deadline = time.monotonic() + health_timeout_s
            while time.monotonic() < deadline and self.proc.poll() is None:
                if self.healthy():
                    return
                time.sleep(0.05)
            if self.proc.poll() is None:
                self.kill9()
                raise SoakError("service did not answer /api/health within %.0f s" % health_timeout_s)
            say("service exited with status %s during start-up; trying again" % self.proc.returncode)
            time.sleep(1)
        raise SoakError("service does not start (see %s)" % self.console_log)

    def healthy(self):
        try:
            conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=2)
            try:
                conn.request("GET", "/api/health")
                response = conn.getresponse()
                return response.status == 200 and response.read() == b'{"ok":true}'
            finally:
                conn.close()
        except (OSError, http.client.HTTPException):
            return False

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def kill9(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            raise SoakError("service %d still alive 10 s after SIGKILL" % self.proc.pid)

    def stop(self):
        """Stops the service with SIGTERM. Returns its exit status, or None when it did not stop."""
        if not self.running():
            return self.proc.returncode if self.proc is not None else None
        self.proc.terminate()
        try:
            return self.proc.wait(timeout=service_stop_timeout_s)
        except subprocess.TimeoutExpired:
            self.kill9()
            return None


class Soak:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.db = MariaDb(args.mariadb_script, os.path.join(args.work_dir, "mariadb"))
        conf_path = os.path.join(args.program_data_dir, "TARN", "IngestService", "tarn_ingest.conf")
        self.service = Service(args.exe, conf_path, args.work_dir, free_port())
        self.batches = []
        self.batches_lock = threading.Lock()
        self.next_batch_id = 1
        self.stop_clients = threading.Event()
        self.stop_faults = threading.Event()
        self.faults = {kind: 0 for kind in FAULT_KINDS}
        self.connections_killed = 0
        self.db_port_changes = 0
        self.problems = []          # violations found while running
        self.harness_errors = []    # the soak could not do what it meant to
        self.service_stop_status = "not stopped"

    # -- batches --------------------------------------------------------

    def new_batch(self, sender, rng, invalid_ratio):
        with self.batches_lock:
            batch_id = self.next_batch_id
            self.next_batch_id += 1
        batch = make_batch(batch_id, sender, rng, invalid_ratio)
        with self.batches_lock:
            self.batches.append(batch)
        return batch

    def send(self, batch, service=None):
        """POSTs the batch once (to the soak's service, or to `service`) and records what came back.
        Never resends."""
        service = service or self.service
        batch.sent_at = time.monotonic() - started_at
        conn = http.client.HTTPConnection("127.0.0.1", service.port, timeout=self.args.http_timeout)
        try:
            try:
                conn.connect()
            except ConnectionRefusedError:
                batch.outcome = REFUSED
                return
            conn.request("POST", "/api/ingest", body=batch.body,
                         headers={"X-Tarn-Token": service.token, "Content-Type": "application/json"})
            response = conn.getresponse()
            batch.status = response.status
            batch.reply = response.read().decode("utf-8", "replace")
        except (OSError, http.client.HTTPException) as e:
            batch.outcome = NO_REPLY
            batch.reply = "%s: %s" % (type(e).__name__, e)
            return
        finally:
            conn.close()
            batch.body = b""  # a long soak keeps tens of thousands of batches
        batch.outcome = self.classify_reply(batch)

    def classify_reply(self, batch):
        try:
            body = json.loads(batch.reply)
        except ValueError:
            body = {}
        if batch.status == 200:
            expected = {"ok": True, "clients_upserted": batch.valid_clients,
                        "readings_inserted": batch.readings, "events_inserted": batch.events}
            if batch.invalid is not None:
                self.problem(batch, "invalid batch answered 200")
            elif body != expected:
                self.problem(batch, "200 reply does not match the batch (expected %s)"
                             % json.dumps(expected, separators=(",", ":")))
            return OK
        error = body.get("error", "") if isinstance(body, dict) else ""
        if batch.status == 422:
            if batch.invalid is None or error != batch.invalid:
                self.problem(batch, "422 for a batch that should fail with %r" % batch.invalid)
            return REJECTED
        if batch.status == 503:
            return COMMIT_FAILED if error.startswith("commit failed") else UNAVAILABLE
        self.problem(batch, "unexpected status")
        return OTHER

    def problem(self, batch, text):
        with self.batches_lock:
            self.problems.append("batch %d (%s, status %d, reply %s): %s"
                                 % (batch.batch_id, batch.outcome or "answered", batch.status,
                                    batch.reply[:200], text))

    def client_loop(self, sender):
        rng = random.Random("%s-%d" % (self.args.seed, sender))
        while not self.stop_clients.is_set():
            batch = self.new_batch(sender, rng, self.args.invalid_ratio)
            self.send(batch)
            pause = {REFUSED: pause_after_refused_s, NO_REPLY: pause_after_no_reply_s,
                     UNAVAILABLE: pause_after_unavailable_s, COMMIT_FAILED: pause_after_unavailable_s}
            if batch.outcome in pause:
                self.stop_clients.wait(rng.uniform(*pause[batch.outcome]))

    # -- faults ---------------------------------------------------------

    def fault_loop(self):
        try:
            while True:
                deadline = time.monotonic() + self.rng.uniform(self.args.fault_min, self.args.fault_max)
                while time.monotonic() < deadline:
                    if self.stop_faults.wait(0.1):
                        return
                    self.watch_service()
                kind = self.rng.choice(self.args.fault_kinds)
                self.inject(kind)
                self.faults[kind] += 1
        except Exception as e:  # noqa: BLE001 - reported, then the run ends
            self.harness_errors.append("fault thread: %s: %s" % (type(e).__name__, e))
            say("fault thread failed: %s" % e)
            self.stop_clients.set()

    def watch_service(self):
        """A service that exits without being killed has crashed: record it and restart it."""
        with self.service.lock:
            if self.service.running():
                return
            status = self.service.proc.returncode
            self.problems.append("service exited by itself with status %s (see %s)"
                                 % (status, self.service.console_log))
            say("service exited by itself with status %s; restarting it" % status)
            self.service.start()

    def inject(self, kind):
        if kind == FAULT_KILL_DB:
            pid = self.db.kill9()
            down_s = self.rng.uniform(0, 2)
            time.sleep(down_s)
            began = time.monotonic()
            old_port = self.db.port
            self.db.start()
            say("fault: killed mariadbd %s, down %.1f s, restarted in %.1f s on port %d"
                % (pid, down_s, time.monotonic() - began, self.db.port))
            if self.db.port != old_port:
                # scripts/mariadb keeps the port when it can; when it cannot,
                # the service needs the new one in its configuration.
                self.db_port_changes += 1
                with self.service.lock:
                    self.service.write_config(self.db)
                    self.service.kill9()
                    self.service.start()
        elif kind == FAULT_KILL_CONNECTIONS:
            rows = self.db.sql("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = '%s' "
                               "AND DB = '%s' AND ID <> CONNECTION_ID()" % (self.db.user, self.db.database))
            killed = 0
            for (connection_id,) in rows:
                try:
                    self.db.sql("KILL %d" % int(connection_id))
                    killed += 1
                except SoakError:
                    pass  # the connection ended by itself in the meantime
            self.connections_killed += killed
            say("fault: KILLed %d service db connection(s)" % killed)
        else:
            with self.service.lock:
                pid = self.service.proc.pid
                self.service.kill9()
                began = time.monotonic()
                self.service.start()
            say("fault: killed service %d, restarted and healthy in %.1f s"
                % (pid, time.monotonic() - began))

    # -- run and check --------------------------------------------------

    def setup(self):
        os.makedirs(self.args.work_dir, exist_ok=True)
        self.service.kill_leftover()
        # A fresh database each run, so that every row belongs to a batch of this run.
        self.db.stop()
        subprocess.run(["rm", "-rf", self.db.dir], check=True)
        for path in (self.service.log_path, self.service.console_log):
            if os.path.exists(path):
                os.remove(path)
        self.db.start()
        say("mariadb on 127.0.0.1:%d (%s)" % (self.db.port, self.db.dir))
        self.service.write_config(self.db)
        self.service.start()
        say("service %d on 127.0.0.1:%d, config %s, log %s"
            % (self.service.proc.pid, self.service.port, self.service.conf_path, self.service.log_path))

    def run(self):
        self.setup()
        clients = [threading.Thread(target=self.client_loop, args=(n,), name="client-%d" % n, daemon=True)
                   for n in range(self.args.clients)]
        faults = threading.Thread(target=self.fault_loop, name="faults", daemon=True)
        for thread in clients:
            thread.start()
        if self.args.fault_kinds:
            faults.start()
        if self.args.fault_kinds:
            say("%d clients sending for %d s; faults every %.0f-%.0f s: %s"
                % (self.args.clients, self.args.duration, self.args.fault_min, self.args.fault_max,
                   ", ".join(self.args.fault_kinds)))
        else:
            say("%d clients sending for %d s; no faults" % (self.args.clients, self.args.duration))

        end = time.monotonic() + self.args.duration
        next_report = time.monotonic() + 15
        while time.monotonic() < end and not self.stop_clients.is_set():
            time.sleep(0.2)
            if time.monotonic() >= next_report:
                next_report += 15
                say("progress: %s" % self.progress())

        # Faults first (a restart in progress completes), then the clients,
        # each of which finishes its request in flight.
        self.stop_faults.set()
        if faults.is_alive():
            faults.join(mariadb_script_timeout_s + health_timeout_s + 30)
            if faults.is_alive():
                raise SoakError("fault thread did not finish")
        self.stop_clients.set()
        for thread in clients:
            thread.join(self.args.http_timeout + 15)
            if thread.is_alive():
                self.problems.append("%s did not finish its request within %.0f s"
                                     % (thread.name, self.args.http_timeout + 15))
        say("faults stopped, clients finished: %s" % self.progress())

        self.db.start()  # reuses a running server, starts a stopped one
        with self.service.lock:
            if not self.service.running():
                self.watch_service()
        self.check_recovery()
        self.count_rows()
        status = self.service.stop()
        self.service_stop_status = "exit %s" % status if status is not None else "did not stop"
        if status != 0:
            self.problems.append("service did not stop with status 0 on SIGTERM within %.0f s (%s)"
                                 % (service_stop_timeout_s, self.service_stop_status))

    def progress(self):
        with self.batches_lock:
            outcomes = [b.outcome for b in self.batches]
        return "%d batches, %d ok, %d no reply, %d refused, %d 503" % (
            len(outcomes), outcomes.count(OK), outcomes.count(NO_REPLY), outcomes.count(REFUSED),
            outcomes.count(UNAVAILABLE) + outcomes.count(COMMIT_FAILED))

    def check_recovery(self):
        """Without faults the service must take batches again: one within the time-out, then a row of them."""
        rng = random.Random("%s-recovery" % self.args.seed)
        deadline = time.monotonic() + recovery_timeout_s
        in_a_row = 0
        while in_a_row < recovery_batches:
            if time.monotonic() > deadline:
                self.problems.append("service did not take %d batches in a row within %.0f s after the "
                                     "faults stopped" % (recovery_batches, recovery_timeout_s))
                return
            batch = self.new_batch("recovery", rng, 0)
            self.send(batch)
            if batch.outcome == OK:
                in_a_row += 1
            else:
                if in_a_row > 0:
                    self.problems.append("batch %d failed after the service had recovered: %s %s"
                                         % (batch.batch_id, batch.outcome, batch.reply[:200]))
                in_a_row = 0
                time.sleep(0.5)
        say("service takes batches again")

    def count_rows(self):
        readings = {}
        for batch_id, count in self.db.sql("SELECT meter_id DIV %d, COUNT(*) FROM readings GROUP BY 1"
                                           % meter_ids_per_batch):
            readings[int(batch_id)] = int(count)
        events = {}
        for event_type, count in self.db.sql("SELECT event_type, COUNT(*) FROM events GROUP BY 1"):
            if event_type.startswith(event_type_prefix) and event_type[len(event_type_prefix):].isdigit():
                events[int(event_type[len(event_type_prefix):])] = int(count)
            else:
                events[event_type] = int(count)
        known = set()
        for batch in self.batches:
            known.add(batch.batch_id)
            batch.db_readings = readings.get(batch.batch_id, 0)
            batch.db_events = events.get(batch.batch_id, 0)
        self.stray_readings = sum(n for key, n in readings.items() if key not in known)
        self.stray_events = sum(n for key, n in events.items() if key not in known)
        self.duplicate_meters = int(self.db.sql(
            "SELECT COUNT(*) - COUNT(DISTINCT meter_id) FROM readings")[0][0])

        nodes = {int(row[0]) for row in self.db.sql("SELECT node_id FROM clients")}
        self.missing_clients = sorted({node for b in self.batches if b.outcome == OK
                                       for node in b.clients if node not in nodes})

    # -- report ---------------------------------------------------------

    def verdicts(self):
        """Every batch whose database state its reply does not allow, with the reason."""
        found = []
        for b in self.batches:
            state = b.db_state()
            if state == "partial":
                found.append((b, "present in part (%d of %d readings, %d of %d events)"
                              % (b.db_readings, b.readings, b.db_events, b.events)))
            elif state == "whole" and b.outcome not in MAY_BE_WHOLE:
                found.append((b, "present although answered %s" % b.outcome))
            elif state == "absent" and b.outcome in MUST_BE_WHOLE:
                found.append((b, "lost: answered 200 but absent"))
        return found

    def report(self):
        batches = self.batches
        verdicts = self.verdicts()
        count = {outcome: sum(1 for b in batches if b.outcome == outcome)
                 for outcome in (OK, REJECTED, UNAVAILABLE, COMMIT_FAILED, NO_REPLY, REFUSED, OTHER)}
        kinds = {}
        for b in batches:
            if b.outcome == UNAVAILABLE:
                kind = error_kind(b.reply)
                kinds[kind] = kinds.get(kind, 0) + 1
        states = {state: sum(1 for b in batches if b.db_state() == state)
                  for state in ("whole", "absent", "partial")}
        mismatches = sum(1 for p in self.problems if "200 reply does not match" in p)

        lines = ["", "soak summary: %d s, %d clients, seed %s" % (self.args.duration, self.args.clients,
                                                                    self.args.seed)]

        def row(label, value, indent=1):
            lines.append("%s%-40s %8s" % ("  " * indent, label, value))

        row("batches sent", len(batches))
        row("invalid on purpose", sum(1 for b in batches if b.invalid is not None), 2)
        for outcome in (OK, REJECTED, UNAVAILABLE):
            row(outcome, count[outcome], 2)
        for kind in sorted(kinds, key=lambda k: -kinds[k]):
            row(kind, kinds[kind], 3)
        for outcome in (COMMIT_FAILED, NO_REPLY, REFUSED, OTHER):
            row(outcome, count[outcome], 2)
        row("database", "")
        row("present whole", states["whole"], 2)
        row("absent", states["absent"], 2)
        row("partial", states["partial"], 2)
        row("commit failed, present whole", sum(1 for b in batches if b.outcome == COMMIT_FAILED
                                                 and b.db_state() == "whole"), 2)
        row("no reply, present whole", sum(1 for b in batches if b.outcome == NO_REPLY
                                            and b.db_state() == "whole"), 2)
        row("rows of no batch (readings/events)", "%d/%d" % (self.stray_readings, self.stray_events), 2)
        row("duplicate meter ids", self.duplicate_meters, 2)
        row("clients of 200 batches missing", len(self.missing_clients), 2)
        row("checks", "")
        row("200 count mismatches", mismatches, 2)
        row("state violations", len(verdicts), 2)
        row("other problems", len(self.problems) - mismatches, 2)
        row("faults injected", "")
        for kind in FAULT_KINDS:
            row(kind, self.faults[kind], 2)
        row("connections KILLed", self.connections_killed, 3)
        row("mariadb restarts on a new port", self.db_port_changes, 3)
        row("service stop on SIGTERM", self.service_stop_status, 2)
        for line in lines:
            print(line)

        failures = [("batch %d [%s, status %d, reply %s]: %s"
                     % (b.batch_id, b.outcome, b.status, b.reply[:160], text)) for b, text in verdicts]
        failures += self.problems
        if self.stray_readings or self.stray_events:
            failures.append("%d readings and %d events belong to no batch that was sent"
                            % (self.stray_readings, self.stray_events))
        if self.duplicate_meters:
            failures.append("%d readings are duplicates" % self.duplicate_meters)
        if self.missing_clients:
            failures.append("clients of 200 batches missing: %s" % self.missing_clients[:20])
        failures += self.harness_errors
        if failures:
            print("\nFAIL: %d violation(s); the first ones:" % len(failures))
            for text in failures[:25]:
                print("  " + text)
        else:
            print("\nPASS: no batch lost, none in part, every reply agrees with the database")
        self.write_record()
        return failures

    def write_record(self):
        path = os.path.join(self.args.work_dir, "batches.jsonl")
        with open(path, "w") as f:
            for b in self.batches:
                f.write(json.dumps(b.record()) + "\n")
        print("every batch: %s; service log: %s" % (path, self.service.log_path))

    def cleanup(self):
        self.stop_faults.set()
        self.stop_clients.set()
        with self.service.lock:
            if self.service.running():
                self.service.kill9()
        try:
            self.db.stop()
        except (OSError, subprocess.SubprocessError) as e:
            print("soak: stopping mariadb failed: %s" % e, file=sys.stderr)


def error_kind(reply):
    """The kind of a 503 error: the step and the SQLSTATE, without the driver's message."""
    try:
        error = json.loads(reply).get("error", "")
    except (ValueError, AttributeError):
        return "unreadable reply"
    if "]" in error:
        error = error[:error.index("]") + 1]
    return "503 " + error.replace(": [", " [")


def parse_args(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description="Fault soak of the ingest service; counts every row.")
    parser.add_argument("--exe", required=True, help="the built tarn_ingest_service")
    parser.add_argument("--program-data-dir", required=True,
                        help="TARN_PROGRAM_DATA_DIR the executable was built with; receives the config")
    parser.add_argument("--work-dir", required=True, help="database, logs and the batch record")
    parser.add_argument("--mariadb-script", default=os.path.join(here, "..", "..", "scripts", "mariadb"))
    parser.add_argument("--duration", type=int, default=120, help="seconds of traffic (default 120)")
    parser.add_argument("--clients", type=int, default=4, help="client threads (default 4)")
    parser.add_argument("--fault-min", type=float, default=3.0, help="least seconds between faults")
    parser.add_argument("--fault-max", type=float, default=6.0, help="most seconds between faults")
    parser.add_argument("--faults", default="db,connections,service",
                        help="comma-separated subset of db,connections,service; empty for none")
    parser.add_argument("--invalid-ratio", type=float, default=0.1, help="share of invalid batches")
    parser.add_argument("--http-timeout", type=float, default=http_timeout_s)
    parser.add_argument("--seed", default=str(random.randrange(10**6)), help="random seed (default: random)")
    args = parser.parse_args(argv)
    names = {"db": FAULT_KILL_DB, "connections": FAULT_KILL_CONNECTIONS, "service": FAULT_KILL_SERVICE}
    try:
        args.fault_kinds = [names[n] for n in args.faults.split(",") if n]
    except KeyError as e:
        parser.error("unknown fault %s" % e)
    if args.duration < 1 or args.clients < 1 or not 0 < args.fault_min <= args.fault_max:
        parser.error("duration, clients and fault interval must be positive")
    args.exe = os.path.abspath(args.exe)
    args.work_dir = os.path.abspath(args.work_dir)
    args.program_data_dir = os.path.abspath(args.program_data_dir)
    args.mariadb_script = os.path.abspath(args.mariadb_script)
    if not os.access(args.exe, os.X_OK):
        parser.error("not an executable: %s" % args.exe)
    return args


def main(argv):
    args = parse_args(argv)

    def on_signal(signum, _frame):
        raise KeyboardInterrupt("signal %d" % signum)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    soak = Soak(args)
    say("soak: seed %s, work dir %s" % (args.seed, args.work_dir))
    try:
        soak.run()
        failures = soak.report()
        return 1 if failures else 0
    except SoakError as e:
        print("soak: %s" % e, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("soak: interrupted", file=sys.stderr)
        return 130
    finally:
        soak.cleanup()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
