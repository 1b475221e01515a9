#!/usr/bin/env python3
# End-to-end tests of the real executable as a child process against the
# private MariaDB. The Linux build: console mode, the systemd notify protocol,
# installation of the unit, production faults and a hung database. The
# Windows build (class Windows): console mode and Wine's service control
# manager. CTest runs one class at a time (service_e2e.py Console, ...) with
# the build's paths in TARN_SERVICE_EXE, TARN_PROGRAM_DATA_DIR,
# TARN_SYSTEMD_UNIT_DIR and TARN_TEST_BINARY_DIR, and the server's folder in
# TARN_TEST_MARIADB_DIR.

import contextlib
import gzip
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import load  # noqa: E402

EXE, BUILD, DATA, UNITS = (os.environ.get(n, "") for n in ("TARN_SERVICE_EXE", "TARN_TEST_BINARY_DIR",
                                                            "TARN_PROGRAM_DATA_DIR", "TARN_SYSTEMD_UNIT_DIR"))
BANNER = "TARN Ingest Service \u2014 console mode (Ctrl+C to stop)\n"
HEALTH = b"GET /api/health HTTP/1.1\r\n\r\n"
READY = b"GET /api/ready HTTP/1.1\r\n\r\n"
USAGE = r"^0 Usage: tarn_ingest_service \[flag\]\n  \(no flag\) +\w.*\n%s\|$" % "".join(
    r"  --%s +\w.*\n" % flag for flag in ("console", "install", "reinstall", "uninstall", "help", "version"))
VERSION = "tarn_ingest_service %s\n" % os.environ.get("TARN_VERSION")
# Names this run's rows: the private server keeps the rows of earlier runs,
# and a process id comes round again.
RUN = os.urandom(4).hex()


def read_all(s):
    # Everything the server sends until it closes (or a receive times out).
    data = b""
    try:
        while chunk := s.recv(65536):
            data += chunk
    except OSError:
        pass
    return data


def reply(raw):
    # (status, body) of a raw reply; status 0 when none came.
    head, _, body = raw.partition(b"\r\n\r\n")
    return (int(head[9:12]) if head.startswith(b"HTTP/1.1 ") else 0), body.decode("utf-8", "replace")


def connect(port, source="127.0.0.1"):
    return socket.create_connection(("127.0.0.1", port), 60, (source, 0))


def ingest_request(body, token=""):
    body = body.encode()
    return (b"POST /api/ingest HTTP/1.1\r\n" + (b"X-Tarn-Token: %s\r\n" % token.encode() if token else b"") +
            b"Content-Length: %d\r\n\r\n" % len(body) + body)


def event_batch(name, payload="1"):
    # A batch of one event of type `name`, so that its rows can be counted.
    return '{"events":[{"event_type":"%s","gateway_received_at":"2024-05-01","payload":%s}]}' % (name, payload)


def in_background(function):
    # Runs `function` on a thread of its own; the returned function waits for it and gives its result.
    result = []
    thread = threading.Thread(target=lambda: result.append(function()))
    thread.start()
    return lambda: thread.join() or (result or [None])[0]


def messages(log):
    # "[TAG] message" of each log line, without its timestamp.
    return [line[24:] for line in log.splitlines()]


def unread_bytes_at(port):
    # Bytes waiting unread on the established connections to 127.0.0.1:`port` (a server that is stopped).
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return sum(int(r[4].split(":")[1], 16) for r in rows if r[1] == "0100007F:%04X" % port and r[3] == "01")


