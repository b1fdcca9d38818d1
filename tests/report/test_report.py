#!/usr/bin/env python3
"""The visual report in a real browser (Debian's headless chromium).

Four pairs of the sample photographs (one of them a dark photograph against
itself with one black pixel), with distances: every chart and thumbnail
rendered, no console error, the table's columns all within 1280 pixels, its
filters, the study drawn with a working link for each point and readable in
a body 390 pixels wide, each chart's axis holding 99.9 % of both images'
values with the share outside written, the lightness image stretched to its
printed range, each photograph's facts, and every coefficient and distance
recomputed from the page's own data equal to the table.

Then a study of 200 pairs made from the samples (each photograph against
eight edits of itself, edits against each other and other photographs, under
long absolute paths): the report weighs at most 2.5 MB, opens in under 3 s,
shows every column at 1280 pixels, and its study links every point.

Screenshots at 1280 and 390 pixels wide are left in the work directory
(printed at the end); SCREENSHOT, when given, receives the study's at 1280.

Usage: test_report.py COMPARE_PAIRS SAMPLES_DIR [SCREENSHOT]
"""
import csv
import html.parser
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image, ImageEnhance, ImageFilter

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]
KEYS = ("Q", "J", "C", "M", "s", "L", "a", "b")
AXIS_SHARE = 0.999        # the share of each image's values an axis holds
MIN_AXIS_BINS = 10
MAX_WEIGHT = 2_500_000    # bytes, for 200 pairs
MAX_OPENING_MS = 3000
MIN_TEXT_PX = 9           # the study's smallest text in a body 390 pixels wide


def fail(message):
    print("test_report: " + message, file=sys.stderr)
    sys.exit(1)


def chromium(args, profile):
    return subprocess.run(["chromium"] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile] + args,
                          capture_output=True, text=True, timeout=180)


def selfcheck(index, profile, query="selfcheck", settle=True):
    """The page's own summary, from a window 1280 pixels wide, and the
    console messages."""
    args = ["--enable-logging=stderr", "--v=0", "--window-size=1280,1000", "--dump-dom"]
    if settle:
        args.insert(0, "--virtual-time-budget=10000")
    dom = chromium(args + ["file://" + index + "?" + query], profile)
    found = re.search(r'<pre id="selfcheck">([^<]*)</pre>', dom.stdout)
    if not found:
        fail("the page's check did not run (%s); chromium said: %s" % (query, dom.stderr[-2000:]))
    console = [line for line in dom.stderr.splitlines() if "CONSOLE" in line or "Uncaught" in line]
    return json.loads(found.group(1).replace("&quot;", '"')), console


def screenshot(index, profile, width, name):
    shot = chromium(["--window-size=%d,%d" % (width, 1000 if width > 500 else 844), "--hide-scrollbars",
                     "--screenshot=" + name, "file://" + index], profile)
    if not os.path.exists(name) or os.path.getsize(name) < 10000:
        fail("no screenshot at %d px: %s" % (width, shot.stderr[-1000:]))


def parse_counts(text):
    """A chart's counts: "bin:count" starts at a bin, "count" is the next bin's."""
    counts, bin_ = {}, 0
    for token in text.split():
        if ":" in token:
            bin_, token = token.split(":")
            bin_ = int(bin_)
        else:
            bin_ += 1
        counts[bin_] = int(token)
    return counts


def coefficient(first, second, totals):
    """The Bhattacharyya coefficient as the programs compute it, in float32."""
    total = np.float32(0)
    t1, t2 = np.float32(totals[0]), np.float32(totals[1])
    for bin_ in sorted(set(first) & set(second)):
        p = np.float32(first[bin_]) / t1
        q = np.float32(second[bin_]) / t2
        total = np.float32(total + np.sqrt(np.float32(p * q)))
    return total


def distance(first, second):
    """The earth mover's distance between two histograms of unit bins: the
    sum of the gaps between their cumulative shares."""
    n1, n2 = sum(first.values()), sum(second.values())
    bins = range(min(min(first), min(second)), max(max(first), max(second)) + 1)
    c1 = c2 = gap = 0
    for bin_ in bins:
        c1 += first.get(bin_, 0)
        c2 += second.get(bin_, 0)
        gap += abs(c1 * n2 - c2 * n1)
    return gap / (n1 * n2)


