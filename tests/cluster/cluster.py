#!/usr/bin/env python3
# Failover test: two service instances on a Galera cluster behind haproxy lose the writer node under load.
#
# scripts/galera starts three nodes and haproxy; two tarn_ingest_service
# instances, each with its own data folder (scripts/with-data-folder), point at
# haproxy. Gateway threads POST batches to both (tests/support/load.py).
# Mid-load node1, the writer, is killed with SIGKILL; once the others have
# moved on it is restarted from its recovered position and must rejoin by an
# incremental state transfer, then take the writes back. After the load, on
# every node, the database must agree with every reply (nothing lost, nothing
# partial) and CHECKSUM TABLE must be the same. Each instance must take
# batches again after the kill and after the rejoin. Prints the time from the
# kill to the first 200 of a batch sent after it. Exit status 0 pass, 1 fail,
# 2 the test could not run.
#
#   tests/cluster/run [--exe PATH] [--before S] [--down S] [--after S] [--seed X]

import argparse
import os
import random
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import load  # noqa: E402
from load import say  # noqa: E402

galera_script = os.path.join(load.root, "scripts", "galera")
wrapper = os.path.join(load.root, "scripts", "with-data-folder")


def now():
    return time.monotonic() - load.started_at


class Failover:
    def __init__(self, args):
        self.args = args
        exe, data_folder = load.service_exe(args.exe, "cluster")
        self.work = os.path.join(os.path.dirname(exe), "cluster-work")
        self.galera_dir = os.path.join(self.work, "galera")
        self.services = []
        for n in (1, 2):
            work = os.path.join(self.work, "instance%d" % n)
            own = os.path.join(work, "programdata")
            os.makedirs(work, exist_ok=True)
            self.services.append(load.Service(exe, own, work, [wrapper, data_folder, own, exe, "--console"]))
        self.ledger = load.Ledger()
        self.stop = threading.Event()
        self.nodes = []

    def galera(self, *words):
        return load.run([galera_script, words[0], self.galera_dir] + [str(w) for w in words[1:]]).strip()

    def setup(self):
        self.galera("stop")
        load.run(["rm", "-rf", self.galera_dir] + [s.log_path for s in self.services])
        began = now()
        self.galera("start", 3)
        say("cluster up in %.1f s" % (now() - began))
        front = load.MariaDb(self.galera_dir)  # haproxy's address, and the login
        front.load()
        for n in (1, 2, 3):
            self.nodes.append(load.MariaDb(os.path.join(self.galera_dir, "node%d" % n)))
            self.nodes[-1].load()
        for service in self.services:
            service.write_config(front)
            service.start()

    def gateway(self, number):
        rng = random.Random("%s-%d" % (self.args.seed, number))
        while not self.stop.is_set():
            batch = self.ledger.new_batch(rng, 0)
            batch.instance = number % 2
            self.ledger.send(batch, self.services[batch.instance])
            batch.answered_at = now()
            if batch.outcome != load.OK:
                self.stop.wait(rng.uniform(0.02, 0.1))

    def first_ok(self, after, instance=None):
        # Seconds from `after` to the first 200 of a batch sent after it, or None.
        times = [b.answered_at for b in list(self.ledger.batches) if b.outcome == load.OK and b.sent_at >= after
                 and getattr(b, "answered_at", None) and instance in (None, b.instance)]
        return min(times) - after if times else None

    def run(self):
        self.setup()
        gateways = [threading.Thread(target=self.gateway, args=(n,), daemon=True) for n in range(4)]
        for thread in gateways:
            thread.start()
        time.sleep(self.args.before)
        self.kill = now()  # taken right before the signal: no batch sent later can be on the killed node
        self.nodes[0].signal(signal.SIGKILL)
        say("killed node1, the writer")
        time.sleep(self.args.down)
        restarted = self.galera("restart", 1)
        self.rejoined = now()
        say(restarted)
        problems = [] if "incremental state transfer" in restarted else ["node1 did not rejoin incrementally"]
        time.sleep(self.args.after)
        self.stop.set()
        for thread in gateways:
            thread.join(60)
            problems += ["a gateway got no reply within 60 s"] if thread.is_alive() else []
        for instance in (0, 1):
            for name, after in (("the kill", self.kill), ("the rejoin", self.rejoined)):
                if self.first_ok(after, instance) is None:
                    problems.append("instance %d took no batch after %s" % (instance + 1, name))
        self.converge()
        checksums = set()
        for n, node in enumerate(self.nodes, 1):
            violations, twice = self.ledger.count(node)
            problems += ["node%d: %s" % (n, v) for v in violations] + (["node%d: batches stored twice" % n] * bool(twice))
            checksum = tuple(row[1] for row in node.sql("CHECKSUM TABLE clients, readings, events"))
            checksums.add(checksum)
            say("node%d CHECKSUM clients, readings, events: %s" % (n, " ".join(checksum)))
        if len(checksums) != 1:
            problems.append("CHECKSUM TABLE differs between the nodes")
        return problems + self.ledger.problems

    def converge(self):
        # Waits until every node has applied the same last transaction.
        deadline = time.monotonic() + 60
        while len({node.sql("SHOW GLOBAL STATUS LIKE 'wsrep_last_committed'")[0][1] for node in self.nodes}) > 1:
            if time.monotonic() > deadline:
                raise load.HarnessError("the nodes do not agree on wsrep_last_committed")
            time.sleep(0.2)


def main(argv):
    parser = argparse.ArgumentParser(description="Writer node killed under load; every batch counted on every node.")
    parser.add_argument("--exe", help="the built tarn_ingest_service (default: build one in build/cluster)")
    parser.add_argument("--before", type=float, default=15, help="seconds of load before the kill (default 15)")
    parser.add_argument("--down", type=float, default=8, help="seconds the writer stays down (default 8)")
    parser.add_argument("--after", type=float, default=12, help="seconds of load after the rejoin (default 12)")
    parser.add_argument("--seed", default=str(random.randrange(10**6)))
    args = parser.parse_args(argv)
    run = None
    try:
        run = Failover(args)
        problems = run.run()
    except load.HarnessError as e:
        print("cluster: %s" % e, file=sys.stderr)
        return 2
    finally:
        if run is not None:
            for service in run.services:
                service.stop()
            run.galera("stop")
    load.print_outcomes(run.ledger)
    failover = run.first_ok(run.kill)
    print("  %-60s %6s" % ("kill to the first 200 afterwards", "%.1f s" % failover if failover else "never"))
    return load.verdict(problems)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
