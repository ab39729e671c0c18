#include "classes.h"

#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <collinear/adjust/adj_image.h>
#include <collinear/calculator/crd_calculator.h>
#include <collinear/distortion/dist.h>
#include <collinear/leastsq/leastsq.h>
#include <collinear/orientation/dlt.h>
#include <collinear/orientation/helmert.h>
#include <collinear/orientation/sinori.h>
#include <collinear/orientation/status_text.h>
#include <collinear/primitives/rot.h>
#include <collinear/primitives/wpk.h>
#include <collinear/primitives/xyz.h>

#include "convert.h"

namespace collinear::python {
namespace {

using Points = CArray<CXYZ, CXYZ&>;
using Numbers = CArray<double, double>;

using PointList = std::vector<CXYZ>;

Points ToArray(const PointList& in) {
  Points a;
  for (CXYZ p : in) a.Add(p);
  return a;
}

// A CArray<CXYZ> field as a list of CXYZ (copies both ways).
template <class C>
void PointsField(py::class_<C>& c, const char* name, Points C::*field) {
  c.def_property(
      name,
      [field](const C& self) {
        const Points& a = self.*field;
        std::vector<CXYZ> out(a.GetData(), a.GetData() + a.GetSize());
        return out;
      },
      [field](C& self, const PointList& in) { self.*field = ToArray(in); },
      "list of CXYZ (a copy: assign the whole list to change it)");
}

// A CArray<double> field as a float64 array (copies both ways).
template <class C>
void NumbersField(py::class_<C>& c, const char* name, Numbers C::*field) {
  c.def_property(
      name,
      [field](const C& self) {
        const Numbers& a = self.*field;
        Doubles out({static_cast<py::ssize_t>(a.GetSize())});
        for (INT_PTR i = 0; i < a.GetSize(); ++i) out.mutable_data()[i] = a[i];
        return out;
      },
      [field](C& self, const std::vector<double>& in) {
        Numbers& a = self.*field;
        const auto n = static_cast<INT_PTR>(in.size());
        a.SetSize(n);
        for (INT_PTR i = 0; i < n; ++i) a[i] = in[static_cast<size_t>(i)];
      },
      "float64 array (a copy: assign the whole sequence to change it)");
}

// A fixed-size C array field as a float64 array (copies both ways).
template <class C, class T, size_t N>
void FixedField(py::class_<C>& c, const char* name, T (C::*field)[N]) {
  c.def_property(
      name,
      [field](const C& self) {
        py::array_t<T> out(static_cast<py::ssize_t>(N));
        for (size_t i = 0; i < N; ++i) out.mutable_data()[i] = (self.*field)[i];
        return out;
      },
      [field, name](C& self, const std::vector<T>& in) {
        if (in.size() != N)
          throw py::value_error(std::string(name) + " takes " +
                                std::to_string(N) + " values, not " +
                                std::to_string(in.size()));
        for (size_t i = 0; i < N; ++i) (self.*field)[i] = in[i];
      },
      "fixed-length array (a copy: assign the whole sequence to change it)");
}

// A CString field as str (bytes as UTF-8 text).
template <class C>
void StringField(py::class_<C>& c, const char* name, CString C::*field) {
  c.def_property(
      name,
      [field](const C& self) { return std::string((self.*field).GetString()); },
      [field](C& self, const std::string& s) { self.*field = s; });
}

void BindPrimitives(py::module_& m) {
  py::enum_<ROT_SYSTEM>(m,
                        "ROT_SYSTEM",
                        "Rotation convention of three angles: ROT_WPK is "
                        "Rz(kappa) Ry(phi) Rx(omega), ROT_KPW is Rx(omega) "
                        "Ry(phi) Rz(kappa), the convention of the DLT and the "
                        "resection.")
      .value("ROT_W", ROT_W)
      .value("ROT_P", ROT_P)
      .value("ROT_K", ROT_K)
      .value("ROT_WPK", ROT_WPK)
      .value("ROT_KPW", ROT_KPW)
      .export_values();

  py::class_<CXYZ> xyz(m,
                       "CXYZ",
                       "Named point: m_x, m_y, m_z (object units, or image "
                       "units with m_z unused), name, auxiliary text and five "
                       "integer attributes.");
  xyz.def(py::init<>())
      .def(py::init<double, double, double>(),
           py::arg("x"),
           py::arg("y"),
           py::arg("z"))
      .def(py::init<const char*, double, double, double>(),
           py::arg("name"),
           py::arg("x"),
           py::arg("y"),
           py::arg("z"))
      .def_readwrite("m_x", &CXYZ::m_x)
      .def_readwrite("m_y", &CXYZ::m_y)
      .def_readwrite("m_z", &CXYZ::m_z)
      .def("Init", &CXYZ::Init)
      .def("SetXYZ", &CXYZ::SetXYZ)
      .def("Len", py::overload_cast<>(&CXYZ::Len, py::const_))
      .def("Len", py::overload_cast<const CXYZ&>(&CXYZ::Len, py::const_))
      .def("Inn", &CXYZ::Inn, "dot product")
      .def("Out", &CXYZ::Out, "cross product")
      .def("EQ", &CXYZ::EQ, "1 when every coordinate differs by at most d")
      .def(-py::self)
      .def(py::self + py::self)
      .def(py::self - py::self)
      .def(py::self * py::self)
      .def(py::self * double())
      .def(py::self / py::self)
      .def(py::self / double())
      .def("__copy__", [](const CXYZ& p) { return CXYZ(p); })
      .def("__repr__", [](const CXYZ& p) {
        return "CXYZ('" + std::string(p.m_strName.GetString()) + "', " +
               py::repr(py::float_(p.m_x)).cast<std::string>() + ", " +
               py::repr(py::float_(p.m_y)).cast<std::string>() + ", " +
               py::repr(py::float_(p.m_z)).cast<std::string>() + ")";
      });
  StringField(xyz, "m_strAux", &CXYZ::m_strAux);
  StringField(xyz, "m_strName", &CXYZ::m_strName);
  FixedField(xyz, "m_nAttr", &CXYZ::m_nAttr);

  py::class_<CWPK>(m, "CWPK", "Angles omega, phi, kappa in radians.")
      .def(py::init<>())
      .def(py::init<double, double, double>(),
           py::arg("w"),
           py::arg("p"),
           py::arg("k"))
      .def_readwrite("m_w", &CWPK::m_w)
      .def_readwrite("m_p", &CWPK::m_p)
      .def_readwrite("m_k", &CWPK::m_k)
      .def("Init", &CWPK::Init)
      .def("SetWPK", &CWPK::SetWPK)
      .def_static(
          "NormalizeAngle",
          [](double a) {
            CWPK::NormalizeAngle(a);
            return a;
          },
          "the angle wrapped into [-pi, pi] (returned, not in place)")
      .def("Normalize", &CWPK::Normalize)
      .def_static("SubtractAngle", &CWPK::SubtractAngle)
      .def("Subtract", &CWPK::Subtract)
      .def(-py::self)
      .def(py::self + py::self)
      .def(py::self - py::self)
      .def("__repr__", [](const CWPK& a) {
        return "CWPK(" + py::repr(py::float_(a.m_w)).cast<std::string>() +
               ", " + py::repr(py::float_(a.m_p)).cast<std::string>() + ", " +
               py::repr(py::float_(a.m_k)).cast<std::string>() + ")";
      });

  py::class_<CRot> rot(m,
                       "CRot",
                       "Rotation matrix, m_r row by row (r11 r12 r13 r21 "
                       "...); from object to camera axes in the solvers.");
  rot.def(py::init<>())
      .def("I", &CRot::I)
      .def("T", &CRot::T)
      .def("SetMatrix", &CRot::SetMatrix, py::arg("sys"), py::arg("a"))
      .def("AddMatrix",
           py::overload_cast<ROT_SYSTEM, const CWPK&>(&CRot::AddMatrix))
      .def("AddMatrix", py::overload_cast<const CRot&>(&CRot::AddMatrix))
      .def(py::self * py::self)
      .def(py::self * CXYZ())
      .def("Rotate",
           [](const CRot& r, double x, double y, double z) {
             double X = 0, Y = 0, Z = 0;
             r.Rotate(x, y, z, X, Y, Z);
             return py::make_tuple(X, Y, Z);
           })
      .def("CalAngle",
           &CRot::CalAngle,
           py::arg("sys"),
           py::arg("a"),
           "Angles of the matrix under sys into a (a CWPK, changed in place; "
           "its values on entry choose the nearer of the two solutions). "
           "Returns 1, or 0 for an unknown convention.")
      .def(
          "SetDIMat",
          [](CRot& r, std::vector<double> deg) {
            if (deg.size() != 3)
              throw py::value_error("SetDIMat takes three angles in degrees");
            r.SetDIMat(deg.data());
          },
          "ROT_KPW matrix of omega, phi, kappa in degrees")
      .def("matrix", &FromRot, "the 3 x 3 matrix as a float64 array (a copy)");
  FixedField(rot, "m_r", &CRot::m_r);
}

void BindSolvers(py::module_& m) {
  py::enum_<DIST_MODEL>(m, "DIST_MODEL", "Lens distortion model.")
      .value("DIST_NONE", DIST_NONE)
      .value("DIST_K1K2K3K4", DIST_K1K2K3K4)
      .value("DIST_K1K2P1P2", DIST_K1K2P1P2)
      .value("DIST_K1K2K3P1P2", DIST_K1K2K3P1P2)
      .value("DIST_K1K2_EXT6", DIST_K1K2_EXT6)
      .export_values();

  py::class_<CDist> dist(m,
                         "CDist",
                         "Lens distortion as a correction: the ideal point "
                         "is the measured point plus (dx, dy), both about "
                         "the principal point, in the caller's unit.");
  dist.def(py::init<>())
      .def_readwrite("m_Model", &CDist::m_Model)
      .def_readwrite("m_NumPara", &CDist::m_NumPara)
      .def("Init", &CDist::Init)
      .def("SetDistModel", &CDist::SetDistModel)
      .def("GetDistModel", &CDist::GetDistModel)
      .def("GetNumPara", &CDist::GetNumPara)
      .def(
          "CalDist",
          [](const CDist& d, double x, double y) {
            double dx = 0, dy = 0;
            d.CalDist(x, y, dx, dy);
            return py::make_tuple(dx, dy);
          },
          py::arg("x"),
          py::arg("y"),
          "The correction (dx, dy) at the measured point (x, y).")
      .def(
          "CalDistInv",
          [](const CDist& d, double x, double y, double tol) {
            double dx = 0, dy = 0;
            const int ok = d.CalDistInv(x, y, dx, dy, tol);
            return py::make_tuple(ok, dx, dy);
          },
          py::arg("x"),
          py::arg("y"),
          py::arg("tol"),
          "(ok, dx, dy): the measured point Q that CalDist carries onto the "
          "ideal (x, y) is (x + dx, y + dy); ok 1 when found within tol.")
      .def("AddPara", &CDist::AddPara)
      .def("AddDist", &CDist::AddDist)
      .def("ParaToDist", &CDist::ParaToDist)
      .def("DistToPara", &CDist::DistToPara);
  FixedField(dist, "m_Para", &CDist::m_Para);
  NumbersField(dist, "m_DistRadius", &CDist::m_DistRadius);
  NumbersField(dist, "m_DistValue", &CDist::m_DistValue);

  py::class_<CSinOri> sinori(
      m,
      "CSinOri",
      "Space resection of one image from control points: image x right, y "
      "up, about the principal point, in the unit of m_Focus.");
  sinori.def(py::init<>())
      .def_readwrite("m_Focus", &CSinOri::m_Focus)
      .def_readwrite("m_Center", &CSinOri::m_Center)
      .def_readwrite("m_Wpk", &CSinOri::m_Wpk)
      .def_readwrite("m_Rot", &CSinOri::m_Rot)
      .def_readwrite("m_Rms", &CSinOri::m_Rms)
      .def_readwrite("m_MaxIter", &CSinOri::m_MaxIter)
      .def_readwrite("m_RelTol", &CSinOri::m_RelTol)
      .def_readwrite("m_SigmaTol", &CSinOri::m_SigmaTol)
      .def_readwrite("m_RotSystem", &CSinOri::m_RotSystem)
      .def("Init", &CSinOri::Init)
      .def("InitParam", &CSinOri::InitParam)
      .def(
          "Create",
          [](CSinOri& s, const PointList& obj, const PointList& img, double f) {
            Points o = ToArray(obj), i = ToArray(img);
            return s.Create(o, i, f);
          },
          py::arg("obj"),
          py::arg("img"),
          py::arg("focus"),
          "Pairs the lists of CXYZ by name; returns 1, or 0 for fewer than 3 "
          "pairs or a focal length that is not > 0.")
      .def("CalSinOri",
           &CSinOri::CalSinOri,
           py::call_guard<py::gil_scoped_release>())
      .def("CalSinOri2",
           &CSinOri::CalSinOri2,
           py::call_guard<py::gil_scoped_release>())
      .def("ObjToPhc", [](CSinOri& s, const CXYZ& obj) {
        CXYZ phc;
        const int ok = s.ObjToPhc(obj, phc);
        return py::make_tuple(ok, phc);
      });
  PointsField(sinori, "m_ObjPoints", &CSinOri::m_ObjPoints);
  PointsField(sinori, "m_ImgPoints", &CSinOri::m_ImgPoints);
  PointsField(sinori, "m_Residuals", &CSinOri::m_Residuals);

  py::class_<CDlt> dlt(m,
                       "CDlt",
                       "Direct linear transformation of one image: image x "
                       "right, y up, in any unit (the principal distances "
                       "come out in it). m_Message holds the status text.");
  dlt.def(py::init<>())
      .def("Init", &CDlt::Init)
      .def(
          "Create",
          [](CDlt& d, const PointList& obj, const PointList& img, double f) {
            Points o = ToArray(obj), i = ToArray(img);
            return d.Create(o, i, f);
          },
          py::arg("obj_points"),
          py::arg("img_points"),
          py::arg("focus"),
          "Pairs the lists of CXYZ by name; returns 1, or 0 for fewer than "
          "4 pairs (m_Message says why).")
      .def("CalDlt", &CDlt::CalDlt, py::call_guard<py::gil_scoped_release>())
      .def(
          "CalDlt3D", &CDlt::CalDlt3D, py::call_guard<py::gil_scoped_release>())
      .def(
          "CalDlt2D", &CDlt::CalDlt2D, py::call_guard<py::gil_scoped_release>())
      .def("CalDltIte3D",
           &CDlt::CalDltIte3D,
           py::call_guard<py::gil_scoped_release>())
      .def("CalDltSelfCalib_k1k2k3k4",
           &CDlt::CalDltSelfCalib_k1k2k3k4,
           py::call_guard<py::gil_scoped_release>())
      .def("CalDltSelfCalib_k1k2p1p2",
           &CDlt::CalDltSelfCalib_k1k2p1p2,
           py::call_guard<py::gil_scoped_release>())
      .def("CalDltSelfCalib_k1k2k3p1p2",
           &CDlt::CalDltSelfCalib_k1k2k3p1p2,
           py::call_guard<py::gil_scoped_release>())
      .def(
          "ObjToPhc",
          [](CDlt& d, const CXYZ& obj, int with_dist, double dist_tol) {
            CXYZ img;
            const int ok = d.ObjToPhc(obj, img, with_dist, dist_tol);
            return py::make_tuple(ok, img);
          },
          py::arg("obj_point"),
          py::arg("with_dist") = 0,
          py::arg("dist_tol") = 1e-9)
      .def_readwrite("m_Focus", &CDlt::m_Focus)
      .def_readwrite("m_FocusMean", &CDlt::m_FocusMean)
      .def_readwrite("m_FocusX", &CDlt::m_FocusX)
      .def_readwrite("m_FocusY", &CDlt::m_FocusY)
      .def_readwrite("m_PrincipalPoint", &CDlt::m_PrincipalPoint)
      .def_readwrite("m_Dist", &CDlt::m_Dist)
      .def_readwrite("m_Center", &CDlt::m_Center)
      .def_readwrite("m_Wpk", &CDlt::m_Wpk)
      .def_readwrite("m_Rot", &CDlt::m_Rot)
      .def_readwrite("m_Rms", &CDlt::m_Rms)
      .def_readwrite("m_MaxIter", &CDlt::m_MaxIter)
      .def_readwrite("m_RelTol", &CDlt::m_RelTol)
      .def_readwrite("m_SigmaTol", &CDlt::m_SigmaTol)
      .def_property_readonly(
          "m_Message",
          [](const CDlt& d) { return DltStatusInEnglish(d.m_Message); },
          "status text in English (the library stores it in Shift-JIS)");
  PointsField(dlt, "m_ObjPoints", &CDlt::m_ObjPoints);
  PointsField(dlt, "m_ImgPoints", &CDlt::m_ImgPoints);
  NumbersField(dlt, "m_Dlt", &CDlt::m_Dlt);
  PointsField(dlt, "m_Residuals", &CDlt::m_Residuals);
}

void BindMore(py::module_& m) {
  py::class_<CHelmert> helmert(m,
                               "CHelmert",
                               "Plane four-parameter Helmert transformation: "
                               "X = a x - b y + c, Y = b x + a y + d, m_Para "
                               "= (a, b, c, d).");
  helmert.def(py::init<>())
      .def("Init", &CHelmert::Init)
      .def(
          "SetPoints",
          [](CHelmert& h, const PointList& dst, const PointList& src) {
            Points d = ToArray(dst), s = ToArray(src);
            return h.SetPoints(d, s);
          },
          py::arg("dst"),
          py::arg("src"),
          "Pairs target and source lists of CXYZ by name; returns the pairs.")
      .def("CalPara", &CHelmert::CalPara)
      .def(
          "Transform",
          [](CHelmert& h, const CXYZ& in, int forward) {
            CXYZ out;
            const int ok = h.Transform(in, out, forward);
            return py::make_tuple(ok, out);
          },
          py::arg("point"),
          py::arg("forward") = 1,
          "(ok, point): source to target (forward 1) or back (0).")
      .def_readwrite("m_Rms", &CHelmert::m_Rms)
      .def_readwrite("m_MaxRes", &CHelmert::m_MaxRes);
  PointsField(helmert, "m_DstPoints", &CHelmert::m_DstPoints);
  PointsField(helmert, "m_SrcPoints", &CHelmert::m_SrcPoints);
  NumbersField(helmert, "m_Para", &CHelmert::m_Para);
  PointsField(helmert, "m_Residuals", &CHelmert::m_Residuals);

  py::class_<CLeastSq> lsq(m,
                           "CLeastSq",
                           "Least-squares engine: rows of observation "
                           "equations (n coefficients and the observed "
                           "value), normal equations, solution, covariance.");
  lsq.def(py::init<>())
      .def(py::init<int, int>(), py::arg("nObeq"), py::arg("nParam"))
      .def_readwrite("m_dSigma", &CLeastSq::m_dSigma)
      .def_readonly("m_nObeq", &CLeastSq::m_nObeq)
      .def_readonly("m_nParam", &CLeastSq::m_nParam)
      .def_readonly("m_nCol", &CLeastSq::m_nCol)
      .def_readonly("m_nCurObeq", &CLeastSq::m_nCurObeq)
      .def_readwrite("m_dEps", &CLeastSq::m_dEps)
      .def("Create", &CLeastSq::Create)
      .def("InitObeq", &CLeastSq::InitObeq)
      .def("SetObeq", &CLeastSq::SetObeq, py::arg("col"), py::arg("v"))
      .def(
          "SetObeqRow",
          [](CLeastSq& l, const std::vector<double>& row) {
            if (static_cast<int>(row.size()) != l.m_nCol)
              throw py::value_error("a row holds " + std::to_string(l.m_nCol) +
                                    " values: the coefficients and the "
                                    "observed value");
            return l.SetObeqRow(row.data());
          },
          py::arg("row"))
      .def("IncrementColumn", &CLeastSq::IncrementColumn)
      .def("GetCurrentObeqNumber", &CLeastSq::GetCurrentObeqNumber)
      .def("GetObeqNumber", &CLeastSq::GetObeqNumber)
      .def("GetDegreesOfFreedom", &CLeastSq::GetDegreesOfFreedom)
      .def("SetWeight", py::overload_cast<double>(&CLeastSq::SetWeight))
      .def("SetWeight", py::overload_cast<int, double>(&CLeastSq::SetWeight))
      .def("InitNoeq", &CLeastSq::InitNoeq)
      .def("GetNoeq", &CLeastSq::GetNoeq)
      .def("GetBcor", &CLeastSq::GetBcor)
      .def("Solve", &CLeastSq::Solve, py::call_guard<py::gil_scoped_release>())
      .def("PISolve",
           &CLeastSq::PISolve,
           py::call_guard<py::gil_scoped_release>());
  NumbersField(lsq, "m_aBcor", &CLeastSq::m_aBcor);
  NumbersField(lsq, "m_aCovar", &CLeastSq::m_aCovar);
  NumbersField(lsq, "m_aVar", &CLeastSq::m_aVar);

  py::class_<CCrdCalculator> calc(
      m,
      "CCrdCalculator",
      "One camera and one orientation: pixels (origin top-left, x right, y "
      "down), photo millimetres (about the principal point, y up) and "
      "camera coordinates (looking along -z). collinear.camera() sets one "
      "up from pixel values.");
  calc.def(py::init<>())
      .def_readwrite("m_FocusR", &CCrdCalculator::m_FocusR)
      .def_readwrite("m_DistModel", &CCrdCalculator::m_DistModel)
      .def("IsCameraValid", &CCrdCalculator::IsCameraValid)
      .def("IsOrientationValid", &CCrdCalculator::IsOrientationValid)
      .def("IsValid", &CCrdCalculator::IsValid)
      .def("GetFocusR", &CCrdCalculator::GetFocusR)
      .def(
          "SetCamera",
          [](CCrdCalculator& c,
             double focal_mm,
             std::pair<double, double> principal_mm,
             std::pair<double, double> mm_per_pixel,
             std::pair<double, double> size_px) {
            c.m_FocusR = focal_mm;
            c.m_PrincipalPoint = {principal_mm.first, principal_mm.second};
            c.m_MmPerPixel = {mm_per_pixel.first, mm_per_pixel.second};
            c.SetPictureRect(
                TAbstractRect<double>(0.0, 0.0, size_px.first, size_px.second));
          },
          py::arg("focal_mm"),
          py::arg("principal_mm"),
          py::arg("mm_per_pixel"),
          py::arg("size_px"),
          "Focal length (mm), principal point (mm from the top-left corner, y "
          "down), pixel size (mm) and picture size (pixels).")
      .def(
          "SetOrientation",
          [](CCrdCalculator& c,
             std::vector<double> origin,
             std::vector<double> rot_cam_from_obj) {
            if (origin.size() != 3 || rot_cam_from_obj.size() != 9)
              throw py::value_error(
                  "SetOrientation takes the centre (3 values) and the "
                  "rotation from object to camera axes (9, row by row)");
            c.m_Origin = {origin[0], origin[1], origin[2]};
            double by_column[9];  // matr3_3's storage order
            for (int i = 0; i < 3; ++i)
              for (int j = 0; j < 3; ++j)
                by_column[3 * j + i] = rot_cam_from_obj[3 * i + j];
            c.SetConversionMatr(by_column);
          },
          py::arg("origin"),
          py::arg("rotation"),
          "Projection centre (object coordinates) and the 3 x 3 rotation "
          "from object to camera axes, row by row.")
      .def(
          "SetDistortionModelData",
          [](CCrdCalculator& c, unsigned long model, std::vector<double> p) {
            return c.SetDistortionModelData(
                model, static_cast<int>(p.size()), p.data());
          },
          py::arg("model"),
          py::arg("para"),
          "Distortion in photo millimetres, y up, the calculator's sign "
          "(ideal = measured - correction).")
      .def("GetOrigin",
           [](const CCrdCalculator& c) {
             const TAbstractPoint3<double> o = c.GetOrigin();
             return py::make_tuple(o.x, o.y, o.z);
           })
      .def("GetConversionMatr",
           [](const CCrdCalculator& c) {
             const matr3_3 r = c.GetConversionMatr();
             Doubles out({3, 3});
             for (int i = 0; i < 3; ++i)
               for (int j = 0; j < 3; ++j)
                 out.mutable_data()[3 * i + j] = r(i, j);
             return out;
           })
      .def(
          "GetPointOnImageCoords",
          [](const CCrdCalculator& c, double x, double y, double z) {
            TAbstractPoint2<double> px(NAN, NAN);
            const bool ok = c.GetPointOnImageCoords(
                TAbstractPoint3<double>(x, y, z), px, false);
            return py::make_tuple(ok, px.x, px.y);
          },
          "(in front, x px, y px) of one object point; collinear.project "
          "does many at once.")
      .def("Imc2Phc",
           [](const CCrdCalculator& c, double x, double y) {
             const TAbstractPoint2<double> p = c.Imc2Phc({x, y});
             return py::make_tuple(p.x, p.y);
           })
      .def("Phc2Imc", [](const CCrdCalculator& c, double x, double y) {
        const TAbstractPoint2<double> p = c.Phc2Imc({x, y});
        return py::make_tuple(p.x, p.y);
      });

  py::class_<TAdjImage>(m,
                        "TAdjImage",
                        "Position from total-station rays: each ray a "
                        "station and a point along the measured direction, "
                        "with standard deviations (radians) of its "
                        "horizontal and vertical angle.")
      .def(py::init([](const Doubles& stations,
                       const Doubles& targets,
                       const Doubles& sigmas) {
             CheckShape(stations, 3, "stations");
             const long rows = static_cast<long>(stations.shape(0));
             CheckShape(targets, 3, "targets", rows);
             CheckShape(sigmas, 2, "sigmas", rows);
             const auto s = stations.unchecked<2>();
             const auto t = targets.unchecked<2>();
             const auto g = sigmas.unchecked<2>();
             const int n = static_cast<int>(s.shape(0));
             std::vector<TAbstractPoint3<double>> pts(2 * n);
             std::vector<TAbstractPoint2<double>> sig(n);
             for (int i = 0; i < n; ++i) {
               pts[2 * i] = {s(i, 0), s(i, 1), s(i, 2)};
               pts[2 * i + 1] = {t(i, 0), t(i, 1), t(i, 2)};
               sig[i] = {g(i, 0), g(i, 1)};
             }
             return TAdjImage(n, pts.data(), sig.data());
           }),
           py::arg("stations"),
           py::arg("targets"),
           py::arg("sigmas"))
      .def("IsValid", &TAdjImage::IsValid)
      .def_readonly("m_bValid", &TAdjImage::m_bValid)
      .def_readonly("m_nObs", &TAdjImage::m_nObs)
      .def("GetPosition",
           [](const TAdjImage& a) {
             const TAbstractPoint3<double> p = a.GetPosition();
             return py::make_tuple(p.x, p.y, p.z);
           })
      .def("GetCovarMatrix", [](const TAdjImage& a) {
        const covar c = a.GetCovarMatrix();
        Doubles out({3, 3});
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) out.mutable_data()[3 * i + j] = c(i, j);
        return out;
      });
}

}  // namespace

void BindClasses(py::module_& m) {
  BindPrimitives(m);
  BindSolvers(m);
  BindMore(m);
}

}  // namespace collinear::python
