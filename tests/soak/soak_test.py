#!/usr/bin/env python3
"""Checks of the soak's own verdicts: run with python3 tests/soak/soak_test.py."""

import json
import os
import random
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak  # noqa: E402

WHOLE, HALF, ABSENT, DOUBLE = "whole", "half", "absent", "double"


def batch_in_db(batch_id, outcome, invalid, held):
    batch = soak.make_batch(batch_id, 0, random.Random(batch_id), 1.0 if invalid else 0.0)
    batch.outcome = outcome
    factor = {WHOLE: 1, HALF: 0.5, ABSENT: 0, DOUBLE: 2}[held]
    batch.db_readings = int(batch.readings * factor)
    batch.db_events = batch.events * 2 if held == DOUBLE else (batch.events if held == WHOLE else 0)
    return batch


class Verdicts(unittest.TestCase):
    # (reply, invalid on purpose, what the database holds, is it a violation)
    cases = [
        (soak.OK, False, WHOLE, False),
        (soak.OK, False, ABSENT, True),
        (soak.OK, False, HALF, True),
        (soak.OK, False, DOUBLE, True),
        (soak.REJECTED, True, ABSENT, False),
        (soak.REJECTED, True, HALF, True),
        (soak.UNAVAILABLE, False, ABSENT, False),
        (soak.UNAVAILABLE, False, WHOLE, True),
        (soak.COMMIT_FAILED, False, WHOLE, False),
        (soak.COMMIT_FAILED, False, ABSENT, False),
        (soak.COMMIT_FAILED, False, HALF, True),
        (soak.NO_REPLY, False, WHOLE, False),
        (soak.NO_REPLY, False, ABSENT, False),
        (soak.NO_REPLY, True, WHOLE, True),
        (soak.REFUSED, False, ABSENT, False),
        (soak.REFUSED, False, WHOLE, True),
    ]

    def test_each_reply_allows_only_its_database_states(self):
        run = soak.Soak.__new__(soak.Soak)
        run.batches = [batch_in_db(n + 1, *case[:3]) for n, case in enumerate(self.cases)]
        flagged = {batch.batch_id for batch, _ in run.verdicts()}
        for n, case in enumerate(self.cases):
            with self.subTest(case=case):
                self.assertEqual(n + 1 in flagged, case[3])


class Batches(unittest.TestCase):
    def test_rows_of_a_batch_carry_its_id_and_no_other(self):
        rng = random.Random(3)
        for batch_id in (1, 2, 999999):
            batch = soak.make_batch(batch_id, 0, rng, 0)
            body = json.loads(batch.body)
            meters = [r["meter_id"] // soak.meter_ids_per_batch for r in body["readings"]]
            self.assertEqual(meters, [batch_id] * batch.readings)
            self.assertEqual({e["event_type"] for e in body["events"]}, {"soak-%d" % batch_id})
            valid = [c for c in body["clients"] if 1 <= c["node_id"] <= 254]
            self.assertEqual(len(valid), batch.valid_clients)

    def test_invalid_batch_names_the_error_its_reply_must_carry(self):
        rng = random.Random(5)
        errors = {soak.make_batch(n, 0, rng, 1.0).invalid for n in range(1, 60)}
        self.assertEqual(errors, {"reading node_id out of range", "reading missing required field",
                                  "event missing required field"})

    def test_error_kind_keeps_step_and_sqlstate_only(self):
        reply = json.dumps({"error": "insert readings: [08S01] [ma-3.1.15]Lost connection"})
        self.assertEqual(soak.error_kind(reply), "503 insert readings [08S01]")
        self.assertEqual(soak.error_kind('{"error":"db connect failed"}'), "503 db connect failed")


if __name__ == "__main__":
    unittest.main()
