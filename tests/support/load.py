# Load under faults, shared by the fault soak (tests/soak) and the failover
# test (tests/cluster): the service and MariaDB as child processes, batches
# whose rows can be counted, and the verdict on what the database holds.
#
# A batch's readings carry meter ids batch_id * 100 + index and its events
# the type "load-<batch_id>", so every row names its batch. A batch is sent,
# and sent again as a gateway would while no reply comes, up to four times;
# then the database must agree with the last reply:
#   - 200: present whole;
#   - 422, or 503 other than "commit failed": absent;
#   - "commit failed" or no reply (to this or an earlier attempt): absent or whole;
# and no row may belong to no batch. Batches present more than once are
# counted apart: a commit in flight when a gateway gives up can land, and its
# resend lands again. Standard library only; everything on 127.0.0.1.

import http.client
import json
import os
import signal
import socket
import subprocess
import threading
import time

root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
started_at = time.monotonic()
meter_ids_per_batch = 100
OK, REJECTED, UNAVAILABLE, COMMIT_FAILED, NO_REPLY, REFUSED = (
    "200", "422", "503", "503 commit failed", "no reply", "refused")
MAY_BE_WHOLE = {OK, COMMIT_FAILED, NO_REPLY}


def say(text):
    print("[%7.1fs] %s\n" % (time.monotonic() - started_at, text), end="", flush=True)  # one write per line


class HarnessError(Exception):
    pass  # the test itself cannot go on (a server that does not start, ...)


def run(command, timeout=300):
    # The command's standard output, or HarnessError with everything it printed.
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
    if result.returncode != 0:
        raise HarnessError("%s failed:\n%s%s" % (" ".join(map(str, command)), result.stdout, result.stderr))
    return result.stdout


def reply_json(text):
    try:
        body = json.loads(text)
        return body if isinstance(body, dict) else {}
    except ValueError:
        return {}


def read_text(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def service_exe(exe):
    # The executable (default: the debug build's) and the data folder it was built with.
    exe = os.path.abspath(exe or os.path.join(root, "build", "debug", "src", "service", "tarn_ingest_service"))
    cache = os.path.join(os.path.dirname(exe), "..", "..", "CMakeCache.txt")
    if not os.path.exists(exe) or not os.path.exists(cache):
        raise HarnessError("no build at %s: cmake --preset debug && cmake --build --preset debug" % exe)
    for line in open(cache):
        if line.startswith("TARN_PROGRAM_DATA_DIR:"):
            return exe, line.split("=", 1)[1].strip()
    raise HarnessError("no TARN_PROGRAM_DATA_DIR in " + cache)


class MariaDb:
    # A private MariaDB started with scripts/mariadb (or one whose folder another script filled).
    def __init__(self, folder):
        self.dir = folder

    def start(self, *options):
        # Starts it, or finds it running; `options` go to mariadbd.
        run([os.path.join(root, "scripts", "mariadb"), "start", self.dir, *options])
        return self.load()

    def stop(self):
        run([os.path.join(root, "scripts", "mariadb"), "stop", self.dir])

    def load(self):
        self.port = int(self.read("port"))
        self.user, self.password, self.database = (self.read(n) for n in ("user", "password", "database"))
        return self

    def read(self, name):
        return read_text(os.path.join(self.dir, name)).strip()

    def signal(self, number):
        # Sends `number` to the server, if it runs; after SIGKILL, waits until it is gone.
        try:
            pid = int(self.read("mysqld.pid"))
            os.kill(pid, number)
        except (OSError, ValueError):
            return
        while number == signal.SIGKILL and os.path.exists("/proc/%d" % pid) and \
                open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] not in "ZX":
            time.sleep(0.05)

    def sql(self, statement):
        # The rows of `statement`, as the login user over TCP.
        out = run(["mariadb", "--no-defaults", "--protocol=tcp", "-h127.0.0.1", "-P%d" % self.port, "-u" + self.user,
                   "-p" + self.password, "-N", "-B", "--connect-timeout=5", self.database, "-e", statement], 60)
        return [line.split("\t") for line in out.splitlines() if line]


