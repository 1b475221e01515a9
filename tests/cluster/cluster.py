#!/usr/bin/env python3
"""Failover test: two service instances on a Galera cluster behind haproxy lose the writer node under load.

scripts/galera starts three nodes and haproxy; two tarn_ingest_service
instances, each with its own data folder (scripts/with-data-folder), point at
haproxy. Gateway threads POST batches to both, made and judged as in
tests/soak/soak.py. Mid-load node1, the writer, is killed with SIGKILL; once
the others have moved on it is restarted from its recovered position and
must rejoin by an incremental state transfer, then take the writes back.
After the load, on every node:
  - each batch answered 200 is whole; none is partial; a batch answered 503
    is absent, except a "commit failed" one, which may be whole;
  - CHECKSUM TABLE of clients, readings and events is the same everywhere.
Each instance must also take batches again, before the rejoin and after it.
Prints the time from the kill to the first 200 of a batch sent after it.
Exit status 0 pass, 1 fail, 2 the test could not run.
"""

import argparse
import os
import random
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "soak"))
import soak  # noqa: E402
from soak import say  # noqa: E402

root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
galera_script = os.path.join(root, "scripts", "galera")
wrapper = os.path.join(root, "scripts", "with-data-folder")
galera_timeout_s = 300.0
converge_timeout_s = 60.0
writer = 1


def now():
    return time.monotonic() - soak.started_at


class Failover(soak.Soak):
    """Reuses the soak's batches, sending, row counts and verdicts; runs its own load and faults."""

    def __init__(self, args):
        self.args = args
        args.http_timeout = soak.http_timeout_s
        self.batches = []
        self.batches_lock = threading.Lock()
        self.next_batch_id = 1
        self.problems = []
        self.stop_clients = threading.Event()
        self.galera_dir = os.path.join(args.work_dir, "galera")
        self.nodes = []
        self.services = []
        for n in (1, 2):
            work = os.path.join(args.work_dir, "instance%d" % n)
            own = os.path.join(work, "programdata")
            service = soak.Service(args.exe, os.path.join(own, "TARN", "IngestService", "tarn_ingest.conf"),
                                   work, soak.free_port())
            service.command = [wrapper, args.program_data_dir, own, args.exe, "--console"]
            self.services.append(service)
        self.events = {}

    def galera(self, *words):
        result = subprocess.run([galera_script, words[0], self.galera_dir] + [str(w) for w in words[1:]],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=galera_timeout_s)
        if result.returncode != 0:
            raise soak.SoakError("scripts/galera %s failed:\n%s%s" % (" ".join(map(str, words)),
                                                                      result.stdout, result.stderr))
        # Progress goes to standard error, the verdict to standard output.
        return (result.stderr + result.stdout).strip()

    def setup(self):
        self.galera("stop")
        subprocess.run(["rm", "-rf", self.galera_dir, self.services[0].console_log,
                        self.services[1].console_log], check=True)
        began = now()
        say(self.galera("start", 3))
        say("cluster up in %.1f s" % (now() - began))
        front = soak.MariaDb(None, self.galera_dir)
        front.port = int(front.read("port"))
        front.user, front.password, front.database = (front.read(n) for n in ("user", "password", "database"))
        for n in (1, 2, 3):
            node = soak.MariaDb(None, os.path.join(self.galera_dir, "node%d" % n))
            node.load()
            self.nodes.append(node)
        for service in self.services:
            os.makedirs(os.path.dirname(service.log_path), exist_ok=True)
            service.write_config(front)
            service.start()
            say("service %d on 127.0.0.1:%d through haproxy 127.0.0.1:%d"
                % (service.proc.pid, service.port, front.port))

    def gateway(self, number):
        rng = random.Random("%s-%d" % (self.args.seed, number))
        service = self.services[number % 2]
        while not self.stop_clients.is_set():
            batch = self.new_batch(number, rng, 0.0)
            batch.instance = number % 2
            self.send(batch, service)
            batch.answered_at = now()
            if batch.outcome != soak.OK:
                self.stop_clients.wait(rng.uniform(*soak.pause_after_unavailable_s))

    def first_ok(self, after, instance=None):
        """Seconds from `after` to the first 200 of a batch sent after it, or None."""
        times = [b.answered_at for b in list(self.batches) if b.outcome == soak.OK and b.sent_at >= after
                 and (instance is None or b.instance == instance)]
        return min(times) - after if times else None

    def run(self):
        self.setup()
        gateways = [threading.Thread(target=self.gateway, args=(n,), daemon=True) for n in range(self.args.gateways)]
        for thread in gateways:
            thread.start()
        say("%d gateways posting to 2 instances" % len(gateways))
        time.sleep(self.args.before)
        # The soak's own kill: the time is taken right before the signal, so
        # that no batch sent after it can have been committed by the writer.
        self.events["kill"] = now()
        pid = self.nodes[writer - 1].kill9()
        if pid is None:
            raise soak.SoakError("node%d does not run" % writer)
        say("killed node%d (%d) with SIGKILL; so far %s" % (writer, pid, self.progress()))
        time.sleep(self.args.down)
        self.events["restart"] = now()
        restarted = self.galera("restart", writer)
        self.events["rejoined"] = now()
        say(restarted)
        if "incremental state transfer" not in restarted:
            self.problems.append("node%d did not rejoin by an incremental state transfer: %s" % (writer, restarted))
        time.sleep(self.args.after)
        self.stop_clients.set()
        for thread in gateways:
            thread.join(self.args.http_timeout + 15)
            if thread.is_alive():
                self.problems.append("a gateway got no reply within %.0f s" % (self.args.http_timeout + 15))
        say("load stopped: %s" % self.progress())
        for name, after in (("the kill", self.events["kill"]), ("the rejoin", self.events["rejoined"])):
            for instance in (0, 1):
                if self.first_ok(after, instance) is None:
                    self.problems.append("instance %d took no batch after %s" % (instance + 1, name))
        for instance, service in enumerate(self.services):
            if not service.running():
                self.problems.append("instance %d exited (see %s)" % (instance + 1, service.console_log))
        self.converge()
        self.check_nodes()

    def converge(self):
        """Waits until every node has applied the same last transaction."""
        deadline = time.monotonic() + converge_timeout_s
        while True:
            seqnos = [node.sql("SHOW GLOBAL STATUS LIKE 'wsrep_last_committed'")[0][1] for node in self.nodes]
            if len(set(seqnos)) == 1:
                return
            if time.monotonic() > deadline:
                raise soak.SoakError("nodes disagree on wsrep_last_committed: %s" % seqnos)
            time.sleep(0.2)

    def check_nodes(self):
        self.node_verdicts = {}
        self.checksums = {}
        for n, node in enumerate(self.nodes, 1):
            self.db = node
            self.count_rows()
            found = self.verdicts()
            if self.stray_readings or self.stray_events or self.duplicate_meters or self.missing_clients:
                found.append((None, "rows of no batch %d/%d, duplicate meters %d, missing clients %s"
                              % (self.stray_readings, self.stray_events, self.duplicate_meters,
                                 self.missing_clients[:10])))
            self.node_verdicts[n] = found
            self.checksums[n] = tuple(row[1] for row in node.sql("CHECKSUM TABLE clients, readings, events"))
        self.whole = sum(1 for b in self.batches if b.db_state() == "whole")

    def report(self):
        outcomes = {}
        for b in self.batches:
            kind = soak.error_kind(b.reply) if b.outcome == soak.UNAVAILABLE else b.outcome
            outcomes[kind] = outcomes.get(kind, 0) + 1
        print("\ncluster failover summary: %d batches, seed %s" % (len(self.batches), self.args.seed))
        for kind in sorted(outcomes, key=lambda k: -outcomes[k]):
            print("  %-52s %6d" % (kind, outcomes[kind]))
        print("  %-52s %6d" % ("present whole (on every node)", self.whole))
        kill = self.events["kill"]
        failover = self.first_ok(kill)
        print("  %-52s %6s" % ("writer killed at", "%.1f s" % kill))
        print("  %-52s %6s" % ("kill to the first 200 afterwards",
                                "%.1f s" % failover if failover is not None else "never"))
        for instance in (0, 1):
            first = self.first_ok(kill, instance)
            print("  %-52s %6s" % ("  instance %d" % (instance + 1), "%.1f s" % first if first is not None else "never"))
        print("  %-52s %6s" % ("restart begun / node Synced again",
                                "%.1f / %.1f s" % (self.events["restart"], self.events["rejoined"])))
        for n, sums in self.checksums.items():
            print("  %-52s %s" % ("node%d CHECKSUM clients, readings, events" % n, " ".join(sums)))

        failures = list(self.problems)
        for n, found in self.node_verdicts.items():
            failures += ["node%d: batch %s: %s" % (n, b.batch_id if b else "-", text) for b, text in found]
        if len(set(self.checksums.values())) != 1:
            failures.append("CHECKSUM TABLE differs between the nodes")
        if not any(b.outcome == soak.OK for b in self.batches):
            failures.append("no batch was answered 200")
        if failures:
            print("\nFAIL: %d violation(s); the first ones:" % len(failures))
            for text in failures[:25]:
                print("  " + text)
        else:
            print("\nPASS: nothing lost, nothing partial, the same tables on every node")
        return failures

    def cleanup(self):
        self.stop_clients.set()
        for service in self.services:
            if service.proc is not None:
                status = service.stop()
                if status != 0 and not self.args.keep:
                    say("instance on port %d stopped with %s" % (service.port, status))
        if not self.args.keep:
            try:
                self.galera("stop")
            except (soak.SoakError, subprocess.SubprocessError) as e:
                print("cluster: stopping the cluster failed: %s" % e, file=sys.stderr)


