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
