#include <collinear/calculator/calc_distortion_blocks.h>

#include <algorithm>
#include <cstdint>

#include <collinear/calculator/calc_distortion_portable.h>

namespace collinear::dist_search {
namespace {

// kBlock halvings with sides J (six bits, first halving on top) take
// [lo, lo + w] to lo + (w >> kBlock) J + a, width (w >> kBlock) + b; the
// table gives a and b from J, w mod 2^(kBlock + 1) and lo's parity.
constexpr int kBlock = 6;
constexpr int kBlockWidthBits = kBlock + 1;
constexpr int kBlockTableSize = 1 << (kBlock + kBlockWidthBits + 1);
constexpr std::int64_t kWidthMask = (1 << kBlockWidthBits) - 1;
constexpr int kOffsetMask = (1 << kBlock) - 1;  // a within an entry

// A bracket at least this many keys wide never has a midpoint equal to the
// previous one (the previous one is an end).
constexpr std::int64_t kMinWidthKeys = 2;
// Positions in a bracket as fixed-point fractions of kPositionBits bits.
constexpr int kPositionBits = 62;
constexpr double kPositionScale = 0x1p62;  // 2^kPositionBits

// Index: digits J, then the width residue, then lo's parity.
constexpr int TableIndex(int digits, std::int64_t width, std::int64_t lo) {
  return digits << (kBlockWidthBits + 1) |
         static_cast<int>(width & kWidthMask) << 1 | static_cast<int>(lo & 1);
}

struct BlockTable {
  std::uint8_t entry[kBlockTableSize];  // a | b << kBlock
};

constexpr BlockTable MakeBlockTable() {
  BlockTable t{};
  for (int idx = 0; idx < kBlockTableSize; ++idx) {
    const std::int64_t digits = idx >> (kBlockWidthBits + 1);
    const std::int64_t residue = (idx >> 1) & kWidthMask;
    const std::int64_t lo0 = idx & 1;
    // The representative: same residues, wide enough that every halving of
    // the block is a true one.
    const std::int64_t w = residue + (std::int64_t{1} << kBlockWidthBits);
    std::int64_t lo = lo0, hi = lo0 + w;
    for (int k = kBlock - 1; k >= 0; --k) {
      const std::int64_t sum = lo + hi;  // non-negative here
      const std::int64_t m = (sum >> 1) + (sum & (sum >> 1) & 1);
      if ((digits >> k) & 1)
        lo = m;
      else
        hi = m;
    }
    const std::int64_t q = w >> kBlock;
    const std::int64_t a = lo - lo0 - q * digits;
    const std::int64_t b = (hi - lo) - q;
    t.entry[idx] = static_cast<std::uint8_t>(a | b << kBlock);
  }
  return t;
}

constexpr BlockTable kBlockTable = MakeBlockTable();

}  // namespace

void HalveBlocks(std::int64_t& lo,
                 std::int64_t& hi,
                 std::int64_t kb,
                 std::int64_t ka,
                 std::int64_t tol_units) {
  const std::int64_t w0 = hi - lo;  // below 2^53
  // Halvings that keep the bracket at least `need` wide: wider than the
  // tolerance, and never stalled.
  const std::int64_t need = std::max<std::int64_t>(
      kMinWidthKeys, tol_units == INT64_MAX ? INT64_MAX : tol_units + 1);
  if ((w0 >> kBlock) < need) return;
  int levels = CountLeadingZeros(static_cast<std::uint64_t>(need)) -
               CountLeadingZeros(static_cast<std::uint64_t>(w0));
  if ((w0 >> levels) < need) --levels;
  // Sides guessed from where [kb, ka] lies in the bracket; a block is kept
  // only if its bracket still holds [kb, ka] strictly inside.
  const double inv_w0 = 1.0 / static_cast<double>(w0);
  auto position = [&](std::int64_t k) {
    k = std::min(std::max(k, lo - 1), hi + 1);
    const double u = static_cast<double>(k - lo) * inv_w0;
    return u <= 0.0  ? std::int64_t{0}
           : u < 1.0 ? static_cast<std::int64_t>(u * kPositionScale)
                     : (std::int64_t{1} << kPositionBits) - 1;
  };
  std::int64_t u_lo = position(kb);
  const std::int64_t u_hi = position(ka);
  // The leading bits on which the two positions agree.
  constexpr int kSpareBits = 64 - kPositionBits;
  const int common =
      CountLeadingZeros(static_cast<std::uint64_t>((u_lo ^ u_hi) | 1)) -
      kSpareBits;
  const int blocks = std::min(levels, common + kBlock) / kBlock;
  u_lo <<= kSpareBits;  // the first side in the top bit
  std::int64_t l = lo, w = w0;
  for (int b = 0; b < blocks; ++b) {
    const int digits =
        static_cast<int>(static_cast<std::uint64_t>(u_lo) >> (64 - kBlock));
    u_lo =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(u_lo) << kBlock);
    const std::uint8_t e = kBlockTable.entry[TableIndex(digits, w, l)];
    const std::int64_t q = w >> kBlock;
    const std::int64_t l_next = l + q * digits + (e & kOffsetMask);
    const std::int64_t w_next = q + (e >> kBlock);
    if (!(l_next < kb && ka < l_next + w_next)) break;
    l = l_next;
    w = w_next;
  }
  lo = l;
  hi = l + w;
}

}  // namespace collinear::dist_search
