#!/usr/bin/env python3
"""Calibrates a camera from the heikkila-3d control points with the Python
package collinear: the spatial DLT with self-calibration of radial and
decentring distortion, as `collinear calibrate examples/heikkila-3d/points.txt
--model k1k2p1p2 --image-size 768,576` does. Prints the camera and its
verdict; saves the residual vectors as a picture (calibrate-residuals.png)
when matplotlib is installed.

    python3 examples/python/calibrate.py [POINTS] [--plot FILE]

Exit code 1 when the calibration is unusable, as the tool's.
"""

import argparse
import os
import sys

import numpy as np

import collinear

HERE = os.path.dirname(os.path.abspath(__file__))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "points",
        nargs="?",
        default=os.path.join(HERE, "..", "heikkila-3d", "points.txt"),
        help="control points: name X Y Z x y (pixels, origin top-left, y down)",
    )
    parser.add_argument("--model", default="k1k2p1p2", help="distortion model")
    parser.add_argument("--plot", default="calibrate-residuals.png")
    args = parser.parse_args()

    names, rows = collinear.read_points(args.points, 5)
    cal = collinear.calibrate(
        rows[:, :3], rows[:, 3:], names=names, model=args.model, image_size=(768, 576)
    )
    if not cal.converged:
        print(f"calibration failed: {cal.message}", file=sys.stderr)
        return 1
    view = cal.views[0]
    print(f"Camera ({cal.status}, {len(names)} control points), pixels:")
    print(f"  principal distance c  {cal.c:10.3f}  (cx {cal.cx:.3f}, cy {cal.cy:.3f})")
    x0, y0 = cal.principal_point
    print(f"  principal point       {x0:10.3f} {y0:10.3f}  (origin top-left, y down)")
    for name, value in zip(cal.distortion_names, cal.distortion):
        print(f"  {name:<20s} {value: .6e}")
    cx, cy, cz = view.centre
    print(f"  projection centre     {cx:10.3f} {cy:10.3f} {cz:10.3f}  (object units)")
    print(f"  RMS residual x, y     {cal.rms[0]:10.4f} {cal.rms[1]:10.4f}")
    print(f"Verdict: {cal.verdict}")
    for reason in cal.reasons:
        print(f"  - {reason}")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no residual plot")
    else:
        px = rows[:, 3:]
        scale = 500.0  # residuals of a few hundredths of a pixel made visible
        fig, ax = plt.subplots(figsize=(8, 6))
        ax.quiver(px[:, 0], px[:, 1], view.residuals[:, 0], view.residuals[:, 1],
                  angles="xy", scale_units="xy", scale=1.0 / scale, width=0.002)
        ax.set_xlim(0, 768)
        ax.set_ylim(576, 0)  # y down, as the picture
        ax.set_aspect("equal")
        ax.set_title(f"Residuals x {scale:g} (projected - measured), verdict {cal.verdict}")
        fig.savefig(args.plot, dpi=100)
        print(f"residual plot: {args.plot}")
    return 1 if cal.verdict == "unusable" else 0


if __name__ == "__main__":
    sys.exit(main())
