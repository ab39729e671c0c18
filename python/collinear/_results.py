"""Result objects of the collinear functions: plain dataclasses.

Every result carries ``verdict`` ("ok", "look" or "unusable", the verdicts
of the command-line tool) and ``reasons`` (one line per warning,
"[code] message").
"""

from __future__ import annotations

import dataclasses
from typing import Dict, List

import numpy as np


def _short(value: object) -> str:
    if isinstance(value, np.ndarray):
        if value.size > 6:
            return f"array(shape={value.shape})"
        return np.array2string(value, precision=6, separator=", ")
    if isinstance(value, float):
        return f"{value:.6g}"
    return repr(value)


class _Result:
    """Shared ``__repr__``: short arrays in full, long ones by shape."""

    def __repr__(self) -> str:
        fields = ", ".join(
            f"{f.name}={_short(getattr(self, f.name))}"
            for f in dataclasses.fields(self)  # type: ignore[arg-type]
            if not f.name.startswith("_")
        )
        return f"{type(self).__name__}({fields})"

    @property
    def ok(self) -> bool:
        """True when the verdict is "ok" (no warning)."""
        return getattr(self, "verdict") == "ok"


@dataclasses.dataclass(repr=False)
class Resection(_Result):
    """Space resection of one image in pixels.

    centre: projection centre (3,), object coordinates and unit.
    rotation: (3, 3) from object axes to camera axes (camera x right, y up,
      looking along its -z).
    angles: omega, phi, kappa (radians) of rotation under ROT_KPW,
      R = Rx(omega) Ry(phi) Rz(kappa).
    rms: RMS residual in x and y (pixels).
    residuals: (n, 2) projected minus measured, pixels, x right, y down, in
      the order of the input points.
    sigmas: standard deviations by name (X, Y, Z in object units, omega, phi,
      kappa in radians), NaN when not determined.
    sigma0: a-posteriori standard deviation of unit weight (pixels).
    start: where the iteration started: "dlt" (spatial), "plane" or "none".
    """

    converged: bool
    verdict: str
    reasons: List[str]
    message: str
    centre: np.ndarray
    rotation: np.ndarray
    angles: np.ndarray
    rms: np.ndarray
    residuals: np.ndarray
    sigmas: Dict[str, float]
    sigma0: float
    iterations: int
    start: str


@dataclasses.dataclass(repr=False)
class View(_Result):
    """Pose of one view of a calibration.

    centre: projection centre (3,), object coordinates.
    rotation: (3, 3) from object to camera axes; angles: its omega, phi,
      kappa (radians, ROT_KPW).
    rms: (2,) RMS residual in x and y, pixels.
    residuals: (n, 2) projected minus measured, pixels (x right, y down), in
      the order of the view's points.
    """

    name: str
    centre: np.ndarray
    rotation: np.ndarray
    angles: np.ndarray
    rms: np.ndarray
    residuals: np.ndarray

    @property
    def verdict(self) -> str:  # a view is judged with its calibration
        return "ok"


@dataclasses.dataclass(repr=False)
class Calibration(_Result):
    """Camera calibration in pixels.

    c: principal distance, pixels; cx, cy those of the x and y rows.
    principal_point: (x0, y0) pixels, origin top-left, y down.
    aspect: photo y per pixel row over photo x per column (1: square).
    model: distortion model ("none", "k1k2k3k4", ...); distortion: its
      coefficients as a correction added to the measured point, in pixels
      about the principal point, x right, y up (CDist's sign).
    views: the pose of every view.
    rms: (2,) RMS residual in x and y over all views, pixels.
    sigmas: standard deviations by parameter name; sigma0 the a-posteriori
      standard deviation of unit weight (pixels).
    status: the solution, in words (one view: the DLT's status text).
    coefficients: the 11 DLT coefficients of a one-view calibration (solver
      frame: object about the centroid and scaled, image y up), else empty.
    """

    converged: bool
    verdict: str
    reasons: List[str]
    message: str
    status: str = ""
    c: float = float("nan")
    cx: float = float("nan")
    cy: float = float("nan")
    principal_point: np.ndarray = dataclasses.field(
        default_factory=lambda: np.full(2, np.nan)
    )
    aspect: float = float("nan")
    model: str = ""
    distortion: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(0))
    distortion_names: List[str] = dataclasses.field(default_factory=list)
    views: tuple = ()
    rms: np.ndarray = dataclasses.field(default_factory=lambda: np.full(2, np.nan))
    sigmas: Dict[str, float] = dataclasses.field(default_factory=dict)
    sigma0: float = float("nan")
    coefficients: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(0))


