#!/usr/bin/env python3
"""Slow-client test: trickling peers must not shut a real gateway out.

Starts a real tarn_ingest_service against a private MariaDB, opens many
connections (300 by default) that each send one byte of a request header
every 10 seconds, then posts a real batch the way a gateway does: on 503
"server busy" (or a connection closed without a reply) it tries again a
second later. It measures how long the batch waits for its 200.

The service admits 256 connections and answers the rest 503 "server busy".
A header block must be complete within 30 s of the accept, so the admitted
tricklers are closed without a reply about 30 s after they connected and the
batch gets in. The test fails (exit 1) when:
  - the batch is not answered 200 within --max-wait seconds (45 by default:
    the 30 s header deadline and a margin), or its reply counts are wrong;
  - a trickler got a reply other than 503 "server busy", or was held open
    well past the deadline (--deadline + --deadline-slack seconds).
Exit 2 when the test itself could not run. Standard library only; everything
listens on 127.0.0.1.

Usage (normally through tests/slow_clients/run, which builds the service and
starts MariaDB):
  slow_clients.py --exe PATH --program-data-dir DIR --db-dir DIR [--clients 300]
                  [--trickle-interval 10] [--max-wait 45] [--deadline 30]
or against a server that already listens on 127.0.0.1 (then nothing is started
and the batch's reply is not checked against the database's counts):
  slow_clients.py --port PORT [--token T] [...]
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

service_start_timeout_s = 30.0
service_stop_timeout_s = 20.0
request_timeout_s = 60.0
retry_pause_s = 1.0
# What a trickler sends, one byte at a time; it never gets to the blank line.
trickle_request = (b"POST /api/ingest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                   b"Content-Length: 1000\r\nX-Padding: " + b"x" * 200 + b"\r\n")


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def read_text(path):
    with open(path) as f:
        return f.read()


def make_batch():
    clients = [{"node_id": n, "chip": "ESP32-C6", "fw_version": "1.4.2", "last_seen": "2024-05-01T11:59:30Z",
                "last_rssi_dbm": -71.5, "last_lqi": 200} for n in range(1, 21)]
    readings = [{"node_id": i % 20 + 1, "meter_id": 500000 + i, "protocol": 7, "volume_gal": 100000 + i,
                 "flow_gpm": 1.25, "freq_hz": 868, "rssi_dbm": -80.5,
                 "gateway_received_at": "2024-05-01T11:58:00.250Z"} for i in range(1000)]
    events = [{"node_id": 3, "event_type": "slow_clients", "payload": {"rx": 1200},
               "gateway_received_at": "2024-05-01T11:59:00Z"}] * 20
    body = json.dumps({"batch_window_end": "2024-05-01T12:00:00Z", "clients": clients, "readings": readings,
                       "events": events}, separators=(",", ":")).encode()
    return body, {"clients_upserted": 20, "readings_inserted": 1000, "events_inserted": 20}


def post(port, token, body):
    """One request on its own connection: (status, reply body); status None when closed without a reply."""
    with socket.create_connection(("127.0.0.1", port), timeout=request_timeout_s) as s:
        head = ("POST /api/ingest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                "X-Tarn-Token: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % (token, len(body)))
        try:
            s.sendall(head.encode() + body)
        except OSError:
            pass  # a busy server may answer and close before taking the body; read what it said
        data = b""
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            data += chunk
    if not data.startswith(b"HTTP/"):
        return None, b""
    status = int(data.split(b" ", 2)[1])
    return status, data.split(b"\r\n\r\n", 1)[-1]


class Trickler:
    """One peer that sends a header byte per interval until the server closes it."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.setblocking(False)
        self.connected_at = time.monotonic()
        self.sent = 0
        self.reply = b""
        self.closed_at = None

    def poll(self):
        """Reads what the server sent; notes when it closed. Returns True while open."""
        if self.closed_at is not None:
            return False
        try:
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    break
                self.reply += chunk
        except BlockingIOError:
            return True
        except OSError:
            pass
        self.closed_at = time.monotonic()
        self.sock.close()
        return False

    def send_byte(self):
        if not self.poll() or self.sent >= len(trickle_request):
            return
        try:
            self.sock.send(trickle_request[self.sent:self.sent + 1])
            self.sent += 1
        except BlockingIOError:
            pass
        except OSError:
            self.poll()