class ServiceCase(unittest.TestCase):
    data, command = DATA, [EXE]

    def setUp(self):
        self.db = load.MariaDb(os.environ["TARN_TEST_MARIADB_DIR"]).load()
        work = os.path.join(BUILD, "test-tmp", "e2e-%s-%d" % (self._testMethodName, time.monotonic_ns()))
        self.service = load.Service(EXE, self.data, work, self.command)
        self.addCleanup(self.service.kill9)
        self.port = self.service.port
        for path in (self.service.conf_path, self.service.log_path):
            if os.path.exists(path):
                os.remove(path)

    def config(self, *extra):
        # A working configuration, with the token check off unless `extra` sets one.
        self.service.write_config(self.db, "ingest_token=", *extra)

    def start(self, *extra, args=("--console",)):
        self.config(*extra)
        self.assertTrue(self.service.launch(*args), self.service.err())

    def send(self, request, half_close=False):
        with connect(self.port) as s:
            s.sendall(request)
            if half_close:  # as nc -N and some embedded stacks do
                s.shutdown(socket.SHUT_WR)
            return reply(read_all(s))

    def stored(self, name):
        return int(self.db.sql("SELECT COUNT(*) FROM events WHERE event_type = '%s'" % name)[0][0])

    def eventually(self, condition):
        deadline = time.monotonic() + 30
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.3)
        return condition()


def run(*command):
    # "<exit status> <stdout>|<stderr>" of `command` run to its end, without the CRs of Windows line ends.
    r = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    return ("%d %s|%s" % (r.returncode, r.stdout, r.stderr)).replace("\r", "")


class Console(ServiceCase):
    # Outside a service manager, no argument means console mode; Ctrl+C,
    # SIGTERM and SIGHUP stop it. A mistyped key and an empty token are
    # reported, in the log file too, and the service runs.
    def test_console_run_writes_batches_logs_and_stops_on_ctrl_c_sigterm_or_sighup(self):
        for number, token, args in ((signal.SIGINT, "ingest_token=s3cret", ("--console", "extra", "arguments")),
                                    (signal.SIGTERM, "ingest_tokn=s3cret", ()), (signal.SIGHUP, "ingest_tokn=s3cret", ())):
            self.start(token, args=args)
            self.assertEqual(self.service.out(), BANNER)
            self.assertEqual(self.send(HEALTH), (200, '{"ok":true}'))
            if number == signal.SIGINT:
                batch = ('{"batch_window_end":"2024-05-01","clients":[{"node_id":7}],"readings":[{"node_id":7,'
                         '"meter_id":1,"volume_gal":12345},{"node_id":7,"meter_id":2,"volume_gal":10}],'
                         '"events":[{"event_type":"boot"}]}')
                # A client that half-closed after its batch counted as gone: 503 "client gone", nothing stored.
                self.assertEqual(self.send(ingest_request(batch, "s3cret"), half_close=True),
                                 (200, '{"ok":true,"clients_upserted":1,"readings_inserted":2,"events_inserted":1}'))
            self.assertEqual(self.service.stop(number), 0)
        log = load.read_text(self.service.log_path)
        self.assertEqual(messages(log)[:3], [
            "[INF] config: loaded " + self.service.conf_path,
            "[INF] bind=127.0.0.1:%d odbc='MariaDB Unicode' mysql=127.0.0.1:%d db=%s user=%s"
            % (self.port, self.db.port, self.db.database, self.db.user),
            "[INF] http: listening on 127.0.0.1:%d" % self.port])
        self.assertEqual(messages(log)[-1], "[INF] http: stopped")
        self.assertEqual([m for m in messages(log) if m.startswith("[WRN]")], [
            "[WRN] config: unknown key 'ingest_tokn' at line 10 ignored",
            "[WRN] config: ingest_token is empty: the token check is off, and anyone who can reach port %d may post "
            "batches" % self.port] * 2)
        self.assertNotIn(self.db.password, log)
        self.assertNotIn("s3cret", log)

    def test_help_and_version_exit_0_and_unknown_flags_exit_2(self):
        self.assertRegex(run(EXE, "--help", "--console"), USAGE)
        self.assertEqual(run(EXE, "--version"), "0 %s|" % VERSION)
        for flag in ("--INSTALL", "-install", "--install=1", "", "-h", "--Version"):
            self.assertEqual(run(EXE, flag, "--console"), "2 |unknown flag: %s\n" % flag)

    # Stopping while a batch is inside the handler: it is written and answered
    # before the database object goes away, and the run ends cleanly.
    # A stop answers a batch still waiting for its turn at once.
    def test_stop_waits_for_the_batch_being_written(self):
        self.start()
        name = "stop-" + RUN
        locker = in_background(lambda: self.db.sql("LOCK TABLES events WRITE; DO SLEEP(4); UNLOCK TABLES"))
        self.assertTrue(self.eventually(lambda: self.db_busy_with("DO SLEEP")))
        client = in_background(lambda: self.send(ingest_request(event_batch(name))))
        self.assertTrue(self.eventually(lambda: self.db_busy_with("INSERT INTO events")))
        queued = in_background(lambda: self.send(ingest_request(event_batch(name + "-queued"))))
        self.assertTrue(self.eventually(
            lambda: "\ntarn_ingest_batches_waiting 1\n" in self.send(b"GET /metrics HTTP/1.1\r\n\r\n")[1]))
        self.assertEqual(self.service.stop(signal.SIGINT), 0)
        self.assertEqual(queued(), (503, '{"error":"server stopping"}'))
        self.assertEqual(client()[0], 200)
        locker()
        self.assertEqual(self.stored(name), 1)

    def db_busy_with(self, statement):
        # True while some session of the server runs `statement`.
        return self.db.sql("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO LIKE '%s%%'"
                           % statement)[0][0] != "0"