@dataclasses.dataclass(repr=False)
class Helmert(_Result):
    """Plane Helmert transformation target = (a x - b y + c, b x + a y + d).

    parameters: (a, b, c, d); scale = |(a, b)|; rotation = atan2(b, a),
      radians, counter-clockwise.
    residuals: (n, 2) transformed source minus target, target units.
    rms: (2,) per axis; sigmas: standard deviations of a, b, c, d.
    """

    converged: bool
    verdict: str
    reasons: List[str]
    message: str
    parameters: np.ndarray = dataclasses.field(
        default_factory=lambda: np.full(4, np.nan)
    )
    scale: float = float("nan")
    rotation: float = float("nan")
    residuals: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros((0, 2)))
    rms: np.ndarray = dataclasses.field(default_factory=lambda: np.full(2, np.nan))
    sigmas: Dict[str, float] = dataclasses.field(default_factory=dict)
    sigma0: float = float("nan")

    def transform(self, points: object) -> np.ndarray:
        """Source points (m, 2) into the target system."""
        p = np.asarray(points, dtype=np.float64).reshape(-1, 2)
        a, b, c, d = self.parameters
        return np.column_stack((a * p[:, 0] - b * p[:, 1] + c, b * p[:, 0] + a * p[:, 1] + d))


@dataclasses.dataclass(repr=False)
class Intersection(_Result):
    """Position of one point from total-station rays.

    position: (3,) object coordinates.
    covariance: (3, 3) a-priori covariance (from the rays' standard
      deviations), length units squared; std_dev its diagonal's roots.
    variance_factor: a-posteriori variance of unit weight.
    residuals: (n, 2) observed minus computed direction and vertical angle
      at the position, radians.
    """

    converged: bool
    verdict: str
    reasons: List[str]
    message: str
    position: np.ndarray = dataclasses.field(
        default_factory=lambda: np.full(3, np.nan)
    )
    covariance: np.ndarray = dataclasses.field(
        default_factory=lambda: np.full((3, 3), np.nan)
    )
    variance_factor: float = float("nan")
    residuals: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros((0, 2)))
    iterations: int = 0

    @property
    def std_dev(self) -> np.ndarray:
        """A-priori standard deviations of x, y, z."""
        return np.sqrt(np.diag(self.covariance))


@dataclasses.dataclass(repr=False)
class ProjectData(_Result):
    """A project file (docs/formats.md, section 4) as loaded.

    cameras: list of dicts (id, focal_mm, principal_mm from the top-left
      corner y down, pixel_mm, size_px, distortion_model, radial, further).
    images: list of dicts (id, camera, picture, exterior (x, y, z, omega,
      phi, kappa in radians) or None, control_names, control_pixels (n, 2)).
    point_names, points (n, 3) as in the file, point_systems: their systems.
    calculator(image_id): a CCrdCalculator of that image (camera and
      orientation as the tool's project command sets them up).
    """

    name: str
    working_system: str
    length_unit: str
    angle_unit: str
    cameras: list
    images: list
    point_names: List[str]
    points: np.ndarray
    point_systems: List[str]
    _project: object = dataclasses.field(default=None, compare=False)

    @property
    def verdict(self) -> str:  # a file that loads is ok
        return "ok"

    @property
    def reasons(self) -> List[str]:
        return []

    def calculator(self, image_id: str):
        """The CCrdCalculator of image image_id."""
        return self._project.calculator(image_id)  # type: ignore[union-attr]