class Service:
    # The service as a child process, with its configuration, log and output
    # files; `command` may put a wrapper in front of the arguments. The log
    # is where the program puts it by default, beside the configuration.
    def __init__(self, exe, data_folder, work_dir, command=None):
        self.work_dir, self.port, self.token, self.proc = work_dir, free_port(), os.urandom(12).hex(), None
        self.folder = os.path.join(data_folder, "TARN", "IngestService")
        self.conf_path, self.log_path = (os.path.join(self.folder, n) for n in ("tarn_ingest.conf", "service.log"))
        self.out_path, self.err_path = (os.path.join(work_dir, n) for n in ("stdout", "stderr"))
        self.command = command or [exe]
        self.lock = threading.RLock()  # held while it is killed or restarted

    def write_config(self, db, *extra):
        # A working configuration for `db`, then the `extra` lines (a later key wins).
        lines = ["bind_addr=127.0.0.1", "bind_port=%d" % self.port, "odbc_driver=MariaDB Unicode",
                 "mysql_port=%d" % db.port, "mysql_user=" + db.user, "mysql_pass=" + db.password,
                 "mysql_db=" + db.database, "ingest_token=" + self.token]
        os.makedirs(self.folder, exist_ok=True)
        with open(self.conf_path, "w") as f:
            f.write("".join(line + "\n" for line in lines + list(extra)))

    def launch(self, *args, notify_socket=None):
        # Starts it (NOTIFY_SOCKET set only when given) and waits until it listens or ends; True when it runs.
        env = {name: value for name, value in os.environ.items() if name != "NOTIFY_SOCKET"}
        env.update({"NOTIFY_SOCKET": notify_socket} if notify_socket else {})
        os.makedirs(self.work_dir, exist_ok=True)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(self.command + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         env=env)
        deadline = time.monotonic() + 30
        while self.running() and "http: listening on" not in self.err() and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.running()

    def start(self):
        if not self.launch("--console"):
            raise HarnessError("service did not start:\n" + self.err())

    def out(self):
        return read_text(self.out_path)

    def err(self):
        return read_text(self.err_path)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def kill9(self):
        if self.running():
            self.proc.kill()
            self.proc.wait(timeout=10)

    def stop(self, number=signal.SIGTERM, timeout=60):
        # Sends `number`; the exit status, or None when it did not end within `timeout`.
        if self.running():
            self.proc.send_signal(number)
        try:
            return self.proc.wait(timeout=timeout) if self.proc else None
        except subprocess.TimeoutExpired:
            self.kill9()
            return None


class Batch:
    def __init__(self, batch_id, rng, invalid_ratio):
        self.batch_id, self.outcome, self.status, self.reply, self.attempts = batch_id, None, 0, "", 0
        self.unanswered = False  # an attempt got no reply: it may have been stored all the same
        nodes = [rng.randint(1, 254) for _ in range(rng.randint(1, 3))]
        clients = [{"node_id": n, "chip": "esp32c3", "last_lqi": rng.randint(0, 255)} for n in nodes]
        readings = [{"node_id": rng.choice(nodes), "meter_id": batch_id * meter_ids_per_batch + i,
                     "protocol": rng.choice((7, 223)), "volume_gal": rng.randint(0, 10**7), "flow_gpm": 1.5,
                     "gateway_received_at": "2024-05-01T11:59:41Z"} for i in range(rng.randint(40, 60))]
        events = [{"node_id": rng.choice(nodes), "event_type": "load-%d" % batch_id, "payload": {"seq": i}}
                  for i in range(rng.randint(1, 5))]
        # An invalid batch fails late, after most of its rows were executed,
        # so that only the rollback keeps them out of the tables.
        self.invalid = None
        if rng.random() < invalid_ratio:
            readings[-1]["node_id"] = 0
            self.invalid = "reading node_id out of range"
        self.readings, self.events, self.clients = len(readings), len(events), len(nodes)
        self.body = json.dumps({"batch_window_end": "2024-05-01T12:00:00Z", "clients": clients + [{"node_id": 0}],
                                "readings": readings, "events": events}).encode()

    def copies(self):
        # How many times the database holds the batch whole; -1 when it holds it in part.
        if self.db_readings == 0 and self.db_events == 0:
            return 0
        n = self.db_readings // self.readings
        whole = self.invalid is None and self.db_readings == n * self.readings and self.db_events == n * self.events
        return n if whole else -1