class ServiceMode(ServiceCase):
    starting = "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000 | "
    started = starting + "READY=1\nSTATUS=listening on 127.0.0.1:%d; batches stored: 0; database: unknown | "

    # The receiving end of the notify protocol, as systemd holds it: a
    # datagram socket bound to a path, or to a name in the abstract namespace.
    def notify_socket(self, abstract):
        name = "@tarn-notify-%d" % os.getpid() if abstract else "/tmp/tarn-notify-%d" % os.getpid()
        self.notifications = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(self.notifications.close)
        if not abstract and os.path.exists(name):
            os.remove(name)
        self.notifications.bind("\0" + name[1:] if abstract else name)
        return name

    def received(self):
        # The datagrams that have arrived, each followed by " | ".
        text = ""
        with contextlib.suppress(BlockingIOError):
            while True:
                text += self.notifications.recv(1024, socket.MSG_DONTWAIT).decode() + " | "
        return text

    # systemctl status shows what the service does: once ready, and again (at most every 5 s) when the
    # batches stored or the database's state changed. SIGHUP (systemctl reload, logrotate) opens the log
    # anew where the rotation moved it away; in console mode it stops the run.
    def test_notifies_status_over_path_or_abstract_socket_reopens_its_log_on_sighup_and_exits_0_on_sigterm(self):
        self.config()
        log = self.service.log_path
        for abstract, stop in ((False, signal.SIGTERM), (True, signal.SIGINT)):
            self.assertTrue(self.service.launch(notify_socket=self.notify_socket(abstract)), self.service.err())
            ready_at = time.monotonic()
            self.assertEqual(self.send(HEALTH)[0], 200)
            self.assertEqual(self.received(), self.started % self.port)
            if not abstract:
                self.assertEqual(self.send(ingest_request(event_batch("status")))[0], 200)
                self.notifications.settimeout(30)  # the next status that counts it, 5 s after the first or later
                while "batches stored: 1" not in (status := self.notifications.recv(1024).decode()):
                    pass
                self.notifications.settimeout(None)
                self.assertGreater(time.monotonic() - ready_at, 4.9)
                self.assertEqual(status,
                                 "STATUS=listening on 127.0.0.1:%d; batches stored: 1; database: up" % self.port)
                self.assertNotIn("log: reopened", load.read_text(log), "only a SIGHUP reopens it")
            os.replace(log, log + ".1")
            self.service.proc.send_signal(signal.SIGHUP)
            self.assertTrue(self.eventually(lambda: os.path.exists(log)), "a new log")
            self.assertEqual(self.send(HEALTH)[0], 200, "still running after SIGHUP")
            self.assertEqual(self.service.stop(stop), 0)
            self.assertEqual(messages(load.read_text(log)), ["[INF] log: reopened " + log, "[INF] http: stopped"])
            self.assertIn("[INF] http: listening on", load.read_text(log + ".1"))
            self.assertEqual(self.received(),
                             "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=45000000 | STATUS=Stopped | ")
            self.assertEqual(self.service.out(), "", "no console banner in service mode")

    # A listener that cannot start or a faulty configuration ends the run with
    # status 1 in either mode: a service manager must see a failure, not the 0
    # of an ordinary stop. systemd heard READY=1 before the listener had failed.
    # A line without "=" made the service run on the defaults: every
    # interface, no token check. The reason goes to standard error and to the
    # default log (a service has no console).
    def test_start_that_cannot_serve_ends_with_status_1_and_systemd_hears_why_and_no_ready(self):
        for extra, status, logged in (
                ("bind_addr=localhost", "Failed to start HTTP listener", "service: failed to start HTTP listener"),
                ("no equals sign", "Not starting: config: missing '=' at line 10",
                 "config: missing '=' at line 10 \u2014 not starting")):
            self.config(extra)
            console = run(EXE, "--console")
            self.assertEqual((console[:2], " [ERR] %s\n" % logged in console), ("1 ", True), console)
            self.assertFalse(self.service.launch(notify_socket=self.notify_socket(False)))
            self.assertEqual(self.service.proc.wait(60), 1)
            self.assertEqual(self.received(), self.starting + "STATUS=%s | " % status)
            self.assertTrue(load.read_text(self.service.log_path).endswith("[ERR] %s\n" % logged))


