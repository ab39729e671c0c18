#!/usr/bin/python3
"""Orients a large batch of images with collinear, spread over a Dask cluster.

By default the images are synthetic: each looks from a random pose at a
random field of control points, seen by one known camera, with 0.3 px of
noise on every image point. Dask splits the batch into chunks of a few
hundred images; each chunk makes its images on the worker from the batch
seed (nothing but a few numbers travels to the workers), resects every image
with collinear.resect and sends back the error of each projection centre
against the true one. The script prints the throughput and the failures.

    python3 examples/python/batch_orient.py                # local cluster
    python3 examples/python/batch_orient.py --workers 2 --images 2000
    python3 examples/python/batch_orient.py --scheduler tcp://host:8786

Without --scheduler a dask.distributed LocalCluster of --workers processes
(one thread each) runs on this machine; with it, the script uses the cluster
of that scheduler (docs/python-cluster.md says how to start one).
Exit status: 0 when every image oriented within --max-centre-error, 1 when
any failed, 2 for bad options or workers without collinear.
"""

import argparse
import json
import sys
import time

import numpy as np

# The camera of every synthetic image, in pixels: a picture of 4000 x 3000
# pixels (origin at its top-left corner, x right, y down), principal
# distance 1500 px (a wide angle), principal point near the centre.
FOCAL_PX = 1500.0
PRINCIPAL_PX = (2011.3, 1493.8)
NOISE_PX = 0.3

FIELD_M = 200.0  # control points in a 200 x 200 x 30 m box about the origin
RELIEF_M = 30.0
HEIGHT_M = (150.0, 250.0)  # range of camera heights above the field base


def look_at(centre, target, roll):
    """Rotation from object axes (z up) to camera axes that looks from centre
    at target: camera x horizontal, then turned by roll about the view."""
    view = target - centre
    view = view / np.linalg.norm(view)
    x = np.cross(view, [0.0, 0.0, 1.0])
    x /= np.linalg.norm(x)
    z = -view  # the camera looks along its -z axis
    y = np.cross(z, x)
    c, s = np.cos(roll), np.sin(roll)
    turn = np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])
    return turn @ np.vstack([x, y, z])


def project(points, centre, rotation):
    """Pixels of object points: camera coordinates c = R (P - C), photo
    coordinates x = -f cx / cz, y = -f cy / cz (y up, about the principal
    point), then pixels with y down from the top-left corner."""
    cam = (points - centre) @ rotation.T
    x = -FOCAL_PX * cam[:, 0] / cam[:, 2]
    y = -FOCAL_PX * cam[:, 1] / cam[:, 2]
    return np.column_stack([PRINCIPAL_PX[0] + x, PRINCIPAL_PX[1] - y])


def synthetic_image(seed, index, n_points):
    """Control points, their noisy pixels and the true centre of image
    `index`; the same for the same (seed, index) wherever it runs."""
    rng = np.random.default_rng([seed, index])
    half = FIELD_M / 2
    obj = rng.uniform([-half, -half, 0.0], [half, half, RELIEF_M], (n_points, 3))
    centre = np.array([*rng.uniform(-half / 2, half / 2, 2), rng.uniform(*HEIGHT_M)])
    target = np.array([*rng.uniform(-half / 4, half / 4, 2), RELIEF_M / 2])
    rotation = look_at(centre, target, rng.uniform(-np.pi, np.pi))
    img = project(obj, centre, rotation) + rng.normal(0.0, NOISE_PX, (n_points, 2))
    return obj, img, centre


def orient_chunk(seed, first, count, n_points, max_error_m):
    """Makes and resects images first .. first + count - 1 on the worker.
    Returns their centre errors (metres; NaN where it failed), the failures
    as (image, reason) and the count of verdicts "look"."""
    import collinear  # imported on the worker

    errors = np.full(count, np.nan)
    failures, look = [], 0
    for k in range(count):
        index = first + k
        obj, img, centre = synthetic_image(seed, index, n_points)
        try:
            r = collinear.resect(obj, img, FOCAL_PX, PRINCIPAL_PX)
        except ValueError as e:
            failures.append((index, f"bad input: {e}"))
            continue
        if not r.converged or r.verdict == "unusable":
            why = r.message or "; ".join(r.reasons) or "no reason given"
            failures.append((index, f"resection failed: {why}"))
            continue
        look += r.verdict == "look"
        errors[k] = np.linalg.norm(r.centre - centre)
        if not errors[k] <= max_error_m:
            failures.append(
                (index, f"centre {errors[k]:.3f} m from the true one "
                        f"(more than {max_error_m} m)")
            )
    return errors, failures, look