def main(argv):
    parser = argparse.ArgumentParser(description="Writer node killed under load; every batch counted on every node.")
    parser.add_argument("--exe", required=True, help="the built tarn_ingest_service")
    parser.add_argument("--program-data-dir", required=True, help="TARN_PROGRAM_DATA_DIR the executable was built with")
    parser.add_argument("--work-dir", required=True, help="cluster, instances' folders and logs")
    parser.add_argument("--gateways", type=int, default=4, help="gateway threads, half on each instance (default 4)")
    parser.add_argument("--before", type=float, default=15, help="seconds of load before the kill (default 15)")
    parser.add_argument("--down", type=float, default=8, help="seconds the writer stays down (default 8)")
    parser.add_argument("--after", type=float, default=12, help="seconds of load after the rejoin (default 12)")
    parser.add_argument("--seed", default=str(random.randrange(10**6)))
    parser.add_argument("--keep", action="store_true", help="leave the cluster running afterwards")
    args = parser.parse_args(argv)
    args.exe, args.work_dir = os.path.abspath(args.exe), os.path.abspath(args.work_dir)
    args.program_data_dir = os.path.abspath(args.program_data_dir)
    run = Failover(args)
    try:
        run.run()
        return 1 if run.report() else 0
    except soak.SoakError as e:
        print("cluster: %s" % e, file=sys.stderr)
        return 2
    finally:
        run.cleanup()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