# The unit that --install writes, whole, with "%s" for the executable.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "unit.expected")) as expected_unit:
    UNIT = expected_unit.read()


class Install(unittest.TestCase):
    unit = os.path.join(UNITS, "TarnIngestService.service")
    wants = os.path.join(UNITS, "multi-user.target.wants", "TarnIngestService.service")

    # The unit folder is emptied and removed here, so it must be the build's own.
    def test_install_twice_then_uninstall_twice_then_without_a_unit_folder(self):
        if not UNITS.startswith(BUILD + "/"):
            self.skipTest(UNITS + " is outside the build tree; configure with a preset")
        shutil.rmtree(UNITS, ignore_errors=True)
        os.makedirs(UNITS)
        self.assertEqual(run(EXE, "--install"), "0 installed service 'TarnIngestService'\n|")
        # Whole: a unit that lost its first byte ("Unit]") still held every line looked for.
        self.assertEqual(load.read_text(self.unit), UNIT % os.path.realpath(EXE))
        self.assertEqual(os.readlink(self.wants), self.unit)
        load.run(["systemd-analyze", "verify", self.unit])
        # The sandbox: an exposure of 2.5 or less (of 10); without it the unit rates 9.6.
        load.run(["systemd-analyze", "security", "--offline=true", "--threshold=25", self.unit])
        self.assertEqual(run(EXE, "--install"), "0 |service already exists\n")
        with open(self.unit, "w") as f:  # an older version's unit: an upgrade rewrites it, still enabled
            f.write("[Unit]\n")
        self.assertEqual(run(EXE, "--reinstall"), "0 reinstalled service 'TarnIngestService'\n|")
        os.symlink("/dev/full", self.unit + ".new")  # a full disk: the unit stays as it was
        self.assertEqual(run(EXE, "--reinstall"), "1 |close %s.new: No space left on device\n" % self.unit)
        self.assertEqual(load.read_text(self.unit), UNIT % os.path.realpath(EXE))
        self.assertEqual(os.readlink(self.wants), self.unit)
        self.assertEqual(run(EXE, "--uninstall"), "0 uninstalled service 'TarnIngestService'\n|")
        self.assertFalse(os.path.lexists(self.unit) or os.path.lexists(self.wants))
        self.assertEqual(run(EXE, "--uninstall"), "0 |service not installed\n")
        self.assertEqual(run(EXE, "--reinstall"), "0 |service not installed\n")
        shutil.rmtree(UNITS)  # a missing unit folder names the call and the reason
        for flag in ("--install", "--reinstall", "--uninstall"):
            self.assertEqual(run(EXE, flag), "1 |access %s: No such file or directory\n" % UNITS)



