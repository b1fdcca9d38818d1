#!/usr/bin/env python3
"""The visual report in a real browser: compare-pairs --report on three sample
pairs, loaded by Debian's headless chromium, which must render every chart
with geometry and load every thumbnail without a console error; and the
coefficients recomputed from the report's own histogram data must equal the
printed figures.

Usage: test_report.py COMPARE_PAIRS SAMPLES_DIR [SCREENSHOT]
"""
import csv
import html.parser
import json
import os
import re
import subprocess
import sys
import tempfile

import numpy as np

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def fail(message):
    print("test_report: " + message, file=sys.stderr)
    sys.exit(1)


def chromium(args, profile):
    return subprocess.run(["chromium"] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile] + args,
                          capture_output=True, text=True, timeout=120)


def coefficient(first, second, totals):
    """The Bhattacharyya coefficient as the programs compute it, in float32."""
    total1, total2 = totals
    total = np.float32(0)
    t1, t2 = np.float32(total1), np.float32(total2)
    for bin_ in sorted(set(first) & set(second)):
        p = np.float32(first[bin_]) / t1
        q = np.float32(second[bin_]) / t2
        total = np.float32(total + np.sqrt(np.float32(p * q)))
    return total


class Charts(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.sections = {}
        self.current = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "section":
            self.current = int(attrs["id"].split("-")[1])
            self.sections[self.current] = {}
        elif tag == "svg" and "data-key" in attrs:
            def counts(text):
                return {int(b): int(c) for b, c in (item.split(":") for item in text.split())}
            totals = [int(t) for t in attrs["data-total"].split()]
            self.sections[self.current][attrs["data-key"]] = (
                counts(attrs["data-first"]), counts(attrs["data-second"]), totals)


def main():
    compare_pairs, samples = sys.argv[1], sys.argv[2]
    screenshot = sys.argv[3] if len(sys.argv) > 3 else None
    work = tempfile.mkdtemp(prefix="toolkit-report-")
    pairs = os.path.join(work, "pairs.txt")
    with open(pairs, "w") as out:
        for a, b in (("chelsea.png", "coffee.png"), ("coffee.png", "rocket.jpg"), ("rocket.jpg", "rocket.jpg")):
            out.write(os.path.join(samples, a) + "\t" + os.path.join(samples, b) + "\n")
    report = os.path.join(work, "report")
    run = subprocess.run([compare_pairs, "--report", report, "--out", os.path.join(work, "t.csv"), pairs],
                         capture_output=True, text=True)
    if run.returncode != 0:
        fail("compare-pairs failed: " + run.stderr)
    index = os.path.join(report, "index.html")
    profile = os.path.join(work, "profile")

    # Rendered: the page's own check, run once everything has loaded.
    dom = chromium(["--enable-logging=stderr", "--v=0", "--virtual-time-budget=5000", "--dump-dom",
                    "file://" + index + "?selfcheck"], profile)
    found = re.search(r'<pre id="selfcheck">([^<]*)</pre>', dom.stdout)
    if not found:
        fail("the page's check did not run; chromium said: " + dom.stderr[-2000:])
    check = json.loads(found.group(1).replace("&quot;", '"'))
    if check != {"charts": 24, "empty": 0, "paths": 48, "images": 12, "broken": 0, "errors": []}:
        fail("rendered page: %s" % check)
    console = [line for line in dom.stderr.splitlines() if "CONSOLE" in line or "Uncaught" in line]
    if console:
        fail("console messages: %s" % console)

    # A screenshot at desktop and at phone width.
    for width, height, name in ((1280, 1000, screenshot or os.path.join(work, "desktop.png")),
                                (390, 844, os.path.join(work, "phone.png"))):
        shot = chromium(["--window-size=%d,%d" % (width, height), "--hide-scrollbars",
                         "--screenshot=" + name, "file://" + index], profile)
        if not os.path.exists(name) or os.path.getsize(name) < 10000:
            fail("no screenshot at %d px: %s" % (width, shot.stderr[-1000:]))

    # The charts' data give the printed figures.
    parser = Charts()
    parser.feed(open(index).read())
    with open(os.path.join(work, "t.csv")) as table:
        rows = list(csv.DictReader(table))
    for line, row in enumerate(rows, start=1):
        charts = parser.sections[line]
        for key in ("Q", "J", "C", "M", "s", "L", "a", "b"):
            if "%g" % coefficient(*charts[key]) != row[key]:
                fail("line %d: %s from the report's data is %g, the table says %s"
                     % (line, key, coefficient(*charts[key]), row[key]))
        ab = (float(np.float32(coefficient(*charts["a"]) + coefficient(*charts["b"])))) / 2.0
        if "%g" % ab != row["ab"]:
            fail("line %d: ab from the report's data is %g, the table says %s" % (line, ab, row["ab"]))
    page = open(index).read()
    if page.count('<dl class="facts">') != 6 or "<dd>Adobe RGB (1998)</dd>" not in page:
        fail("the report does not show each photograph's facts, rocket.jpg's profile among them")
    print("test_report: 3 pairs, 24 charts rendered, thumbnails loaded, no console error, "
          "figures recomputed from the report's data equal the table, facts shown")


if __name__ == "__main__":
    main()
