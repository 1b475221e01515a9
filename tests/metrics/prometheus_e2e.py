#!/usr/bin/env python3
# The metrics as a real Prometheus sees them: the service's /metrics passes
# promtool, Prometheus scrapes it every second and loads the example alerts,
# and the readings it counts are the rows the database got. The environment
# of the service's end-to-end tests.

import json
import os
import subprocess
import sys
import time
import unittest
import urllib.parse
import urllib.request

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service"))
import service_e2e as e2e  # noqa: E402
from service_e2e import load  # noqa: E402

ALERTS = os.path.join(load.root, "examples", "prometheus-alerts.yml")


class Prometheus(e2e.ServiceCase):
    def start_prometheus(self):
        port, work = load.free_port(), self.service.work_dir
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "rule_files:\n  - %s\n"
                    "scrape_configs:\n  - job_name: tarn-ingest\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % (ALERTS, self.port))
        with open(os.path.join(work, "prometheus.log"), "wb") as log:
            proc = subprocess.Popen(["prometheus", "--config.file=" + config,
                                     "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
                                     "--web.listen-address=127.0.0.1:%d" % port], stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log)
        self.addCleanup(lambda: (proc.terminate(), proc.wait(30)))
        return "http://127.0.0.1:%d/api/v1/" % port

    def ask(self, url):
        # The "data" of a Prometheus API answer; None while it gives none.
        try:
            with urllib.request.urlopen(url, timeout=30) as answer:
                return json.load(answer)["data"]
        except OSError:
            return None

    def query(self, api, expression):
        # The value of a one-sample expression, or None while it has none.
        result = (self.ask(api + "query?" + urllib.parse.urlencode({"query": expression})) or {}).get("result")
        return float(result[0]["value"][1]) if result else None

    def post(self, readings, token):
        rows = ",".join('{"node_id":1,"meter_id":%d,"volume_gal":%d}' % (7000 + i, i) for i in range(readings))
        return self.send(e2e.ingest_request('{"batch_window_end":"2024-05-01","readings":[%s]}' % rows, token))[0]

    def test_prometheus_counts_the_readings_the_database_got(self):
        self.assertEqual(load.run(["promtool", "check", "rules", ALERTS]).count("SUCCESS"), 1)
        self.start("ingest_token=t")
        api = self.start_prometheus()
        before = int(self.db.sql("SELECT COUNT(*) FROM readings")[0][0])
        self.assertEqual([self.post(n, "t") for n in (5, 7, 11)] + [self.post(3, "wrong")], [200, 200, 200, 401])
        self.assertEqual(int(self.db.sql("SELECT COUNT(*) FROM readings")[0][0]) - before, 23)
        status, text = self.send(b"GET /metrics HTTP/1.1\r\n\r\n")
        self.assertEqual(status, 200)
        check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertTrue(self.eventually(lambda: self.query(api, 'tarn_ingest_rows_total{table="readings"}') == 23))
        self.assertEqual(self.query(api, 'tarn_ingest_batches_total{outcome="stored"}'), 3)
        self.assertEqual(self.query(api, 'tarn_ingest_db_up'), 1)
        self.assertEqual(self.query(api, 'tarn_ingest_http_requests_total{route="ingest",code="401"}'), 1)
        self.assertEqual(len(self.ask(api + "rules")["groups"][0]["rules"]), 4, "the example alerts loaded")


if __name__ == "__main__":
    unittest.main(verbosity=2)