class Faults(ServiceCase):
    # A row larger than the server's max_allowed_packet made the server drop
    # the connection, and the batch got 503 on every resend, blocking the
    # gateway's queue for ever: content no resend can store is 422, and a
    # row that fits is stored on the same connection. A server of its own
    # with a small max_allowed_packet keeps the batch small: each 1.1 is
    # written back as 1.1000000000000001, 19 bytes with its comma.
    def test_row_the_database_can_never_take_is_422(self):
        self.db = load.MariaDb(os.path.join(self.service.work_dir, "mariadb")).start("--max-allowed-packet=65536")
        self.addCleanup(self.db.stop)
        self.start()
        status, body = self.send(ingest_request(event_batch("too-big", "[" + ",".join(["1.1"] * 4000) + "]")))
        self.assertEqual(status, 422)
        self.assertRegex(body, r"row of \d+ bytes is larger than the server's max_allowed_packet of 65536 bytes")
        self.assertEqual(self.send(ingest_request(event_batch("fits", "[" + ",".join(["1.1"] * 3000) + "]"))),
                         (200, '{"ok":true,"clients_upserted":0,"readings_inserted":0,"events_inserted":1}'))
        self.assertEqual(self.db.sql("SELECT event_type FROM events"), [["fits"]], "nothing of the refused batch")
        self.assertEqual(self.service.err().count("db: connected"), 1, "the connection stays")

    # 256 clients without the token, sending headers and then a body byte now
    # and then, held every connection for as long as they liked. The token is
    # checked once the head has arrived (the server's own tests cover the
    # caps on connections and what is answered from the head).
    def test_clients_without_the_token_cannot_lock_the_gateway_out(self):
        self.start("ingest_token=gateway-token")
        attackers = [connect(self.port, "127.0.0.%d" % (2 + i % 4)) for i in range(256)]
        for s in attackers:
            s.sendall(b"POST /api/ingest HTTP/1.1\r\nContent-Length: 1000\r\n\r\nx")
        for s in attackers:  # a body byte now and then, while the replies are read
            with contextlib.suppress(OSError):
                s.sendall(b"x")
        self.assertEqual([reply(read_all(s))[0] for s in attackers], [401] * 256)
        list(map(socket.socket.close, attackers))
        self.assertEqual(self.send(ingest_request(event_batch("gateway"), "gateway-token"))[0], 200)

    # Under a limit on its address space, 256 heads announcing 4 MiB each
    # ended the process: the body buffer took the announced length up front.
    # It grows with the bytes that arrive, and a failed allocation anywhere
    # on a connection is that connection's 503, not the end of the process.
    def test_memory_pressure_does_not_end_the_process(self):
        if os.environ.get("ASAN_OPTIONS") or os.environ.get("TSAN_OPTIONS"):
            self.skipTest("a sanitizer's shadow memory does not fit an address-space limit")
        self.service.command = ["prlimit", "--as=734003200", EXE]
        self.start("ingest_token=t")
        clients = [connect(self.port, "127.0.0.%d" % (2 + i % 4)) for i in range(256)]
        head = b"POST /api/ingest HTTP/1.1\r\nX-Tarn-Token: t\r\nContent-Length: 4194304\r\n\r\n"
        for s in clients:
            s.sendall(head + b"x" * 65536)
        self.assertEqual(self.send(HEALTH), (503, '{"error":"server busy"}'), "every connection is taken")
        # All but the last byte of every body: more than the limit allows at once.
        senders = [in_background(lambda s=s: s.sendall(b"x" * (4194304 - 65536 - 1))) for s in clients]
        for sent in senders:
            sent()
        for s in clients:
            with contextlib.suppress(OSError):
                s.sendall(b"x")
        statuses = [reply(read_all(s))[0] for s in clients]
        self.assertEqual(set(statuses), {422, 503}, "a 503 for each body that did not fit, 422 for the others")
        list(map(socket.socket.close, clients))
        self.assertTrue(self.service.running(), self.service.err()[-2000:])
        self.assertEqual(self.send(ingest_request(event_batch("after-pressure"), "t"))[0], 200)


