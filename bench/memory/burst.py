#!/usr/bin/env python3
"""Peak resident memory of the service while many clients upload a big body at once.

  burst.py --port PORT --pid PID --body FILE [--clients 256] [--token T] [--timeout S]
           [--abort-above-mib N]

Opens all connections first, then every client sends its request headers
and the whole body at the same moment and reads the reply. Meanwhile the
service's VmRSS is sampled from /proc/PID/status; VmHWM (the kernel's own
high-water mark since the process started) is read at the end. Prints one
line of key=value words for bench/run:
  memory clients=.. body_bytes=.. replies=STATUS:COUNT,.. seconds=.. baseline_mib=.. peak_rss_mib=.. vmhwm_mib=..
With --abort-above-mib the service is killed (SIGKILL) once its VmRSS passes
N MiB, so that a runaway cannot take the machine down; the line then says
aborted=1. Exits 1 when a client got no reply or the process vanished.
Standard library only.
"""

import argparse
import collections
import os
import signal
import socket
import sys
import threading
import time

sample_interval_s = 0.01


def status_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/%d/status" % (field, pid))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--body", required=True)
    parser.add_argument("--clients", type=int, default=256)
    parser.add_argument("--token", default="")
    parser.add_argument("--timeout", type=float, default=300.0, help="per-socket timeout in seconds")
    parser.add_argument("--abort-above-mib", type=float, default=0.0)
    args = parser.parse_args()

    with open(args.body, "rb") as f:
        body = f.read()
    head = ("POST /api/ingest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            "X-Tarn-Token: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % (args.token, len(body))).encode()
    request = head + body

    baseline_kib = status_kib(args.pid, "VmRSS")
    peak_kib = [baseline_kib]
    aborted = [False]
    sampling = threading.Event()
    sampling.set()

    def sample():
        while sampling.is_set():
            try:
                peak_kib[0] = max(peak_kib[0], status_kib(args.pid, "VmRSS"))
            except (OSError, RuntimeError):
                return
            if args.abort_above_mib and peak_kib[0] > args.abort_above_mib * 1024 and not aborted[0]:
                aborted[0] = True
                os.kill(args.pid, signal.SIGKILL)
            time.sleep(sample_interval_s)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()

    # The service serves at most 64 connections from one address: the clients
    # come from 127.0.0.2, 127.0.0.3, ... in turn, 64 from each.
    sockets = []
    for n in range(args.clients):
        source = ("127.0.0.%d" % (2 + n // 64), 0)
        sockets.append(socket.create_connection(("127.0.0.1", args.port), timeout=args.timeout,
                                                source_address=source))

    go = threading.Barrier(args.clients + 1)
    replies = collections.Counter()
    lock = threading.Lock()

    def client(s):
        status = "none"
        try:
            go.wait()
            s.sendall(request)
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
            parts = data.split(b" ", 2)
            if len(parts) >= 2 and parts[0].startswith(b"HTTP/"):
                status = parts[1].decode("ascii", "replace")
        except OSError as e:
            status = "error(%s)" % type(e).__name__
        finally:
            s.close()
        with lock:
            replies[status] += 1

    threads = [threading.Thread(target=client, args=(s,)) for s in sockets]
    for t in threads:
        t.start()
    start = time.monotonic()
    go.wait()
    for t in threads:
        t.join()
    seconds = time.monotonic() - start
    time.sleep(0.2)
    sampling.clear()
    sampler.join()
    try:
        hwm_kib = status_kib(args.pid, "VmHWM")
    except (OSError, RuntimeError):
        # Gone (or killed above the limit): the sampled peak is all there is.
        hwm_kib = peak_kib[0]
        if not aborted[0]:
            print("burst.py: process %d is gone" % args.pid, file=sys.stderr)

    print("memory clients=%d body_bytes=%d replies=%s seconds=%.1f baseline_mib=%.1f peak_rss_mib=%.1f "
          "vmhwm_mib=%.1f aborted=%d" % (
              args.clients, len(body), ",".join("%s:%d" % kv for kv in sorted(replies.items())), seconds,
              baseline_kib / 1024, peak_kib[0] / 1024, hwm_kib / 1024, int(aborted[0])))
    if aborted[0]:
        return 1
    answered = sum(n for status, n in replies.items() if status.isdigit())
    return 0 if answered == args.clients else 1


if __name__ == "__main__":
    sys.exit(main())
