// Halving blocks: several halvings of a key bracket at once, from a table.
// Library-internal.
#ifndef COLLINEAR_CALCULATOR_CALC_DISTORTION_BLOCKS_H_
#define COLLINEAR_CALCULATOR_CALC_DISTORTION_BLOCKS_H_

#include <cstdint>

namespace collinear::dist_search {

// Runs, in blocks of a few at a time, the first halvings of the key bracket
// [lo, hi] (one binade, one sign, see calc_distortion_keys.h) whose side is
// certain: midpoints below kb become the low end, above ka the high end.
// Leaves [lo, hi] exactly where the bisection would be after them, and
// stops before any halving that could end the bisection (a narrow bracket,
// a stalled midpoint, a midpoint inside [kb, ka]); the caller goes on
// halving by halving. May do nothing.
void HalveBlocks(std::int64_t& lo,
                 std::int64_t& hi,
                 std::int64_t kb,
                 std::int64_t ka,
                 std::int64_t tol_units);

}  // namespace collinear::dist_search

#endif  // COLLINEAR_CALCULATOR_CALC_DISTORTION_BLOCKS_H_