class Hang(ServiceCase):
    # Posts on a thread of its own; calling the result waits for (status, body, seconds taken).
    def post(self, name):
        begin = time.monotonic()
        return in_background(lambda: self.send(ingest_request(event_batch(name))) + (time.monotonic() - begin,))

    # A hung database held every batch without end, a gateway's resends queued
    # behind it and were all stored once it came back (256 copies of one
    # reading that never got a 200), and the service could not be stopped.
    # Every wait is bounded now, a batch whose client gave up is not written,
    # and the service recovers by itself.
    def test_database_hang_is_bounded_stores_no_abandoned_copy_and_recovers(self):
        self.addCleanup(self.db.signal, signal.SIGCONT)
        run_id = "hang-%s-" % RUN
        self.start()
        self.assertEqual(self.send(ingest_request(event_batch(run_id + "before")))[0], 200)
        self.db.signal(signal.SIGSTOP)
        in_flight = self.post(run_id + "in-flight")
        time.sleep(1)
        stop_begin = time.monotonic()
        self.service.proc.send_signal(signal.SIGTERM)
        # The batch being written fails within the read time-out and one
        # connect attempt with its own time-out; then the process exits. (A
        # batch waiting for its turn is answered at once: the console tests.)
        self.assertEqual(self.service.proc.wait(60), 0)
        self.assertLess(time.monotonic() - stop_begin, 50)
        self.assertEqual(in_flight()[0], 503)
        self.db.signal(signal.SIGCONT)

        self.assertTrue(self.service.launch("--console"), self.service.err())
        self.db.signal(signal.SIGSTOP)  # for a few seconds this time
        in_flight = self.post(run_id + "in-flight-2")
        time.sleep(0.3)
        gave_up = connect(self.port)  # queued behind it, gives up after a second as a gateway would
        gave_up.sendall(ingest_request(event_batch(run_id + "gave-up")))
        queued = self.post(run_id + "queued-2")
        time.sleep(1)
        gave_up.close()
        # The end of its stream counts as its going once its batch has waited
        # longer than a gateway waits (5 s); before, it may be a client that
        # half-closed and still reads.
        time.sleep(5)
        self.db.signal(signal.SIGCONT)
        in_flight(), queued()
        self.assertEqual(self.send(ingest_request(event_batch(run_id + "after")))[0], 200)
        for name, copies in (("before", 1), ("in-flight-2", 1), ("queued-2", 1), ("after", 1), ("in-flight", 0),
                             ("gave-up", 0)):
            self.assertEqual(self.stored(run_id + name), copies, name)
        self.assertIn("[WRN] db: client gone before its batch began; nothing written",
                      load.read_text(self.service.log_path))


