// Test support, not installed: PROJ's own answer for a transformation, as
// cs2cs gives it, built apart from the library in a context of its own
// between the two CRSs with ellipsoidal heights, in PROJ's east-first order.
#ifndef COLLINEAR_GEO_PROJ_TEST_UTIL_H_
#define COLLINEAR_GEO_PROJ_TEST_UTIL_H_

#include <cmath>

#include <proj.h>
#include <proj_experimental.h>

namespace collinear::test_support {

class ProjReference {
 public:
  ProjReference(const char* from, const char* to)
      : ctx_(proj_context_create()) {
    PJ* from_2d = proj_create(ctx_, from);
    PJ* to_2d = proj_create(ctx_, to);
    PJ* from_3d =
        from_2d ? proj_crs_promote_to_3D(ctx_, nullptr, from_2d) : nullptr;
    PJ* to_3d = to_2d ? proj_crs_promote_to_3D(ctx_, nullptr, to_2d) : nullptr;
    PJ* raw = from_3d && to_3d ? proj_create_crs_to_crs_from_pj(
                                     ctx_, from_3d, to_3d, nullptr, nullptr)
                               : nullptr;
    op_ = raw ? proj_normalize_for_visualization(ctx_, raw) : nullptr;
    for (PJ* p : {raw, from_2d, to_2d, from_3d, to_3d})
      if (p) proj_destroy(p);
  }
  ~ProjReference() {
    if (op_) proj_destroy(op_);
    proj_context_destroy(ctx_);
  }
  ProjReference(const ProjReference&) = delete;
  ProjReference& operator=(const ProjReference&) = delete;

  bool ok() const { return op_ != nullptr; }
  // East (or longitude, degrees) first.
  PJ_XYZ operator()(double x, double y, double z) const {
    return proj_trans(op_, PJ_FWD, proj_coord(x, y, z, HUGE_VAL)).xyz;
  }

 private:
  PJ_CONTEXT* ctx_;
  PJ* op_ = nullptr;
};

}  // namespace collinear::test_support

#endif  // COLLINEAR_GEO_PROJ_TEST_UTIL_H_
