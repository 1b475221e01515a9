#!/usr/bin/env python3
# The metrics as a real Prometheus sees them: the service's /metrics passes
# promtool, Prometheus scrapes it every second and loads the example alerts,
# and the readings it counts are the rows the database got. Needs the
# private MariaDB (TARN_TEST_MARIADB_DIR) and the executable (TARN_SERVICE_EXE).

import json
import os
import subprocess
import sys
import time
import unittest
import urllib.parse
import urllib.request

sys.dont_write_bytecode = True
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
import load  # noqa: E402

EXE, BUILD, DATA = (os.environ.get(n, "") for n in ("TARN_SERVICE_EXE", "TARN_TEST_BINARY_DIR",
                                                     "TARN_PROGRAM_DATA_DIR"))
ALERTS = os.path.join(load.root, "examples", "prometheus-alerts.yml")


def get(url, data=None, headers=None):
    # (status, body) of one request; an error status is an answer too.
    request = urllib.request.Request(url, data=data, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


class Prometheus(unittest.TestCase):
    def setUp(self):
        self.db = load.MariaDb(os.environ["TARN_TEST_MARIADB_DIR"]).load()
        self.work = os.path.join(BUILD, "test-tmp", "prometheus-%d" % time.monotonic_ns())
        self.service = load.Service(EXE, DATA, self.work)
        self.addCleanup(self.service.kill9)
        self.service.write_config(self.db)
        self.service.start()
        self.base = "http://127.0.0.1:%d" % self.service.port

    def start_prometheus(self):
        port = load.free_port()
        config = os.path.join(self.work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "rule_files:\n  - %s\n"
                    "scrape_configs:\n  - job_name: tarn-ingest\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % (ALERTS, self.service.port))
        with open(os.path.join(self.work, "prometheus.log"), "wb") as log:
            proc = subprocess.Popen(["prometheus", "--config.file=" + config,
                                     "--storage.tsdb.path=" + os.path.join(self.work, "tsdb"),
                                     "--web.listen-address=127.0.0.1:%d" % port], stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log)
        self.addCleanup(lambda: (proc.terminate(), proc.wait(30)))
        return "http://127.0.0.1:%d" % port

    def query(self, prometheus, expression):
        # The value of a one-sample expression, or None while it has none.
        status, body = get(prometheus + "/api/v1/query?" + urllib.parse.urlencode({"query": expression}))
        result = json.loads(body)["data"]["result"] if status == 200 else []
        return float(result[0]["value"][1]) if result else None

    def post(self, readings, token):
        batch = {"batch_window_end": "2024-05-01T12:00:00Z",
                 "readings": [{"node_id": 1, "meter_id": 7000 + i, "volume_gal": i} for i in range(readings)]}
        return get(self.base + "/api/ingest", json.dumps(batch).encode(), {"X-Tarn-Token": token})[0]

    def readings_in_db(self):
        return int(self.db.sql("SELECT COUNT(*) FROM readings")[0][0])

    def test_prometheus_counts_the_readings_the_database_got(self):
        self.assertEqual(load.run(["promtool", "check", "rules", ALERTS]).count("SUCCESS"), 1)
        prometheus = self.start_prometheus()
        before = self.readings_in_db()
        statuses = [self.post(n, self.service.token) for n in (5, 7, 11)] + [self.post(3, "wrong")]
        self.assertEqual(statuses, [200, 200, 200, 401])
        stored = self.readings_in_db() - before
        self.assertEqual(stored, 23)
        status, text = get(self.base + "/metrics")
        self.assertEqual(status, 200)
        check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        deadline = time.monotonic() + 60
        while self.query(prometheus, 'tarn_ingest_rows_total{table="readings"}') != stored and \
                time.monotonic() < deadline:
            time.sleep(0.5)
        self.assertEqual(self.query(prometheus, 'tarn_ingest_rows_total{table="readings"}'), stored)
        self.assertEqual(self.query(prometheus, 'tarn_ingest_batches_total{outcome="stored"}'), 3)
        self.assertEqual(self.query(prometheus, 'tarn_ingest_db_up'), 1)
        self.assertEqual(self.query(prometheus, 'tarn_ingest_http_requests_total{route="ingest",code="401"}'), 1)
        status, rules = get(prometheus + "/api/v1/rules")
        self.assertEqual(len(json.loads(rules)["data"]["groups"][0]["rules"]), 4, "the example alerts loaded")


if __name__ == "__main__":
    unittest.main(verbosity=2)
