#!/usr/bin/env python3
# End-to-end tests with the HTTP clients that gateways, scripts and test rigs
# use, each posting a batch of its own to the real executable; curl also
# through nginx terminating TLS as examples/nginx-tls.conf sets it up (curl
# under Wine: service_e2e.Windows). CTest runs one class at a time, with the
# environment of service_e2e.py.

import gzip
import os
import shutil
import subprocess
import time
import unittest

import service_e2e as e2e
from service_e2e import load

# Debian's python3-requests, whichever python3 runs this script; a generator
# as the body, which requests sends chunked.
REQUESTS = ["/usr/bin/python3", "-c", """import requests, sys
url, token, path = sys.argv[1:]
data = open(path, "rb").read()
reply = requests.post(url, data=(part for part in (data[:9], data[9:])), headers={"X-Tarn-Token": token}, timeout=60)
print(reply.text, reply.status_code)"""]
# Node's fetch with a stream body, which it sends chunked; exit status 77
# where Node has no fetch or web streams (before 18).
FETCH = ["node", "-e", """const [url, token, path] = process.argv.slice(1);
if (typeof fetch != "function" || typeof ReadableStream != "function") process.exit(77);
const data = require("fs").readFileSync(path);
const body = new ReadableStream({start(c) { c.enqueue(data.subarray(0, 9)); c.enqueue(data.subarray(9)); c.close(); }});
fetch(url, {method: "POST", body, duplex: "half", headers: {"X-Tarn-Token": token}})
    .then(async reply => console.log(await reply.text(), reply.status));"""]
BIG = 18000  # readings in a batch of 2 MiB


class ClientCase(e2e.ServiceCase):
    def setUp(self):
        super().setUp()
        self.start("ingest_token=t")
        self.url = "http://127.0.0.1:%d/api/ingest" % self.port

    def curl(self, *options, url=None):
        return ["curl", "-sSv", "-w", " %{http_code}", "-H", "X-Tarn-Token: t", url or self.url, *options,
                "--data-binary"]

    # `command`, given the path of a file with a batch of `readings` readings
    # and one event of a type of its own (curl's option "@" + the path), must
    # print the 200 reply and `trace` on standard error, and store the batch.
    def assert_stored(self, client, command, readings=0, gzipped=False, trace=""):
        name, path = "%s-%s" % (client, e2e.RUN), os.path.join(self.service.work_dir, client)
        rows = ",".join('{"node_id":1,"meter_id":%d,"protocol":7,"volume_gal":5,"flow_gpm":1.25,"gateway_received_at"'
                        ':"2024-05-01T11:58:00Z"}' % i for i in range(1, readings + 1))
        body = '{"readings":[%s],"events":[{"event_type":"%s","gateway_received_at":"2024-05-01"}]}' % (rows, name)
        with open(path, "wb") as f:
            f.write(gzip.compress(body.encode()) if gzipped else body.encode())
        result = subprocess.run(command + [("@" if command[0] == "curl" else "") + path], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=120)
        if result.returncode == 77:
            self.skipTest(command[0] + " is too old")
        self.assertEqual(result.stdout.strip(), '{"ok":true,"clients_upserted":0,"readings_inserted":%d,'
                         '"events_inserted":1} 200' % readings, result.stderr[-2000:])
        self.assertIn(trace, result.stderr)
        self.assertEqual(self.stored(name), 1)


class Clients(ClientCase):
    def test_each_client_gets_its_batch_stored(self):
        for client, command, readings, gzipped, trace in (
                ("curl-chunked", self.curl("-H", "Transfer-Encoding: chunked"), 1, False, ""),
                # Before a body over 1 MiB curl sends "Expect: 100-continue",
                # and after 1 s without the 100 it sends the body anyway.
                ("curl-expect", self.curl(), BIG, False, "< HTTP/1.1 100 Continue"),
                ("curl-gzip", self.curl("-H", "Content-Encoding: gzip"), BIG, True, ""),
                ("requests", REQUESTS + [self.url, "t"], 1, False, ""),
                ("fetch", FETCH + [self.url, "t"], 1, False, "")):
            with self.subTest(client):
                if command[0] == "node" and not shutil.which("node"):
                    self.skipTest("node is not installed")
                self.assert_stored(client, command, readings, gzipped, trace)


class Tls(ClientCase):
    # Debian's nginx with a certificate made here, configured by the example
    # inside an http block of its own; curl verifies the certificate. A
    # 2 MiB chunked batch, sent after a 100 from nginx, passes its limit;
    # /metrics stays behind it.
    def test_curl_posts_a_batch_through_nginx_terminating_tls(self):
        folder, port = os.path.join(self.service.work_dir, "nginx"), load.free_port()
        cert = os.path.join(folder, "crt")
        os.makedirs(folder)
        load.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days",
                  "1", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                  cert + ".key", "-out", cert])
        server = load.read_text(os.path.join(load.root, "examples", "nginx-tls.conf"))
        for old, new in (("listen 443", "listen 127.0.0.1:%d" % port), ("127.0.0.1:41290", "127.0.0.1:%d" % self.port),
                         ("/etc/ssl/certs/tarn-ingest.pem", cert), ("/etc/ssl/private/tarn-ingest.key", cert + ".key")):
            self.assertIn(old, server)
            server = server.replace(old, new)
        # Relative paths are in the folder; as root, workers that stay root can reach it.
        temp = "".join("%s_temp_path %s;\n" % (t, t) for t in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(os.path.join(folder, "nginx.conf"), "w") as f:
            f.write(("user root;\n" if os.getuid() == 0 else "") + "daemon off;\npid pid;\nevents {}\n"
                    "http {\naccess_log off;\n" + temp + server + "}\n")
        nginx = subprocess.Popen(["nginx", "-p", folder, "-c", os.path.join(folder, "nginx.conf"), "-e", "error.log"],
                                 stdin=subprocess.DEVNULL)
        self.addCleanup(nginx.wait)
        self.addCleanup(nginx.terminate)
        while not os.path.exists(os.path.join(folder, "pid")) and nginx.poll() is None:  # written once it listens
            time.sleep(0.05)
        self.assertIsNone(nginx.poll(), load.read_text(os.path.join(folder, "error.log")))
        url = "https://127.0.0.1:%d/api/ingest" % port
        self.assertEqual(e2e.run("curl", "-sS", "--cacert", cert, "-o/dev/null", "-w%{http_code}",
                                 url.replace("api/ingest", "metrics")), "0 404|")
        self.assert_stored("tls", self.curl("--cacert", cert, "-H", "Transfer-Encoding: chunked", url=url), BIG,
                           trace="< HTTP/1.1 100 Continue")


if __name__ == "__main__":
    unittest.main(verbosity=2)