class Ready(ServiceCase):
    def ready_within(self, status, seconds):
        # Asks for readiness until the answer has `status` or `seconds` have
        # passed; every answer must come within 5 s. The last (status, body).
        deadline = time.monotonic() + seconds
        while True:
            begin = time.monotonic()
            answer = self.send(READY)
            self.assertLess(time.monotonic() - begin, 5, answer)
            if answer[0] == status or time.monotonic() > deadline:
                return answer
            time.sleep(0.2)

    # /api/health answers 200 while the database is down, so a monitor could
    # not see a frozen server: /api/ready turns 503 within 15 s, answering
    # within 5 s all the while, and 200 again within 15 s of its return.
    def test_readiness_follows_a_frozen_database(self):
        self.addCleanup(self.db.signal, signal.SIGCONT)
        self.start()
        self.assertEqual(self.send(READY), (200, '{"ok":true}'))
        self.db.signal(signal.SIGSTOP)
        frozen = time.monotonic()
        status, body = self.ready_within(503, 15)
        self.assertLess(time.monotonic() - frozen, 15)
        self.assertRegex(body, r'^\{"ok":false,"error":"db connect failed: \[08S01\] .*handshake.*"\}$')
        self.assertEqual(self.send(HEALTH), (200, '{"ok":true}'))
        self.db.signal(signal.SIGCONT)
        back = time.monotonic()
        self.assertEqual(self.ready_within(200, 15), (200, '{"ok":true}'))
        self.assertLess(time.monotonic() - back, 15)
        log = messages(load.read_text(self.service.log_path))
        self.assertEqual([line for line in log if line.startswith(("[WRN] db:", "[INF] db:"))],
                         ["[WRN] db: not ready: " + json.loads(body)["error"], "[INF] db: ready"])


