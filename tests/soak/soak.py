#!/usr/bin/env python3
# Fault soak of the ingest service: batches under faults, then every row counted.
#
# Client threads POST batches to a real tarn_ingest_service, each with a
# gateway's time-out of 5 to 15 s and its resends (tests/support/load.py),
# while every few seconds a fault strikes: MariaDB killed with SIGKILL and
# restarted, MariaDB hung for a few seconds (SIGSTOP, then SIGCONT), the
# service's database connections KILLed from a second session, or the
# service killed with SIGKILL and restarted. Afterwards the service must
# take batches again and stop on SIGTERM, and the database must agree with
# every reply. Prints the numbers, with the batches stored twice; exit status
# 1 on a violation, 2 when the soak itself could not run. Without --exe it
# builds its own tree, build/soak.

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

FAULTS = ("db", "hang", "connections", "service")


class Soak:
    def __init__(self, args):
        self.args, self.rng, self.stop = args, random.Random(args.seed), threading.Event()
        exe, data_folder = load.service_exe(args.exe, "soak")
        work = os.path.join(os.path.dirname(exe), "soak-work")
        os.makedirs(work, exist_ok=True)
        self.db, self.service = load.MariaDb(os.path.join(work, "mariadb")), load.Service(exe, data_folder, work)
        self.ledger, self.faults = load.Ledger(), dict.fromkeys(args.faults, 0)

    def client(self, number):
        rng = random.Random("%s-%d" % (self.args.seed, number))
        while not self.stop.is_set():
            batch = self.ledger.new_batch(rng, 0.1)
            self.ledger.send(batch, self.service, timeout=rng.uniform(5, 15))
            if batch.outcome != load.OK:
                self.stop.wait(rng.uniform(0.05, 0.3))

    def inject(self, kind):
        if kind == "db":
            port = self.db.port
            self.db.signal(signal.SIGKILL)
            time.sleep(self.rng.uniform(0, 2))
            self.db.start()
            if self.db.port != port:  # scripts/mariadb keeps the port when it can
                with self.service.lock:
                    self.service.write_config(self.db)
                    self.service.kill9()
                    self.service.start()
        elif kind == "hang":
            self.db.signal(signal.SIGSTOP)
            time.sleep(self.rng.uniform(2, 12))
            self.db.signal(signal.SIGCONT)
        elif kind == "connections":
            for (connection,) in self.db.sql("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = '%s' "
                                             "AND ID <> CONNECTION_ID()" % self.db.user):
                try:
                    self.db.sql("KILL %s" % connection)
                except load.HarnessError:
                    pass  # it ended by itself meanwhile
        else:
            with self.service.lock:
                self.service.kill9()
                self.service.start()
        self.faults[kind] += 1
        say("fault: %s" % kind)

    def fault_loop(self):
        while not self.stop.wait(self.rng.uniform(3, 6)):
            if not self.service.running():
                self.ledger.problems.append("the service exited by itself")
                with self.service.lock:
                    self.service.start()
            self.inject(self.rng.choice(self.args.faults))

    def run(self):
        self.db.signal(signal.SIGCONT)
        if os.path.exists(self.db.dir):
            self.db.stop()
        load.run(["rm", "-rf", self.db.dir, self.service.log_path])
        self.db.start()  # a fresh database: every row belongs to a batch of this run
        self.service.write_config(self.db)
        self.service.start()
        threads = [threading.Thread(target=self.client, args=(n,), daemon=True) for n in range(self.args.clients)]
        threads += [threading.Thread(target=self.fault_loop, daemon=True)] if self.args.faults else []
        for thread in threads:
            thread.start()
        say("%d clients for %d s; faults: %s" % (self.args.clients, self.args.duration, ",".join(self.args.faults)))
        time.sleep(self.args.duration)
        self.stop.set()
        for thread in reversed(threads):  # the faults first: a restart in progress completes
            thread.join(120)
        self.db.signal(signal.SIGCONT)
        self.db.start()  # reuses a running server, starts a killed one
        # Without faults the service takes batches again: five in a row within a minute.
        rng, in_a_row, deadline = random.Random(self.args.seed), 0, time.monotonic() + 60
        while in_a_row < 5 and time.monotonic() < deadline:
            batch = self.ledger.new_batch(rng, 0)
            self.ledger.send(batch, self.service)
            in_a_row = in_a_row + 1 if batch.outcome == load.OK else 0
        violations, twice = self.ledger.count(self.db)
        violations += [] if in_a_row == 5 else ["the service took no five batches in a row after the faults"]
        status = self.service.stop()
        violations += [] if status == 0 else ["service did not stop with status 0 on SIGTERM (%s)" % status]
        return violations + self.ledger.problems, twice


def main(argv):
    parser = argparse.ArgumentParser(description="Fault soak of the ingest service; counts every row.")
    parser.add_argument("--exe", help="the built tarn_ingest_service (default: build one in build/soak)")
    parser.add_argument("--duration", type=int, default=120, help="seconds of load (default 120)")
    parser.add_argument("--clients", type=int, default=4, help="client threads (default 4)")
    parser.add_argument("--faults", default=",".join(FAULTS), help="a subset of %s" % ",".join(FAULTS))
    parser.add_argument("--seed", default=str(random.randrange(10**6)))
    args = parser.parse_args(argv)
    args.faults = [kind for kind in args.faults.split(",") if kind]
    if not set(args.faults) <= set(FAULTS):
        parser.error("unknown fault in %s" % args.faults)
    soak = None
    try:
        soak = Soak(args)
        violations, twice = soak.run()
    except load.HarnessError as e:
        print("soak: %s" % e, file=sys.stderr)
        return 2
    finally:
        if soak is not None:
            soak.db.signal(signal.SIGCONT)
            soak.service.kill9()
            soak.db.stop()
    batches = soak.ledger.batches
    print("\nsoak: %d s, %d clients, seed %s, %d batches (%d resends)"
          % (args.duration, args.clients, args.seed, len(batches), sum(b.attempts - 1 for b in batches)))
    load.print_outcomes(soak.ledger)
    print("  %-60s %6d" % ("present whole in the database", sum(b.copies() > 0 for b in batches)))
    print("  %-60s %6d" % ("stored twice or more", twice))
    for kind, n in soak.faults.items():
        print("  %-60s %6d" % ("fault: " + kind, n))
    return load.verdict(violations)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
