// Pairing of two named point lists, shared by the solvers that take control
// points in one system and their partners in another.
#ifndef COLLINEAR_ORIENTATION_POINT_MATCH_H_
#define COLLINEAR_ORIENTATION_POINT_MATCH_H_

#include <collinear/framework/array.h>
#include <collinear/framework/export.h>
#include <collinear/primitives/xyz.h>

namespace collinear {

// Pairs two point lists by exact, case-sensitive name: for each target point
// (in target order) takes the first source point of the same name. Clears and
// fills matched_target / matched_source (same order and count); returns the
// number of pairs. A name repeated in the target list pairs every occurrence
// with that same first source point, so the pair count may exceed the source
// count; nothing is dropped and no exception is raised. The outputs may alias
// the inputs.
COLLINEAR_API int MatchPointsByName(const CArray<CXYZ, CXYZ&>& target,
                                    const CArray<CXYZ, CXYZ&>& source,
                                    CArray<CXYZ, CXYZ&>& matched_target,
                                    CArray<CXYZ, CXYZ&>& matched_source);

}  // namespace collinear

#endif  // COLLINEAR_ORIENTATION_POINT_MATCH_H_