class Ledger:
    # Every batch sent, and the checks of what the database holds of them.
    def __init__(self):
        self.batches, self.problems, self.lock = [], [], threading.Lock()

    def new_batch(self, rng, invalid_ratio):
        with self.lock:
            self.batches.append(Batch(len(self.batches) + 1, rng, invalid_ratio))
            return self.batches[-1]

    def send(self, batch, service, timeout=30.0):
        # POSTs the batch, and again while no reply comes, as a gateway would.
        while batch.attempts < 4:
            batch.attempts += 1
            batch.sent_at = time.monotonic() - started_at
            conn = http.client.HTTPConnection("127.0.0.1", service.port, timeout=timeout)
            try:
                conn.request("POST", "/api/ingest", body=batch.body, headers={"X-Tarn-Token": service.token})
                response = conn.getresponse()
                batch.status, batch.reply = response.status, response.read().decode("utf-8", "replace")
                batch.outcome = self.judge_reply(batch)
                return
            except ConnectionRefusedError:
                batch.outcome = REFUSED
                return
            except (OSError, http.client.HTTPException) as e:
                batch.outcome, batch.reply, batch.unanswered = NO_REPLY, "%s: %s" % (type(e).__name__, e), True
            finally:
                conn.close()

    def judge_reply(self, batch):
        body, problem = reply_json(batch.reply), None
        expected = {"ok": True, "clients_upserted": batch.clients, "readings_inserted": batch.readings,
                    "events_inserted": batch.events}
        if batch.status == 200 and (batch.invalid or body != expected):
            problem = "200 reply does not match the batch"
        elif batch.status == 422 and body.get("error") != batch.invalid:
            problem = "422 for a batch that should fail with %r" % batch.invalid
        elif batch.status not in (200, 422, 503):
            problem = "unexpected status"
        if problem:  # list.append is atomic
            self.problems.append("batch %d (%s, %s): %s" % (batch.batch_id, batch.status, batch.reply[:160], problem))
        if batch.status in (200, 422):
            return OK if batch.status == 200 else REJECTED
        return COMMIT_FAILED if body.get("error", "").startswith("commit failed") else UNAVAILABLE

    def count(self, db):
        # Reads what `db` holds of each batch; the violations, and how many batches it holds more than once.
        readings = {int(b): int(n) for b, n in db.sql("SELECT meter_id DIV %d, COUNT(*) FROM readings GROUP BY 1"
                                                      % meter_ids_per_batch)}
        events = {e: int(n) for e, n in db.sql("SELECT event_type, COUNT(*) FROM events GROUP BY 1")}
        violations, twice = [], 0
        for b in self.batches:
            b.db_readings, b.db_events = readings.pop(b.batch_id, 0), events.pop("load-%d" % b.batch_id, 0)
            copies = b.copies()
            twice += copies > 1
            if copies < 0:
                violations.append("batch %d present in part" % b.batch_id)
            elif copies == 0 and b.outcome == OK:
                violations.append("batch %d lost: answered 200, absent" % b.batch_id)
            elif copies > 0 and b.outcome not in MAY_BE_WHOLE and not b.unanswered:
                violations.append("batch %d present although answered %s" % (b.batch_id, b.outcome))
        if readings or events:
            violations.append("rows of no batch: %d readings, %d events" % (sum(readings.values()),
                                                                            sum(events.values())))
        return violations, twice

    def print_outcomes(self):
        # How many batches ended with each reply; 503s by their error's step and SQLSTATE.
        counts = {}
        for b in self.batches:
            kind = b.outcome or "not sent"
            if b.outcome == UNAVAILABLE:
                error = reply_json(b.reply).get("error", "")
                kind = "503 " + error[:error.find("]") + 1 or None]
            counts[kind] = counts.get(kind, 0) + 1
        for kind, n in sorted(counts.items(), key=lambda item: -item[1]):
            print("  %-60s %6d" % (kind, n))


def verdict(problems):
    # Prints the first problems and the verdict; the exit status.
    for text in problems[:25]:
        print("  FAIL " + text)
    print("\n%s: %d violation(s)" % ("FAIL" if problems else "PASS", len(problems)))
    return 1 if problems else 0