def run(args):
    if args.port:
        return drive(args, args.port, args.token, None)
    db_dir = args.db_dir
    port = free_port()
    token = os.urandom(16).hex()
    data_dir = os.path.join(args.program_data_dir, "TARN", "IngestService")
    os.makedirs(data_dir, exist_ok=True)
    with open(os.path.join(data_dir, "tarn_ingest.conf"), "w") as f:
        f.write("# Written by tests/slow_clients for one run.\n"
                "bind_addr=127.0.0.1\nbind_port=%d\nodbc_driver=MariaDB Unicode\nmysql_host=127.0.0.1\n"
                "mysql_port=%s\nmysql_user=%s\nmysql_pass=%s\nmysql_db=%s\ningest_token=%s\n" % (
                    port, read_text(os.path.join(db_dir, "port")), read_text(os.path.join(db_dir, "user")),
                    read_text(os.path.join(db_dir, "password")), read_text(os.path.join(db_dir, "database")),
                    token))

    log = open(os.path.join(data_dir, "slow_clients-service.out"), "wb")
    service = subprocess.Popen([args.exe, "--console"], stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + service_start_timeout_s
        while True:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                    s.sendall(b"GET /api/health HTTP/1.1\r\n\r\n")
                    if s.recv(64).startswith(b"HTTP/1.1 200"):
                        break
            except OSError:
                pass
            if service.poll() is not None or time.monotonic() > deadline:
                print("slow_clients: the service did not start (see %s)" % log.name, file=sys.stderr)
                return 2
            time.sleep(0.1)
        return drive(args, port, token, log.name)
    finally:
        if service.poll() is None:
            service.send_signal(signal.SIGTERM)
            try:
                service.wait(timeout=service_stop_timeout_s)
            except subprocess.TimeoutExpired:
                service.kill()
                service.wait()
        log.close()


def drive(args, port, token, log_name):
    """The trickle and the gateway against the server on `port`; the exit status."""
    tricklers = []
    try:
        body, expected = make_batch()
        status, reply = post(port, token, body)
        if status != 200:
            print("slow_clients: the batch is not taken even without slow clients: %s %r (see %s)" % (
                status, reply, log_name), file=sys.stderr)
            return 2

        # The tricklers: all connected first, then one byte each per interval.
        start = time.monotonic()
        for _ in range(args.clients):
            tricklers.append(Trickler(port))
        stop = threading.Event()

        # One thread owns the tricklers: it notes closes every 0.1 s and
        # sends the next byte of each one every interval.
        def trickle():
            next_send = time.monotonic()
            while not stop.is_set():
                now = time.monotonic()
                for t in tricklers:
                    if now >= next_send:
                        t.send_byte()
                    else:
                        t.poll()
                if now >= next_send:
                    next_send += args.trickle_interval
                stop.wait(0.1)

        thread = threading.Thread(target=trickle, daemon=True)
        thread.start()
        time.sleep(1.0)
        busy = sum(1 for t in tricklers if t.closed_at is not None and b"server busy" in t.reply)
        print("slow_clients: %d tricklers connected, %d of them answered 503 server busy at once" % (
            len(tricklers), busy))

        # The gateway: the real batch, again every second until it is taken.
        batch_start = time.monotonic()
        attempts = 0
        outcomes = {}
        answered = None
        while time.monotonic() - batch_start < args.max_wait:
            attempts += 1
            try:
                status, reply = post(port, token, body)
            except OSError as e:
                status, reply = "error(%s)" % type(e).__name__, b""
            outcomes[status] = outcomes.get(status, 0) + 1
            if status == 200:
                answered = time.monotonic() - batch_start
                break
            time.sleep(retry_pause_s)
        stop.set()
        thread.join()
        for t in tricklers:
            t.poll()

        failures = []
        if answered is None:
            print("slow_clients: the batch was not answered within %.0f s (%d attempts: %s)" % (
                args.max_wait, attempts, ", ".join("%s x%d" % kv for kv in outcomes.items())))
            failures.append("the batch was not answered 200 within %.0f s (%d attempts: %s)" % (
                args.max_wait, attempts, outcomes))
        elif not args.port:
            counts = json.loads(reply)
            for key, value in expected.items():
                if counts.get(key) != value:
                    failures.append("reply %r, expected %s" % (counts, expected))
                    break
        if answered is not None:
            print("slow_clients: the batch waited %.1f s for its 200 (%d attempts: %s)" % (
                answered, attempts, ", ".join("%s x%d" % kv for kv in outcomes.items())))

        admitted = [t for t in tricklers if b"server busy" not in t.reply]
        replied = [t for t in admitted if t.reply]
        if replied:
            failures.append("%d tricklers got a reply: %r" % (len(replied), replied[0].reply[:80]))
        closed = [t.closed_at - t.connected_at for t in admitted if t.closed_at is not None]
        held = args.deadline + args.deadline_slack
        open_past = [t for t in admitted if t.closed_at is None and time.monotonic() - t.connected_at > held]
        if closed:
            print("slow_clients: %d admitted tricklers closed without a reply %.1f to %.1f s after connecting"
                  " (%d still open)" % (len(closed), min(closed), max(closed), len(admitted) - len(closed)))
        late = [c for c in closed if c > held]
        if late or open_past:
            failures.append("%d tricklers held open past %.0f s" % (len(late) + len(open_past), held))
        print("slow_clients: took %.1f s" % (time.monotonic() - start))
        for failure in failures:
            print("slow_clients: FAIL: " + failure, file=sys.stderr)
        return 1 if failures else 0
    finally:
        for t in tricklers:
            if t.closed_at is None:
                t.sock.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe")
    parser.add_argument("--program-data-dir")
    parser.add_argument("--db-dir", help="folder of a server started with scripts/mariadb start")
    parser.add_argument("--port", type=int, default=0, help="drive the server already listening on this port")
    parser.add_argument("--token", default="")
    parser.add_argument("--clients", type=int, default=300)
    parser.add_argument("--trickle-interval", type=float, default=10.0)
    parser.add_argument("--max-wait", type=float, default=45.0)
    parser.add_argument("--deadline", type=float, default=30.0, help="the service's header deadline in seconds")
    parser.add_argument("--deadline-slack", type=float, default=5.0)
    args = parser.parse_args()
    if not args.port and not (args.exe and args.program_data_dir and args.db_dir):
        parser.error("give --exe, --program-data-dir and --db-dir, or --port")
    try:
        return run(args)
    except OSError as e:
        print("slow_clients: %s" % e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
