"""Photogrammetric computation: cameras, orientations and calibrations.

Two layers:

* the library's classes under their own names and fields (CXYZ, CWPK, CRot,
  CLeastSq, CDist, CHelmert, CSinOri, CDlt, CCrdCalculator, TAdjImage,
  ROT_SYSTEM, DIST_MODEL), as a C++ user knows them;
* functions on numpy arrays: object points as (n, 3) float64 arrays, image
  points as (n, 2) float64 arrays in pixels (origin at the top-left corner
  of the picture, x right, y down), names as a list of str. Each returns a
  result object with its verdict ("ok", "look" or "unusable") and reasons.

Units: object coordinates in the unit of the caller (metres, millimetres);
image coordinates and principal distances in pixels; angles in radians.
Rotations go from object axes to camera axes; the camera looks along its
-z axis, camera x right and y up (see docs/conventions.md).

Bad input (shapes, too few points, non-finite values) raises ValueError
with the message the command-line tool prints; an index outside an array of
the library raises IndexError. A computation that fails returns its result
with verdict "unusable" and the reason, no exception.
"""

from __future__ import annotations

import math
from typing import Optional, Sequence

import numpy as np

from . import _collinear
from ._collinear import (  # noqa: F401  (the library's classes)
    CDist,
    CDlt,
    CRot,
    CSinOri,
    CWPK,
    CXYZ,
    DIST_MODEL,
    ROT_SYSTEM,
)
from ._results import Resection

__all__ = [
    "CDist",
    "CDlt",
    "CRot",
    "CSinOri",
    "CWPK",
    "CXYZ",
    "DIST_MODEL",
    "ROT_SYSTEM",
    "Resection",
    "resect",
]


def _points(value: object, dims: int, what: str) -> np.ndarray:
    """value as a C-contiguous (n, dims) float64 array of finite numbers."""
    try:
        a = np.ascontiguousarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be numbers, an (n, {dims}) array") from None
    if a.ndim != 2 or a.shape[1] != dims:
        raise ValueError(
            f"{what} must be an (n, {dims}) array, not of shape {a.shape}"
        )
    bad = np.flatnonzero(~np.isfinite(a).all(axis=1))
    if bad.size:
        raise ValueError(f"{what} row {bad[0]} is not a finite number")
    return a


def _names(names: Optional[Sequence[str]], n: int) -> list:
    """The given names (unique, without blanks) or "1" ... "n"."""
    if names is None:
        return [str(i + 1) for i in range(n)]
    out = [str(s) for s in names]
    if len(out) != n:
        raise ValueError(f"{len(out)} names for {n} points")
    seen = set()
    for s in out:
        if not s or any(c.isspace() for c in s):
            raise ValueError(f"point name '{s}' is empty or holds white space")
        if s in seen:
            raise ValueError(f"point name '{s}' is given twice")
        seen.add(s)
    return out


def _finite(value: object, what: str, positive: bool = False) -> float:
    try:
        v = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a number") from None
    if not math.isfinite(v) or (positive and not v > 0):
        raise ValueError(
            f"{what} must be a positive finite number"
            if positive
            else f"{what} must be a finite number"
        )
    return v


def _pair(value: object, what: str, positive: bool = False) -> tuple:
    try:
        items = [float(v) for v in value]  # type: ignore[union-attr]
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be two numbers") from None
    if len(items) != 2:
        raise ValueError(f"{what} must be two numbers")
    return tuple(_finite(v, what, positive) for v in items)


def resect(
    object_points: object,
    image_points: object,
    focal: float,
    principal_point: Sequence[float],
    *,
    names: Optional[Sequence[str]] = None,
    distortion: Optional[CDist] = None,
    image_size: Optional[Sequence[float]] = None,
    image_sigma: float = 1.0,
) -> Resection:
    """Space resection: projection centre and rotation of one image.

    object_points: (n, 3) control points, object coordinates (any unit).
    image_points: (n, 2) their measured pixels (origin top-left, x right,
      y down), row i the image of object row i; n >= 4.
    focal: principal distance in pixels.
    principal_point: (x, y) in pixels, same frame.
    names: point names (default "1" ... "n"), used in the reasons.
    distortion: a CDist removed from the image points first: its correction
      is added to the measured point, in pixels about the principal point,
      x right, y up.
    image_size: (width, height) in pixels, when known: image points outside
      the picture are then bad input.
    image_sigma: a-priori standard deviation of one image coordinate in
      pixels, for the test of the residuals (0: no test).

    The start comes from the points themselves (a DLT with the given interior
    orientation for 6 or more points in space, the plane homography for
    points in or near a plane); the collinearity equations are then iterated
    to the least-squares pose. A resection that fails returns converged
    False and verdict "unusable" with the reason. The GIL is released while
    it computes.
    """
    obj = _points(object_points, 3, "object_points")
    img = _points(image_points, 2, "image_points")
    if obj.shape[0] != img.shape[0]:
        raise ValueError(
            f"object_points has {obj.shape[0]} rows and image_points "
            f"{img.shape[0]}: row i of both must be the same point"
        )
    if obj.shape[0] < 4:
        raise ValueError(
            f"{obj.shape[0]} control point(s) have both object and image "
            "coordinates; a resection needs at least 4"
        )
    f = _finite(focal, "focal", positive=True)
    ppx, ppy = _pair(principal_point, "principal_point")
    point_names = _names(names, obj.shape[0])
    if image_size is not None:
        w, h = _pair(image_size, "image_size", positive=True)
        outside = np.flatnonzero(
            (img[:, 0] < 0) | (img[:, 0] > w) | (img[:, 1] < 0) | (img[:, 1] > h)
        )
        if outside.size:
            i = outside[0]
            raise ValueError(
                f"image point '{point_names[i]}' ({img[i, 0]}, {img[i, 1]}) "
                f"lies outside the picture of {w:g} x {h:g} pixels"
            )
    sigma = _finite(image_sigma, "image_sigma")
    if sigma < 0:
        raise ValueError("image_sigma must not be negative")
    if distortion is not None and not isinstance(distortion, CDist):
        raise ValueError("distortion must be a collinear.CDist")
    d = _collinear._resect(
        obj, img, point_names, f, ppx, ppy, distortion or CDist(), sigma
    )
    return Resection(**d)