class Page(html.parser.HTMLParser):
    """The charts of each section and the notes under its lightness image."""

    def __init__(self):
        super().__init__()
        self.sections, self.lightness, self.current, self.svg = {}, {}, None, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "section":
            self.current = int(attrs["id"].split("-")[1])
            self.sections[self.current] = {}
        elif tag == "svg" and "data-key" in attrs and "data-total" in attrs:
            self.svg = {"first": parse_counts(attrs["data-first"]),
                        "second": parse_counts(attrs["data-second"]),
                        "totals": [int(t) for t in attrs["data-total"].split()],
                        "axis": [int(a) for a in attrs["data-axis"].split()],
                        "outside": [float(o) for o in attrs["data-outside"].split()], "text": ""}
            self.sections[self.current][attrs["data-key"]] = self.svg
        elif tag == "img" and attrs["src"].endswith("-lightness.jpg"):
            self.lightness[self.current] = [attrs["src"]]
        elif tag == "p" and "data-range" in attrs:
            self.lightness[self.current] += [int(v) for v in attrs["data-range"].split()]

    def handle_endtag(self, tag):
        if tag == "svg":
            self.svg = None

    def handle_data(self, data):
        if self.svg is not None:
            self.svg["text"] += data


def check_axis(line, key, chart):
    lo, hi = chart["axis"]
    if hi - lo + 1 < MIN_AXIS_BINS:
        fail("line %d %s: the axis %d..%d is narrower than %d bins" % (line, key, lo, hi, MIN_AXIS_BINS))
    for side, total, shown in zip(("first", "second"), chart["totals"], chart["outside"]):
        counts = chart[side]
        outside = sum(c for b, c in counts.items() if b < lo or b > hi)
        # Each end leaves out at most half of the tenth of a percent.
        if outside > (1 - AXIS_SHARE) * sum(counts.values()) + 1e-9:
            fail("line %d %s: the axis %d..%d leaves out %d of the %s image's values"
                 % (line, key, lo, hi, outside, side))
        if not math.isclose(outside / total, shown, rel_tol=1e-5, abs_tol=1e-12):
            fail("line %d %s: %s share outside written as %g, is %g" % (line, key, side, shown, outside / total))
    if any(chart["outside"]) != ("outside the axis" in chart["text"]):
        fail("line %d %s: the share outside the axis is %s on the chart" %
             (line, key, "not written" if any(chart["outside"]) else "written for nothing"))


