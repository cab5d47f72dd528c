// The per-pixel loops of the correction, flag and energy operators, one body per
// instruction set; run on the thread that runs the operator.

#pragma once

#include <cstddef>
#include <cstdint>

// The chain's per-pixel loops, built for several instruction sets. The widest set the machine
// runs is chosen once, at the first call; the environment variable KELVIX_SIMD (baseline, avx2,
// avx512) forces a narrower one. Every variant gives the same results bit for bit.
namespace pixel {

enum class Isa { Baseline, Avx2, Avx512 };

Isa activeIsa();
bool isSupported(Isa isa);
const char* isaName(Isa isa);
// False for a name that is no instruction set.
bool isaFromName(const char* name, Isa* isa);

// Entries of an expanded lookup table: one per 16-bit value, indexed by the value taken as
// unsigned. The table must lie on a 4-byte boundary.
constexpr std::size_t kTableEntries = 65536;

// out := in - offsets (16-bit, wrapping).
void subtract(const std::int16_t* in, const std::int16_t* offsets, std::int16_t* out,
              std::size_t n);
// copy := in, and sums := in (first) or sums += in (wrapping), each 32-bit sum held as its
// 16-bit halves: sumLow (the sum modulo 2^16, taken signed) and sumHigh.
void sumFrame(const std::int16_t* in, std::int16_t* copy, std::int16_t* sumLow,
              std::int16_t* sumHigh, std::size_t n, bool first);
// out := in limited to [lo, hi].
void clamp(const std::int16_t* in, std::int16_t* out, std::size_t n, std::int16_t lo,
           std::int16_t hi);
// The first closed-flag frame's statistics. Over the pixels whose bit is set in maskBits (a
// BitPlane's bytes), with v = in taken as unsigned and the gain w = gainHigh[i] * 65536 +
// gainLow[i] (gainHigh8: the same high halves in 8 bits when they all fit, else null; gainHigh
// may be null when gainHigh8 is not):
// lo := v + loE * 65536 / w and hi := v + hiE * 65536 / w (integer quotients; both v when w is
// 0); hot where hi > hotLimit and lo > coldLimit, cold where lo <= coldLimit, normal
// otherwise. The hottest pixel has the largest hi, the coldest the smallest lo, the first in
// raster order among equals (-1: none).
struct FlagStatistics {
    std::int64_t minLo = INT64_MAX, maxHi = INT64_MIN;
    std::int32_t hotCount = 0, coldCount = 0, normalCount = 0;
    std::int32_t hottest = -1, coldest = -1;
    std::int64_t hottestLo = 0, hottestHi = 0, coldestLo = 0, coldestHi = 0;
    std::int64_t normalSum = 0;  // of the normal pixels' v
};
FlagStatistics flagStatistics(const std::int16_t* in, const std::int16_t* gainHigh,
                              const std::int8_t* gainHigh8, const std::uint16_t* gainLow,
                              const std::uint8_t* maskBits, std::int64_t loE, std::int64_t hiE,
                              std::int32_t coldLimit, std::int32_t hotLimit, std::size_t n);

// out := ((in * gain) >> 16) + offsets + add limited to [lo, hi], with gain = gainHigh * 65536 +
// gainLow (16.16): the 32-bit products and sums cannot overflow while the gains' high halves fit
// 8 bits, the offsets 16 and |add| stays below 2^24 (the caller's to check).
void gainOffset(const std::int16_t* in, const std::int8_t* gainHigh, const std::uint16_t* gainLow,
                const std::int16_t* offsets, std::int32_t add, std::int16_t lo, std::int16_t hi,
                std::int16_t* out, std::size_t n);
// The same where every gain lies within half of the whole `high` (|high| <= 128): gain =
// high * 65536 + gainLow with gainLow's bits taken signed.
void gainOffsetNear(const std::int16_t* in, std::int16_t high, const std::uint16_t* gainLow,
                    const std::int16_t* offsets, std::int32_t add, std::int16_t lo, std::int16_t hi,
                    std::int16_t* out, std::size_t n);
// out := table[in taken as unsigned]; `table` holds kTableEntries entries.
void lookup(const std::int16_t* in, const std::int16_t* table, std::int16_t* out, std::size_t n);

// The forms of the lookup. Unlike the other loops, which take the instruction set above, the
// lookup takes the form that runs fastest on this processor (timed once, at its first use),
// among those the instruction set allows.
// Scalar: four energies read at once, looked up and stored one by one; Packed: the four results
// stored as one word.
enum class LookupForm { Scalar, Packed, Avx2Gather, Avx512Gather };
LookupForm lookupForm();
const char* lookupFormName(LookupForm form);
// Whether the instruction set in force allows the form.
bool runs(LookupForm form);
// The lookup in a given form (for comparisons; a form that does not run falls back to Scalar).
void lookupIn(LookupForm form, const std::int16_t* in, const std::int16_t* table, std::int16_t* out,
              std::size_t n);

// While it lives, this thread's float arithmetic takes subnormal inputs and results as zero
// (flush-to-zero, denormals-are-zero); the modes in force before come back after. Arithmetic on
// subnormals then costs what it costs on normal values. Only for work whose results no value
// below the smallest normal float can change.
class ScopedFlushSubnormals {
  public:
    ScopedFlushSubnormals();
    ~ScopedFlushSubnormals();
    ScopedFlushSubnormals(const ScopedFlushSubnormals&) = delete;
    ScopedFlushSubnormals& operator=(const ScopedFlushSubnormals&) = delete;

  private:
    unsigned saved_ = 0;
};

}  // namespace pixel