def load_collinear():
    import collinear  # noqa: F401  (fails here when a worker lacks it)


def positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


def main(argv=None):
    ap = argparse.ArgumentParser(
        description="Orient a batch of synthetic images on a Dask cluster.")
    ap.add_argument("--images", type=positive_int, default=10000,
                    help="number of images (default 10000)")
    ap.add_argument("--points", type=positive_int, default=20,
                    help="control points per image, at least 6 (default 20)")
    ap.add_argument("--chunk", type=positive_int, default=250,
                    help="images per Dask task (default 250)")
    ap.add_argument("--workers", type=positive_int, default=2,
                    help="processes of the local cluster (default 2)")
    ap.add_argument("--scheduler", metavar="ADDRESS",
                    help="use the cluster of this scheduler, e.g. "
                         "tcp://host:8786, instead of a local one")
    ap.add_argument("--seed", type=int, default=1, help="batch seed")
    ap.add_argument("--max-centre-error", type=float, default=2.0,
                    metavar="M", help="largest centre error counted as "
                    "oriented, metres (default 2.0; the noise gives about "
                    "0.1 m)")
    ap.add_argument("--json", action="store_true",
                    help="print the summary as one JSON object")
    args = ap.parse_args(argv)
    if args.points < 6:
        ap.error("--points must be at least 6: the synthetic control fields "
                 "are spatial and a spatial start needs 6 points")

    from dask.distributed import Client, LocalCluster, as_completed

    t_start = time.perf_counter()
    if args.scheduler:
        cluster = None
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                               processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        # Part of the start-up, not of the throughput: every worker loads
        # collinear once before the clock starts.
        try:
            client.run(load_collinear)
        except ImportError as e:
            print(f"batch_orient: a worker cannot import collinear ({e}): "
                  "install the package for every worker's interpreter "
                  "(docs/python-cluster.md)", file=sys.stderr)
            return 2
        workers = len(client.scheduler_info()["workers"])
        t_ready = time.perf_counter()

        starts = range(0, args.images, args.chunk)
        futures = [
            client.submit(orient_chunk, args.seed, s,
                          min(args.chunk, args.images - s), args.points,
                          args.max_centre_error, pure=False)
            for s in starts
        ]
        errors, failures, look = [], [], 0
        for future in as_completed(futures):
            e, f, n = future.result()
            errors.append(e)
            failures += f
            look += n
        elapsed = time.perf_counter() - t_ready
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    errors = np.concatenate(errors)
    ok = errors[np.isfinite(errors)]
    failures.sort()
    summary = {
        "images": args.images,
        "points": args.points,
        "workers": workers,
        "startup_s": t_ready - t_start,
        "seconds": elapsed,
        "images_per_s": args.images / elapsed,
        "failures": len(failures),
        "first_failures": failures[:5],
        "look": look,
        "centre_error_median_m": float(np.median(ok)) if ok.size else None,
        "centre_error_max_m": float(ok.max()) if ok.size else None,
    }
    if args.json:
        print(json.dumps(summary))
    else:
        print(f"{args.images} images of {args.points} control points on "
              f"{workers} worker(s): {elapsed:.2f} s, "
              f"{summary['images_per_s']:.0f} images/s "
              f"(cluster start-up of {summary['startup_s']:.1f} s not counted)")
        if ok.size:
            print(f"centre error: median {summary['centre_error_median_m']:.3f}"
                  f" m, largest {summary['centre_error_max_m']:.3f} m; "
                  f"verdict \"look\" for {look} image(s)")
        print(f"failures: {len(failures)}")
        for index, why in failures[:5]:
            print(f"  image {index}: {why}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