def sample_pairs(samples, work):
    """Three sample pairs and a dark photograph against itself with one black
    pixel, the case whose brightness axis once ran from 0 to 223."""
    coffee = np.asarray(Image.open(os.path.join(samples, "coffee.png")).convert("RGB"))
    dark = (coffee // 2).astype(np.uint8)
    Image.fromarray(dark).save(os.path.join(work, "dark.png"))
    dark[0, 0] = 0
    Image.fromarray(dark).save(os.path.join(work, "dark-black.png"))
    pairs = [(os.path.join(samples, a), os.path.join(samples, b)) for a, b in
             (("chelsea.png", "coffee.png"), ("coffee.png", "rocket.jpg"), ("rocket.jpg", "rocket.jpg"))]
    return pairs + [(os.path.join(work, "dark.png"), os.path.join(work, "dark-black.png"))]


EDITS = {
    "times-1.02": lambda im: Image.fromarray(np.clip(np.asarray(im, float) * 1.02 + 0.5, 0, 255).astype(np.uint8)),
    "saturation-plus-20": lambda im: ImageEnhance.Color(im).enhance(1.2),
    "darker": lambda im: ImageEnhance.Brightness(im).enhance(0.8),
    "brighter": lambda im: ImageEnhance.Brightness(im).enhance(1.15),
    "contrast": lambda im: ImageEnhance.Contrast(im).enhance(1.15),
    "blurred": lambda im: im.filter(ImageFilter.GaussianBlur(2)),
    "greyer": lambda im: ImageEnhance.Color(im).enhance(0.6),
    "warmer": lambda im: Image.merge("RGB", [c.point(lambda v, f=f: min(255, int(v * f)))
                                             for c, f in zip(im.split(), (1.06, 1.0, 0.92))]),
}


def study_pairs(samples, root):
    """200 pairs of JPEG photographs: each sample against its eight edits,
    the edits of each against each other, and other photographs."""
    versions = {}
    for name in ("chelsea.png", "coffee.png", "rocket.jpg", "flash.png", "noflash.png"):
        image = Image.open(os.path.join(samples, name)).convert("RGB")
        folder = os.path.join(root, "photographs", os.path.splitext(name)[0])
        os.makedirs(folder)
        versions[name] = [os.path.join(folder, "original.jpg")]
        image.save(versions[name][0], quality=92)
        for edit, make in EDITS.items():
            versions[name].append(os.path.join(folder, "edited-" + edit + ".jpg"))
            make(image).save(versions[name][-1], quality=92)
    names = list(versions)
    pairs = [(v[0], e) for v in versions.values() for e in v[1:]]
    pairs += [(v[i], v[j]) for v in versions.values() for i in range(1, 9) for j in range(i + 1, 9)]
    k = 0
    while len(pairs) < 200:
        pairs.append((versions[names[k % 5]][k % 9], versions[names[(k + 1 + k // 5) % 5]][(3 * k) % 9]))
        k += 1
    return pairs[:200]


def run_report(compare_pairs, work, name, pairs):
    listed = os.path.join(work, name + ".txt")
    with open(listed, "w") as out:
        for a, b in pairs:
            out.write(a + "\t" + b + "\n")
    report, table = os.path.join(work, name), os.path.join(work, name + ".csv")
    run = subprocess.run([compare_pairs, "--metrics", "perceptual,lab,distance", "--report", report,
                          "--out", table, listed], capture_output=True, text=True)
    if run.returncode != 0:
        fail("compare-pairs failed: " + run.stderr)
    with open(table) as rows:
        return os.path.join(report, "index.html"), list(csv.DictReader(rows))


def check_samples(compare_pairs, samples, work, profile):
    index, rows = run_report(compare_pairs, work, "samples", sample_pairs(samples, work))
    pairs = len(rows)
    check, console = selfcheck(index, profile)
    expected = {"charts": 8 * pairs, "empty": 0, "paths": 16 * pairs, "images": 4 * pairs, "broken": 0,
                "errors": [], "hidden": [], "scrolls": False, "shown": pairs}
    if console or any(check[k] != v for k, v in expected.items()):
        fail("rendered page: %s, console: %s" % (check, console))
    # Fifteen distributions (seven coefficients, eight distances), the 21
    # panels of the scatter matrix, each point a link to a section here.
    study = check["study"]
    if (study["distributions"], study["scatter"], study["links"], study["dead"]) != (15, 1, 36 * pairs, 0):
        fail("the study: %s" % study)
    narrow, _ = selfcheck(index, profile, "selfcheck&width=390")
    if narrow["study"]["overflows"] or narrow["study"]["smallestText"] < MIN_TEXT_PX:
        fail("the study in a body 390 pixels wide: %s" % narrow["study"])
    for query, shown in (("path=rocket", 2), ("path=ROCKET.JPG", 2), ("status=failed", 0),
                         ("path=dark&status=ok", 1)):
        filtered, _ = selfcheck(index, profile, "selfcheck&" + query)
        if filtered["shown"] != shown:
            fail("filtered by %s: %d rows shown, not %d" % (query, filtered["shown"], shown))

    page = Page()
    page.feed(open(index).read())
    for line, row in enumerate(rows, start=1):
        charts = page.sections[line]
        for key in KEYS:
            chart = charts[key]
            found = coefficient(chart["first"], chart["second"], chart["totals"])
            if "%g" % found != row[key]:
                fail("line %d: %s from the report's data is %g, the table says %s" % (line, key, found, row[key]))
            moved = distance(chart["first"], chart["second"])
            if not math.isclose(moved, float(row[key + "_distance"]), rel_tol=1e-5, abs_tol=1e-9):
                fail("line %d: %s distance from the report's data is %g, the table says %s"
                     % (line, key, moved, row[key + "_distance"]))
            check_axis(line, key, chart)
        ab = (float(np.float32(coefficient(charts["a"]["first"], charts["a"]["second"], charts["a"]["totals"])
                               + coefficient(charts["b"]["first"], charts["b"]["second"], charts["b"]["totals"])))) / 2.0
        if "%g" % ab != row["ab"]:
            fail("line %d: ab from the report's data is %g, the table says %s" % (line, ab, row["ab"]))
        # The lightness image is stretched from the range printed under it.
        source, low, high = page.lightness[line]
        pixels = np.asarray(Image.open(os.path.join(os.path.dirname(index), source)))
        # (Averaged into a thumbnail, its darkest few pixels need not stay black.)
        spread = int(pixels.max()) - int(pixels.min())
        if not 0 <= low <= high <= 255 or (high > low and (pixels.max() < 235 or spread < min(64, 4 * (high - low)))):
            fail("line %d: the lightness image, of %d to %d, spans %d to %d as shown"
                 % (line, low, high, pixels.min(), pixels.max()))
    # Black pixels, two of 240,000, are left off the brightness axis, and said so.
    dark = page.sections[4]["Q"]
    if min(dark["second"]) >= dark["axis"][0] or "second < 0.01%" not in dark["text"]:
        fail("the dark pair's brightness axis %s takes in the black pixels" % dark["axis"])
    text = open(index).read()
    if text.count('<dl class="facts">') != 2 * pairs or "<dd>Adobe RGB (1998)</dd>" not in text:
        fail("the report does not show each photograph's facts, rocket.jpg's profile among them")
    screenshot(index, profile, 1280, os.path.join(work, "samples-1280.png"))
    screenshot(index, profile, 390, os.path.join(work, "samples-390.png"))
    return pairs


def check_study(compare_pairs, samples, work, profile, shot):
    root = os.path.join(work, "a", "study", "with", "long", "absolute", "paths")
    index, rows = run_report(compare_pairs, work, "study", study_pairs(samples, root))
    folder = os.path.dirname(index)
    weight = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(folder) for f in files)
    if len(rows) != 200 or weight > MAX_WEIGHT:
        fail("the report of %d pairs weighs %d bytes, above %d" % (len(rows), weight, MAX_WEIGHT))
    # Opened as a reader opens it, the best of up to five (the machine may be busy).
    opening = []
    while len(opening) < 5 and min(opening, default=MAX_OPENING_MS) >= MAX_OPENING_MS:
        check, console = selfcheck(index, profile, "selfcheck=lazy", settle=False)
        if console or check["errors"] or check["hidden"] or check["scrolls"] or check["study"]["dead"] \
                or check["study"]["links"] != 7200:
            fail("the study's page: %s, console: %s" % (check, console))
        opening.append(check["timing"]["loaded"])
    if min(opening) >= MAX_OPENING_MS:
        fail("the report of 200 pairs takes %d ms to open" % min(opening))
    screenshot(index, profile, 1280, shot or os.path.join(work, "study-1280.png"))
    screenshot(index, profile, 390, os.path.join(work, "study-390.png"))
    return weight, min(opening)


def main():
    compare_pairs, samples = sys.argv[1], os.path.abspath(sys.argv[2])
    shot = os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else None
    work = tempfile.mkdtemp(prefix="toolkit-report-")
    profile = os.path.join(work, "profile")
    pairs = check_samples(compare_pairs, samples, work, profile)
    weight, opening = check_study(compare_pairs, samples, work, profile, shot)
    shutil.rmtree(profile, ignore_errors=True)
    print("test_report: %d sample pairs: %d charts rendered on axes of 99.9%% of the pixels, thumbnails "
          "loaded, no console error, every column within 1280 px, filters, the study linked and readable "
          "at 390 px, figures and distances recomputed from the report's data equal the table, facts "
          "shown; 200 pairs: %.2f MB, opened in %d ms; screenshots in %s" %
          (pairs, 8 * pairs, weight / 1e6, opening, work))


if __name__ == "__main__":
    main()
