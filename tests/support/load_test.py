#!/usr/bin/env python3
# Checks of load.py's own accounting: python3 tests/support/load_test.py.

import json
import os
import random
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import load  # noqa: E402


class HeldRows:
    # A database that holds `copies` of each batch (0.5: half of its rows).
    def __init__(self, held):
        self.held = held

    def sql(self, statement):
        if "FROM readings" in statement:
            return [[str(b.batch_id), str(int(b.readings * n))] for b, n in self.held if n]
        return [["load-%d" % b.batch_id, str(int(b.events * n))] for b, n in self.held if n >= 1]


class Verdicts(unittest.TestCase):
    # (reply, invalid on purpose, an attempt went unanswered, copies held, a violation, stored twice)
    cases = [
        (load.OK, False, False, 1, False, 0), (load.OK, False, False, 0, True, 0), (load.OK, False, False, 0.5, True, 0),
        (load.OK, False, True, 2, False, 1), (load.REJECTED, True, False, 0, False, 0),
        (load.REJECTED, True, False, 0.5, True, 0), (load.UNAVAILABLE, False, False, 1, True, 0),
        (load.UNAVAILABLE, False, True, 1, False, 0), (load.COMMIT_FAILED, False, False, 1, False, 0),
        (load.NO_REPLY, False, True, 0, False, 0), (load.REFUSED, False, False, 1, True, 0),
    ]

    def test_each_reply_allows_only_its_database_states(self):
        for outcome, invalid, unanswered, copies, violation, twice in self.cases:
            with self.subTest(case=(outcome, invalid, unanswered, copies)):
                ledger = load.Ledger()
                batch = ledger.new_batch(random.Random(7), 1.0 if invalid else 0.0)
                batch.outcome, batch.unanswered = outcome, unanswered
                found, stored_twice = ledger.count(HeldRows([(batch, copies)]))
                self.assertEqual(bool(found), violation, found)
                self.assertEqual(stored_twice, twice)

    def test_rows_of_no_batch_are_a_violation(self):
        ledger = load.Ledger()
        stray = ledger.new_batch(random.Random(3), 0)
        ledger.batches.clear()
        found, _ = ledger.count(HeldRows([(stray, 1)]))
        self.assertEqual(found, ["rows of no batch: %d readings, %d events" % (stray.readings, stray.events)])

    def test_rows_of_a_batch_carry_its_id_and_an_invalid_one_its_error(self):
        ledger = load.Ledger()
        for invalid_ratio in (0, 1):
            batch = ledger.new_batch(random.Random(5), invalid_ratio)
            body = json.loads(batch.body)
            self.assertEqual({r["meter_id"] // load.meter_ids_per_batch for r in body["readings"]}, {batch.batch_id})
            self.assertEqual({e["event_type"] for e in body["events"]}, {"load-%d" % batch.batch_id})
            self.assertEqual(batch.invalid, "reading node_id out of range" if invalid_ratio else None)


if __name__ == "__main__":
    unittest.main()
