#!/usr/bin/env python3
"""Compares every pair of photographs in a folder by the five appearance
coefficients of perceptual-metrics and draws them as heat maps.

    python3 examples/compare_folder.py FOLDER [--out heatmap.png] [--csv table.csv]

Needs the photocolour module on the path (build/python after `make build`,
or installed) and matplotlib.
"""
import argparse
import csv
import itertools
import os
import sys

import matplotlib

matplotlib.use(os.environ.get("MPLBACKEND", "Agg"))
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import photocolour as pc  # noqa: E402

EXTENSIONS = (".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp")
NAMES = ("Q", "J", "C", "M", "s")
TITLES = ("brightness Q", "lightness J", "chroma C", "colourfulness M", "saturation s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--out", default="heatmap.png", help="the figure (default heatmap.png)")
    parser.add_argument("--csv", help="also write the figures of every ordered pair to this table")
    args = parser.parse_args()

    names = sorted(n for n in os.listdir(args.folder) if n.lower().endswith(EXTENSIONS))
    images = {}
    for name in names:
        try:
            images[name] = pc.read_image(os.path.join(args.folder, name))
        except ValueError as error:
            print(f"compare_folder: skipping {name}: {error}", file=sys.stderr)
    names = [n for n in names if n in images]
    if len(names) < 2:
        sys.exit("compare_folder: fewer than two readable photographs in " + args.folder)

    figures = np.zeros((len(NAMES), len(names), len(names)))
    rows = []
    for (i, first), (j, second) in itertools.product(enumerate(names), repeat=2):
        result = pc.perceptual_metrics(images[first], images[second])
        figures[:, i, j] = result
        rows.append((first, second) + tuple("%g" % v for v in result))

    fig, axes = plt.subplots(1, len(NAMES), figsize=(4 * len(NAMES), 4), constrained_layout=True)
    for k, ax in enumerate(axes):
        shown = ax.imshow(figures[k], vmin=0, vmax=1, cmap="viridis")
        ax.set_title(TITLES[k])
        ax.set_xticks(range(len(names)), names, rotation=90)
        ax.set_yticks(range(len(names)), names if k == 0 else [])
    fig.colorbar(shown, ax=axes, shrink=0.8, label="Bhattacharyya coefficient (1 = identical)")
    fig.savefig(args.out, dpi=100)

    if args.csv:
        with open(args.csv, "w", newline="") as table:
            writer = csv.writer(table, lineterminator="\n")
            writer.writerow(("first", "second") + NAMES)
            writer.writerows(rows)
    print(f"compare_folder: {len(names)} photographs, {len(rows)} pairs; figure in {args.out}")


if __name__ == "__main__":
    main()
