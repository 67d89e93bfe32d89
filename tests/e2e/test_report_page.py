"""The report's HTML page in a real browser: Debian's Chromium, headless, opens the page that
`brisca report --html` wrote from a day's log; it must render its three charts and fetch nothing
from outside the file. A control page that does fetch shows that the check would see it.
With BRISCA_SCREENSHOTS=DIR the screenshot is also copied to DIR/day-report.png."""

import glob
import http.server
import json
import os
import shutil
import subprocess
import sys
import threading

from harness import BRISCA, GatewayTest, unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
import report_bench  # noqa: E402  (writes a day in the program's log format)

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--hide-scrollbars", "--enable-logging=stderr", "--v=0",
         "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1"]


class Recorder(http.server.BaseHTTPRequestHandler):
    """A local server that notes every path asked of it."""
    seen = []

    def do_GET(self):
        Recorder.seen.append(self.path)
        self.send_response(404)
        self.end_headers()

    def log_message(self, *args):
        pass


class ReportPageTest(GatewayTest):

    def chromium(self, page, *args):
        """Runs Chromium on the page with a fresh profile and a net log; returns (stdout,
        stderr, the URLs the net log saw requested)."""
        self.assertIsNotNone(CHROMIUM, "chromium is not installed (./dev installs it)")
        profile = os.path.join(self.root, "profile-%d" % len(glob.glob(os.path.join(self.root, "profile-*"))))
        netlog = profile + ".netlog.json"
        done = subprocess.run([CHROMIUM] + FLAGS + ["--user-data-dir=" + profile, "--log-net-log=" + netlog]
                              + list(args) + ["file://" + page],
                              capture_output=True, timeout=90, env=dict(self.env, HOME=self.home))
        self.assertEqual(done.returncode, 0, done.stderr.decode("utf-8", "replace")[-3000:])
        with open(netlog, encoding="utf-8", errors="replace") as f:
            text = f.read()
        try:
            log = json.loads(text)
        except ValueError:  # a net log cut at its end: its events up to there
            log = json.loads(text.rsplit("},", 1)[0] + "}]}")
        start_job = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
        # The page's own requests: those made for the file:// site (Chromium's own background
        # requests belong to no page and are kept off the network by the resolver rule).
        urls = sorted({e["params"]["url"] for e in log["events"]
                       if e["type"] == start_job and "file://" in e.get("params", {}).get("network_isolation_key", "")})
        return done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace"), urls

    def test_page_renders_its_charts_and_fetches_nothing(self):
        folder = os.path.join(self.root, "gate_log")
        os.mkdir(folder)
        report_bench.write_day(os.path.join(folder, "brisca20261207.log"), 2)
        page = os.path.join(self.root, "day.html")
        done = subprocess.run([BRISCA, "report", "2026-12-07", "--folder", folder, "--html", page],
                              capture_output=True, timeout=30, env=self.env)
        self.assertEqual(done.returncode, 0, done.stderr)

        dom, err, urls = self.chromium(page, "--dump-dom")
        self.assertEqual(urls, [], err[-3000:])
        self.assertNotRegex(err, r"Content Security Policy|Refused to", "the page tried to load something")
        # The charts are in the rendered document: bars per hour, answer-time points, timeline.
        self.assertEqual(dom.count("<svg"), 3, dom[:2000])
        self.assertGreater(dom.count('class="bar"'), 24)
        self.assertGreater(dom.count('class="point"'), 100)
        self.assertIn('class="away"', dom)
        self.assertRegex(dom, r'<b id="connections">\d{3,}</b>')

        shot = os.path.join(self.root, "day-report.png")
        _, err, urls = self.chromium(page, "--window-size=1040,1900", "--screenshot=" + shot)
        self.assertEqual(urls, [], err[-3000:])
        # The bars were painted: the answered green and the time-out yellow are on the picture.
        colours = subprocess.run(["convert", shot, "-format", "%c", "histogram:info:-"],
                                 capture_output=True, timeout=60).stdout.decode()
        for colour in ("#2E7D32", "#F9A825", "#E53935"):
            self.assertRegex(colours, r"(\d{3,}): \([^)]*\) %s" % colour, colour)
        if os.environ.get("BRISCA_SCREENSHOTS"):
            shutil.copy(shot, os.path.join(os.environ["BRISCA_SCREENSHOTS"], "day-report.png"))

        # The control: a page that loads an image from a local server is seen doing so, and the
        # same page under the report's Content-Security-Policy is refused and says so.
        server = http.server.HTTPServer(("127.0.0.1", 0), Recorder)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        url = "http://127.0.0.1:%d/pixel.png" % server.server_port
        fetching = os.path.join(self.root, "fetching.html")
        with open(fetching, "w") as f:
            f.write('<!DOCTYPE html><html><body><img src="%s"></body></html>' % url)
        _, err, urls = self.chromium(fetching, "--dump-dom")
        self.assertIn(url, urls)
        self.assertIn("/pixel.png", Recorder.seen)
        with open(page, encoding="utf-8") as f:
            html = f.read()
        blocked = os.path.join(self.root, "blocked.html")
        with open(blocked, "w", encoding="utf-8") as f:
            f.write(html.replace("</body>", '<img src="%s?csp"></body>' % url))
        _, err, urls = self.chromium(blocked, "--dump-dom")
        self.assertNotIn("/pixel.png?csp", Recorder.seen)
        self.assertEqual(urls, [])
        self.assertRegex(err, r"Content Security Policy")


if __name__ == "__main__":
    unittest.main()
