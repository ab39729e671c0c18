"""The Python API on the published data sets of examples/, with the figures
of the C++ tests, numpy round trips and the errors of bad input."""

import os

import numpy as np
import pytest

import collinear as c

EX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


def ex(*parts):
    return os.path.join(EX, *parts)


def test_heikkila_calibration_by_the_dlt():
    names, v = c.read_points(ex("heikkila-3d", "points.txt"), 5)
    r = c.calibrate(v[:, :3], v[:, 3:], names=names)
    # The data set's own plausibility check: principal point near (372.0,
    # 276.7) px, y down as the picture's.
    assert r.converged and r.verdict == "ok" and r.status == "spatial DLT"
    np.testing.assert_allclose(r.principal_point, [372.0, 276.7], atol=0.5)
    assert r.views[0].residuals.shape == (len(names), 2)
    rms = np.sqrt(np.mean(r.views[0].residuals ** 2, axis=0))
    np.testing.assert_allclose(rms, r.rms, rtol=1e-9)


def test_zhang_five_views_give_the_published_camera():
    tn, target = c.read_points(ex("zhang-plane", "target.txt"), 3)
    views = [c.read_points(ex("zhang-plane", f"view{k}.txt"), 2) for k in range(1, 6)]
    r = c.calibrate(target, views, names=tn, model="k1k2k3k4", image_size=(640, 480))
    assert r.verdict == "ok" and len(r.views) == 5
    assert abs(r.c - 832.5) < 1.0  # Zhang's published 832.5 px


def zhang_view1():
    tn, target = c.read_points(ex("zhang-plane", "target.txt"), 3)
    vn, px = c.read_points(ex("zhang-plane", "view1.txt"), 2)
    return target[[tn.index(n) for n in vn]], px, vn


def aerial():
    names, v = c.read_points(ex("resection-aerial-4pt", "points.txt"), 5)
    # Photo millimetres, y up, about the principal point: pixels of 1 mm
    # with y down.
    return v[:, :3], v[:, 3:] * [1.0, -1.0], names


@pytest.mark.parametrize(
    "data, focal, pp, centre, tol, verdict",
    [
        # Zhang's view 1 with his camera: the camera below the plane.
        (zhang_view1, 832.5, (303.959, 206.585), (None, None, -12.7645), 1e-3, "ok"),
        # The textbook's aerial photograph; 4 points leave no check.
        (aerial, 153.24, (0, 0), (39795.4523, 27476.4622, 7572.6859), 1e-3, "look"),
    ],
)
def test_resection(data, focal, pp, centre, tol, verdict):
    obj, img, names = data()
    r = c.resect(obj, img, focal, pp, names=names)
    assert r.converged and r.verdict == verdict, r.reasons
    for got, want in zip(r.centre, centre):
        if want is not None:
            assert abs(got - want) < tol
    np.testing.assert_allclose(r.rotation @ r.rotation.T, np.eye(3), atol=1e-12)


def test_helmert_of_the_textbook_example():
    tn, tgt = c.read_points(ex("helmert2d-ghilani", "target.txt"), 2)
    sn, src = c.read_points(ex("helmert2d-ghilani", "source.txt"), 2)
    assert tn == sn
    r = c.helmert(tgt, src, names=tn)
    np.testing.assert_allclose(r.parameters, [-4.51249, -0.25371, 1050003.715, 50542.131], atol=5e-4)
    np.testing.assert_allclose(r.residuals, [[0.0038, -0.0291], [0.1009, -0.0767], [-0.1047, 0.1059]], atol=5e-5)
    assert abs(r.sigmas["a"] / 0.000576 - 1) < 1e-3
    _, more = c.read_points(ex("helmert2d-ghilani", "transform.txt"), 2)
    np.testing.assert_allclose(r.transform(more[:1]), [[1049187.361, 51040.629]], atol=5e-3)


def test_intersection_of_three_rays():
    names, v = c.read_points(ex("intersect", "rays.txt"), 8)
    arcsec = np.pi / 180 / 3600
    r = c.intersect(v[:, :3], v[:, 3:6], v[:, 6:] * arcsec, names=names)
    # Synthetic: P = (1250, 2480, 135.2) m, directions off by about 2".
    assert r.verdict in ("ok", "look") and r.converged
    np.testing.assert_allclose(r.position, [1250, 2480, 135.2], atol=0.02)
    assert (r.std_dev > 0).all() and (r.std_dev < 0.05).all()