class Windows(ServiceCase):
    prefix = os.path.join(BUILD, "e2e-wineprefix")
    data, command = os.path.join(prefix, "drive_c", "ProgramData"), ["wine", EXE]

    # A private prefix, its first boot finished: a service manager still
    # shutting down from wineboot can lose a registration made meanwhile.
    @classmethod
    def setUpClass(cls):
        os.environ.update(WINEPREFIX=cls.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        shutil.rmtree(cls.prefix, ignore_errors=True)
        load.run(["wineboot", "-i"])
        load.run(["wineserver", "-w"])

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"])

    def service_state(self, pattern):
        return lambda: re.search(pattern, run("wine", "sc", "query", "TarnIngestService"), re.S) is not None

    def last_log_line(self):
        return messages(load.read_text(self.service.log_path))[-1]

    # Without a flag and outside the service manager, console mode; the
    # configuration is found through the ProgramData shell folder.
    def test_console_mode(self):
        # Under Wine, a run without a flag can take the control pipe of a
        # service that Wine's service manager starts at that moment, and run
        # as that service (Wine gives a one-service process any start): such
        # a run shows no banner, and is tried again.
        for _ in range(3):
            self.start(args=())
            if "console mode (Ctrl+C to stop)" in self.service.out():
                break
            self.service.kill9()
        self.assertIn("console mode (Ctrl+C to stop)", self.service.out())
        # curl's batch, chunked and gzip-compressed at once: zlib is linked into the .exe.
        path = os.path.join(self.service.work_dir, "batch.gz")
        with open(path, "wb") as f:
            f.write(gzip.compress(event_batch("wine").encode()))
        self.assertEqual(run("curl", "-sS", "-H", "Transfer-Encoding: chunked", "-H", "Content-Encoding: gzip",
                             "--data-binary", "@" + path, "http://127.0.0.1:%d/api/ingest" % self.port),
                         '0 {"ok":true,"clients_upserted":0,"readings_inserted":0,"events_inserted":1}|')
        self.assertIn(r"config: loaded C:\ProgramData\TARN\IngestService\tarn_ingest.conf",
                      load.read_text(self.service.log_path))
        # Readiness through Wine's odbc32, and the metrics, which say the same of the database.
        self.assertEqual(self.send(READY), (200, '{"ok":true}'))
        self.assertIn("\ntarn_ingest_db_up 1\n", self.send(b"GET /metrics HTTP/1.1\r\n\r\n")[1])
        self.assertEqual(self.service.stop(signal.SIGINT), 0)  # Wine turns SIGINT into a CTRL_C_EVENT
        self.assertEqual(self.last_log_line(), "[INF] http: stopped")
        self.assertEqual(run("wine", EXE, "--Console"), "2 |unknown flag: --Console\n")
        self.assertRegex(run("wine", EXE, "--help"), USAGE)
        self.assertEqual(run("wine", EXE, "--version"), "0 %s|" % VERSION)

    # Install, start, requests, pause refused, stop, a listener that cannot
    # start, uninstall. A stop waiting for the batch inside a hung database
    # reported stop-pending once, with a 2 s hint: the service control
    # manager took it for hung.
    def test_service_under_the_service_control_manager(self):
        self.config()
        self.addCleanup(self.db.signal, signal.SIGCONT)
        self.assertEqual(run("wine", EXE, "--install"), "0 installed service 'TarnIngestService'\n|")
        self.assertEqual(run("wine", EXE, "--install"), "0 |service already exists\n")
        self.assertEqual(run("wine", EXE, "--reinstall"), "0 reinstalled service 'TarnIngestService'\n|")
        # Wine's sc has no "qc"; the registration is in the registry.
        registration = run("wine", "reg", "query", r"HKLM\System\CurrentControlSet\Services\TarnIngestService")
        self.assertRegex(registration, r"Start +REG_DWORD +0x2\n")
        self.assertRegex(registration, r'ImagePath +REG_SZ +"[A-Z]:\\.*\\tarn_ingest_service\.exe"\n')
        run("wine", "net", "start", "TarnIngestService")
        self.assertTrue(self.eventually(self.service_state(r"STATE +: +\d+ +RUNNING")))
        self.assertTrue(self.eventually(lambda: self.send(HEALTH)[0] == 200))
        self.assertEqual(self.send(ingest_request(event_batch("wine")))[1], '{"ok":true,"clients_upserted":0,'
                         '"readings_inserted":0,"events_inserted":1}')
        run("wine", "sc", "pause", "TarnIngestService")
        self.assertTrue(self.service_state(r"STATE +: +\d+ +RUNNING")(), "pause refused")
        self.db.signal(signal.SIGSTOP)
        client = in_background(lambda: self.send(ingest_request(event_batch("wine-stop"))))
        self.assertTrue(self.eventually(lambda: unread_bytes_at(self.db.port) > 0), "the batch reached the database")
        run("wine", "sc", "stop", "TarnIngestService")
        reports = {}  # check point: wait hint, of each stop-pending seen

        def pending():
            m = re.search(r"STOP_PENDING.*CHECKPOINT +: +0x(\w+).*WAIT_HINT +: +0x(\w+)",
                          run("wine", "sc", "query", "TarnIngestService"), re.S)
            if m:
                reports[int(m.group(1), 16)] = int(m.group(2), 16)
            return len(reports) >= 3

        self.assertTrue(self.eventually(pending), reports)
        hints = [reports[checkpoint] for checkpoint in sorted(reports)]
        self.assertEqual(hints, sorted(hints, reverse=True), "what is left of the bound, each time less")
        self.assertLessEqual(hints[0], 45000)
        self.db.signal(signal.SIGCONT)
        stopped_with = r"STATE +: +\d+ +STOPPED.*WIN32_EXIT_CODE +: +%d .*SERVICE_EXIT_CODE +: +%d "
        self.assertTrue(self.eventually(self.service_state(stopped_with % (0, 0))))
        self.assertEqual(client()[0], 200)
        self.assertEqual(self.last_log_line(), "[INF] http: stopped")
        # A listener that cannot open, or a faulty configuration (the reason in the default log): stopped with a
        # failure, never running.
        for extra, line in (("bind_addr=localhost", "[ERR] service: failed to start HTTP listener"),
                            ("no equals sign", "[ERR] config: missing '=' at line 10 \u2014 not starting")):
            self.config(extra)
            run("wine", "net", "start", "TarnIngestService")
            self.assertTrue(self.eventually(self.service_state(stopped_with % (1066, 1))))
            self.assertEqual(self.last_log_line(), line)
        self.assertEqual(run("wine", EXE, "--uninstall"), "0 uninstalled service 'TarnIngestService'\n|")
        self.assertEqual(run("wine", EXE, "--uninstall"), "0 |service not installed\n")
        self.assertEqual(run("wine", EXE, "--reinstall"), "0 |service not installed\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
