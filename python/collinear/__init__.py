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
    CCrdCalculator,
    CDist,
    CDlt,
    CHelmert,
    CLeastSq,
    CRot,
    CSinOri,
    CWPK,
    CXYZ,
    DIST_K1K2_EXT6,
    DIST_K1K2K3K4,
    DIST_K1K2K3P1P2,
    DIST_K1K2P1P2,
    DIST_MODEL,
    DIST_NONE,
    ROT_K,
    ROT_KPW,
    ROT_P,
    ROT_SYSTEM,
    ROT_W,
    ROT_WPK,
    TAdjImage,
)
from ._results import (
    Calibration,
    Helmert,
    Intersection,
    ProjectData,
    Resection,
    View,
)

__all__ = [
    "CCrdCalculator",
    "CDist",
    "CDlt",
    "CHelmert",
    "CLeastSq",
    "CRot",
    "CSinOri",
    "CWPK",
    "CXYZ",
    "DIST_MODEL",
    "ROT_SYSTEM",
    "TAdjImage",
    "Calibration",
    "Helmert",
    "Intersection",
    "ProjectData",
    "Resection",
    "View",
    "backproject",
    "calibrate",
    "camera",
    "helmert",
    "intersect",
    "load_project",
    "project",
    "read_points",
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


def _rows(value: object, dims: int, what: str) -> np.ndarray:
    """value as a C-contiguous (n, dims) float64 array, unchecked values: the
    vectorised functions give NaN for a non-finite row."""
    a = np.ascontiguousarray(value, dtype=np.float64)
    if a.ndim != 2 or a.shape[1] != dims:
        raise ValueError(f"{what} must be an (n, {dims}) array, not of shape {a.shape}")
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


def calibrate(
    object_points: object,
    image_points: object,
    *,
    names: Optional[Sequence[str]] = None,
    model: str = "none",
    image_size: Optional[Sequence[float]] = None,
    image_sigma: float = 1.0,
    free_aspect: bool = False,
) -> Calibration:
    """Camera calibration from control points, in pixels.

    object_points: (n, 3) target points, object coordinates (any unit);
      names: their names (default "1" ... "n").
    image_points: one view, an (n, 2) array of pixels (origin top-left, x
      right, y down), row i the image of object row i: calibrated by the
      spatial DLT (6 or more points not in a plane), with self-calibration
      of model ("none", "k1k2k3k4", "k1k2p1p2", "k1k2k3p1p2");
      or several views, a list whose items are either such an (n, 2) array
      or a pair (point names, (m, 2) pixels) of the points that view sees:
      one bundle adjustment of the camera and every view's pose (a planar
      target needs 4 points a view, a 3-D target 6; any model, also
      "k1k2e1e6"; free_aspect estimates the pixel aspect).
    image_size: (width, height) in pixels, for the check that the
      distortion stays invertible over the picture.
    image_sigma: a-priori standard deviation of one image coordinate,
      pixels, for the test of the residuals (0: no test).

    Returns a Calibration; a failed computation has verdict "unusable".
    """
    obj = _points(object_points, 3, "object_points")
    target_names = _names(names, obj.shape[0])
    sigma = _finite(image_sigma, "image_sigma")
    if sigma < 0:
        raise ValueError("image_sigma must not be negative")
    w, h = (0.0, 0.0) if image_size is None else _pair(
        image_size, "image_size", positive=True
    )
    if not isinstance(image_points, (list, tuple)):
        img = _points(image_points, 2, "image_points")
        if img.shape[0] != obj.shape[0]:
            raise ValueError(
                f"object_points has {obj.shape[0]} rows and image_points "
                f"{img.shape[0]}: row i of both must be the same point"
            )
        if obj.shape[0] < 6:
            raise ValueError(
                f"{obj.shape[0]} control point(s) have both object and image "
                "coordinates; this calibration needs at least 6"
            )
        d = _collinear._calibrate_dlt(obj, img, target_names, str(model), w, h, sigma)
        return _calibration(d)
    views, view_names, point_names = [], [], []
    for k, v in enumerate(image_points):
        what = f"view {k + 1}"
        if isinstance(v, tuple) and len(v) == 2 and not np.isscalar(v[0]):
            pts = _points(v[1], 2, what)
            vn = _names(v[0], pts.shape[0])
        else:
            pts = _points(v, 2, what)
            if pts.shape[0] != obj.shape[0]:
                raise ValueError(
                    f"{what} has {pts.shape[0]} rows for {obj.shape[0]} target "
                    "points: give (names, pixels) for a view of some points"
                )
            vn = target_names
        views.append(pts)
        point_names.append(vn)
        view_names.append(f"view{k + 1}")
    if not views:
        raise ValueError("no view: image_points is an empty list")
    d = _collinear._calibrate_views(
        obj, target_names, views, point_names, view_names, str(model),
        bool(free_aspect), w, h, sigma,
    )
    return _calibration(d)


def _calibration(d: dict) -> Calibration:
    if "views" in d:
        d["views"] = tuple(View(**v) for v in d["views"])
    return Calibration(**d)


def helmert(
    target: object,
    source: object,
    *,
    names: Optional[Sequence[str]] = None,
    sigma: float = 0.0,
) -> Helmert:
    """Plane four-parameter Helmert transformation from common points.

    target, source: (n, 2) coordinates of the same n >= 2 points in the
    target and the source system (row i the same point). sigma: a-priori
    standard deviation of one target coordinate for the test of the
    residuals (0: no test). The transformation is target = (a x - b y + c,
    b x + a y + d) of source (x, y); result.transform applies it.
    """
    dst = _points(target, 2, "target")
    src = _points(source, 2, "source")
    if dst.shape[0] != src.shape[0]:
        raise ValueError(
            f"target has {dst.shape[0]} rows and source {src.shape[0]}: row i "
            "of both must be the same point"
        )
    n = dst.shape[0]
    if n < 2:
        raise ValueError(
            f"{n} point names appear in both target and source; a Helmert "
            "transformation needs at least 2 common points"
        )
    s = _finite(sigma, "sigma")
    d = _collinear._helmert(dst, src, _names(names, n), max(s, 0.0))
    return Helmert(**d)


def intersect(
    stations: object,
    targets: object,
    sigmas: object,
    *,
    names: Optional[Sequence[str]] = None,
) -> Intersection:
    """One point from total-station rays (as the tool's intersect).

    stations: (n, 3) instrument positions; targets: (n, 3) a point along each
    measured direction (n >= 2); sigmas: (n, 2) standard deviations of the
    horizontal direction and the vertical angle, radians (all > 0), or one
    pair for every ray. Object coordinates in any length unit.
    """
    s = _points(stations, 3, "stations")
    t = _points(targets, 3, "targets")
    n = s.shape[0]
    if t.shape[0] != n:
        raise ValueError(f"stations has {n} rows and targets {t.shape[0]}")
    if n < 2:
        raise ValueError(f"{n} ray(s); an intersection needs at least 2")
    g = np.asarray(sigmas, dtype=np.float64)
    if g.shape == (2,):
        g = np.tile(g, (n, 1))
    g = _points(g, 2, "sigmas")
    if g.shape[0] != n:
        raise ValueError(f"sigmas has {g.shape[0]} rows for {n} rays")
    if not (g > 0).all():
        raise ValueError("sigmas: standard deviations must be > 0")
    d = _collinear._intersect(s, t, g, _names(names, n))
    return Intersection(**d)


def camera(
    focal: float,
    principal_point: Sequence[float],
    image_size: Sequence[float],
    centre: object,
    rotation: object,
    *,
    pixel_size: float = 1.0,
    distortion_model: int = 0,
    distortion: Sequence[float] = (),
) -> CCrdCalculator:
    """A CCrdCalculator from pixel values, for project and backproject.

    focal: principal distance in pixels; principal_point: (x, y) pixels from
    the top-left corner, y down; image_size: (width, height) pixels;
    centre: (3,) projection centre, object coordinates; rotation: (3, 3)
    from object to camera axes (as Resection.rotation). pixel_size: mm per
    pixel (square pixels); distortion: the calculator's coefficients of
    distortion_model, in photo millimetres, y up, subtracted from the
    measured point (docs/conventions.md, section 3).
    """
    f = _finite(focal, "focal", positive=True)
    px = _finite(pixel_size, "pixel_size", positive=True)
    ppx, ppy = _pair(principal_point, "principal_point")
    w, h = _pair(image_size, "image_size", positive=True)
    c = np.asarray(centre, dtype=np.float64).reshape(-1)
    r = np.asarray(rotation, dtype=np.float64)
    if c.shape != (3,) or r.shape != (3, 3):
        raise ValueError("centre must be 3 numbers and rotation a (3, 3) array")
    if not (np.isfinite(c).all() and np.isfinite(r).all()):
        raise ValueError("centre and rotation must be finite numbers")
    calc = CCrdCalculator()
    calc.SetCamera(f * px, (ppx * px, ppy * px), (px, px), (w, h))
    calc.SetOrientation(list(c), list(r.reshape(-1)))
    if distortion_model:
        if not calc.SetDistortionModelData(int(distortion_model), list(distortion)):
            raise ValueError("the distortion model or its coefficients are invalid")
    return calc


def project(calculator: CCrdCalculator, object_points: object) -> tuple:
    """Pixels of object points: (pixels (n, 2), in_front (n,) bool).

    object_points: (n, 3) object coordinates. Pixels: origin top-left, x
    right, y down, lens distortion applied. in_front is False for a point
    behind the camera (its pixel is still computed) or in its plane (NaN).
    A row with a non-finite value gives NaN pixels and False. One loop in
    C++ over the array, without the GIL and without a copy of a C-contiguous
    float64 array.
    """
    return _collinear._project(calculator, _rows(object_points, 3, "object_points"))


def backproject(calculator: CCrdCalculator, pixels: object) -> np.ndarray:
    """Unit directions (n, 3), object axes, of the rays through pixels (n, 2)
    (origin top-left, y down; lens distortion removed); the rays start at
    the projection centre; NaN for a non-finite pixel. One loop in C++,
    without the GIL."""
    return _collinear._backproject(calculator, _rows(pixels, 2, "pixels"))


def load_project(path: str) -> ProjectData:
    """Loads a project file (JSON, docs/formats.md section 4); ValueError with
    "file: json.path: what is wrong" when it cannot be loaded."""
    p = _collinear._Project.load(str(path))
    names, xyz, systems = p.points()
    return ProjectData(
        name=p.name,
        working_system=p.working_system,
        length_unit=p.length_unit,
        angle_unit=p.angle_unit,
        cameras=p.cameras(),
        images=p.images(),
        point_names=names,
        points=xyz,
        point_systems=systems,
        _project=p,
    )


def read_points(path: str, min_values: int = 2, max_values: Optional[int] = None) -> tuple:
    """(names, values) of a point file: one point a line, "name v1 v2 ...",
    white space or commas, "#" comments (docs/formats.md). Every row holds
    the same number of values, between min_values and max_values; values is
    an (n, that number) float64 array. ValueError "file:line: what is wrong"
    on a bad file, as the tool says it."""
    hi = min_values if max_values is None else max_values
    names, values = _collinear._read_rows(str(path), int(min_values), int(hi))
    return names, values