def test_project_then_resect_and_backproject_round_trip():
    rng = np.random.default_rng(7)
    pts = np.column_stack((rng.uniform(-50, 50, (500, 2)), rng.uniform(0, 10, 500)))
    rot = c.CRot()
    rot.SetMatrix(c.ROT_KPW, c.CWPK(0.05, -0.03, 0.4))
    centre = np.array([3.0, -4.0, 120.0])
    cam = c.camera(3000.0, (2010.5, 1490.2), (4000, 3000), centre, rot.matrix())
    px, front = c.project(cam, pts)
    assert front.all()
    nan_px, nan_front = c.project(cam, [[np.nan, 0, 0]])
    assert np.isnan(nan_px).all() and not nan_front[0]
    back = c.resect(pts, px, 3000.0, (2010.5, 1490.2))
    np.testing.assert_allclose(back.centre, centre, atol=1e-6)
    np.testing.assert_allclose(back.rotation, rot.matrix(), atol=1e-10)
    assert back.rms.max() < 1e-6
    rays = c.backproject(cam, px)
    to_points = (pts - centre) / np.linalg.norm(pts - centre, axis=1)[:, None]
    np.testing.assert_allclose(rays, to_points, atol=1e-10)


def test_the_classes_solve_as_in_cpp():
    # CDlt on pixels of a known camera (y up for the solver): its camera.
    cam = c.camera(3000.0, (2010.5, 1490.2), (4000, 3000), (3, -4, 120), np.eye(3))
    rng = np.random.default_rng(3)
    pts = np.column_stack((rng.uniform(-50, 50, (30, 2)), rng.uniform(0, 10, 30)))
    px, _ = c.project(cam, pts)
    dlt = c.CDlt()
    names = [f"P{i}" for i in range(30)]
    assert dlt.Create([c.CXYZ(n, *p) for n, p in zip(names, pts)],
                      [c.CXYZ(n, x, -y, 0) for n, (x, y) in zip(names, px)], 0.0) == 1
    assert dlt.CalDlt() == 1 and dlt.m_Message == "spatial DLT"
    assert abs(dlt.m_FocusMean - 3000.0) < 1e-6
    pp = dlt.m_PrincipalPoint
    np.testing.assert_allclose([pp.m_x, pp.m_y], [2010.5, -1490.2], atol=1e-6)
    np.testing.assert_allclose([dlt.m_Center.m_x, dlt.m_Center.m_z], [3, 120], atol=1e-6)
    assert len(dlt.m_Residuals) == 30 and len(dlt.m_Dlt) == 11


def test_project_file_calculator_reproduces_measured_pixels():
    p = c.load_project(ex("project", "project.json"))
    img = next(i for i in p.images if i["id"] == "IMG_0101")
    world = dict(zip(p.point_names, p.points))
    calc = p.calculator("IMG_0101")
    # IMG_0101's stored orientation: 0.2 px of noise in its measurements.
    name = img["control_names"][0]
    px, front = c.project(calc, world[name][None, :])
    assert front[0]
    assert np.hypot(*(px[0] - img["control_pixels"][0])) < 1.0


def _line():
    obj = np.array([[0, 0, 0], [1, 0, 0], [2, 0, 0], [3, 0, 0.0]])
    return c.resect(obj, [[10, 10], [20, 10], [30, 10], [40, 10]], 100, (0, 0))


def test_a_failed_resection_is_a_result():
    r = _line()
    assert not r.converged and r.verdict == "unusable"
    assert r.message.startswith("the resection failed: ")


PTS = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 1.0], [2, 1, 0.5]])
PX = np.array([[1, 2], [3, 4], [5, 6], [7, 9], [2, 2.0]])


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: c.resect(PTS[:3], PX[:3], 100, (0, 0)), ValueError, "a resection needs at least 4"),
        (lambda: c.resect(PTS[:, :2], PX, 100, (0, 0)), ValueError, "(n, 3) array"),
        (lambda: c.resect(PTS, PX * [1, np.nan], 100, (0, 0)), ValueError, "row 0 is not a finite"),
        (lambda: c.resect(PTS, PX, 0.0, (0, 0)), ValueError, "focal must be a positive"),
        (lambda: c.resect(PTS, PX, 9, (0, 0), names=list("ABCDA")), ValueError, "given twice"),
        (lambda: c.resect(PTS, PX, 9, (0, 0), image_size=(4, 4)), ValueError, "outside the picture"),
        (lambda: c.calibrate(np.c_[PTS[:, :2], PTS[:, :1] * 0] + [[0, 0, 0]] * 5, PX), ValueError, "needs at least 6"),
        (lambda: c.helmert(PX[:1], PX[:1]), ValueError, "needs at least 2 common points"),
        (lambda: c.load_project(ex("nothing.json")), ValueError, "nothing.json"),
        (lambda: c.read_points(ex("intersect", "rays.txt"), 2), ValueError, "rays.txt:5:"),
        (lambda: c.CLeastSq(2, 2).GetNoeq(5, 5), IndexError, "index out of range"),
    ],
)
def test_bad_input_raises(call, error, text):
    with pytest.raises(error) as e:
        call()
    assert text in str(e.value)
