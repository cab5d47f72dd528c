// The per-pixel loops (pixel::) behind OpCorr, OpFlag and the energy operators, with the
// choice of instruction set made once at the first call.

#include "imgproc/PixelKernels.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define KELVIX_X86 1
#else
#define KELVIX_X86 0
#endif

namespace pixel {

namespace {

// Plain loops: each instruction-set variant below inlines them and the compiler vectorises
// them for its own registers.
#define KELVIX_INLINE inline __attribute__((always_inline))

KELVIX_INLINE void subtractLoop(const std::int16_t* __restrict in,
                                const std::int16_t* __restrict offsets,
                                std::int16_t* __restrict out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::int16_t>(in[i] - offsets[i]);
    }
}

KELVIX_INLINE void sumFrameLoop(const std::int16_t* __restrict in, std::int16_t* __restrict copy,
                                std::int16_t* __restrict sumLow, std::int16_t* __restrict sumHigh,
                                std::size_t n, bool first) {
    if (first) {
        for (std::size_t i = 0; i < n; ++i) {
            copy[i] = in[i];
            sumLow[i] = in[i];
            sumHigh[i] = static_cast<std::int16_t>(in[i] >> 15);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            copy[i] = in[i];
            // Wrapping, as the halves hold it.
            const std::uint32_t s = (static_cast<std::uint32_t>(sumHigh[i]) << 16 |
                                     static_cast<std::uint16_t>(sumLow[i])) +
                                    static_cast<std::uint32_t>(in[i]);
            sumLow[i] = static_cast<std::int16_t>(s);
            sumHigh[i] = static_cast<std::int16_t>(s >> 16);
        }
    }
}

KELVIX_INLINE void clampLoop(const std::int16_t* __restrict in, std::int16_t* __restrict out,
                             std::size_t n, std::int16_t lo, std::int16_t hi) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::int16_t v = in[i];
        out[i] = v < lo ? lo : (v > hi ? hi : v);
    }
}

// The reference of the vector versions, and their tail.
template <typename High, typename Offset>
KELVIX_INLINE void gainOffsetLoop(const std::int16_t* __restrict in,
                                  const High* __restrict gainHigh,
                                  const std::uint16_t* __restrict gainLow,
                                  const Offset* __restrict offsets, std::int32_t add,
                                  std::int16_t lo, std::int16_t hi, std::int16_t* __restrict out,
                                  std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t f = in[i];
        // (f * gain) >> 16 exactly: the high part's product is whole, the low part's floors.
        std::int32_t v = f * gainHigh[i] + ((f * static_cast<std::int32_t>(gainLow[i])) >> 16) +
                         offsets[i] + add;
        v = v < lo ? lo : (v > hi ? hi : v);
        out[i] = static_cast<std::int16_t>(v);
    }
}

// With every gain within half of a whole `high`: gain = high * 65536 + gainLow taken signed.
KELVIX_INLINE void gainOffsetNearLoop(const std::int16_t* __restrict in, std::int16_t high,
                                      const std::int16_t* __restrict gainLow,
                                      const std::int16_t* __restrict offsets, std::int32_t add,
                                      std::int16_t lo, std::int16_t hi,
                                      std::int16_t* __restrict out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t f = in[i];
        std::int32_t v = f * high + ((f * gainLow[i]) >> 16) + offsets[i] + add;
        v = v < lo ? lo : (v > hi ? hi : v);
        out[i] = static_cast<std::int16_t>(v);
    }
}

// Pixels i.. of either form of the gain.
template <bool Near>
KELVIX_INLINE void gainOffsetTail(const std::int16_t* in, const std::int8_t* gainHigh,
                                  std::int16_t high, const std::uint16_t* gainLow,
                                  const std::int16_t* offsets, std::int32_t add, std::int16_t lo,
                                  std::int16_t hi, std::int16_t* out, std::size_t i,
                                  std::size_t n) {
    if constexpr (Near) {
        // The low halves' bits read as signed.
        gainOffsetNearLoop(in + i, high, reinterpret_cast<const std::int16_t*>(gainLow) + i,
                           offsets + i, add, lo, hi, out + i, n - i);
    } else {
        gainOffsetLoop(in + i, gainHigh + i, gainLow + i, offsets + i, add, lo, hi, out + i, n - i);
    }
}

// One pixel of the statistics, exactly: the reference of the vector versions, their tail and
// their fallback.
KELVIX_INLINE void flagStatisticsStep(FlagStatistics& s, std::int32_t p, std::int16_t in,
                                      std::int32_t gain, std::int64_t loE, std::int64_t hiE,
                                      std::int32_t coldLimit, std::int32_t hotLimit) {
    const std::int64_t v = static_cast<std::uint16_t>(in);
    const std::int64_t w = gain;
    std::int64_t lo = v, hi = v;
    if (w != 0) {
        lo = v + loE * 65536 / w;
        hi = v + hiE * 65536 / w;
    }
    s.minLo = std::min(s.minLo, lo);
    s.maxHi = std::max(s.maxHi, hi);
    if (hi > hotLimit && lo > coldLimit) {
        ++s.hotCount;
        if (s.hottest < 0 || hi > s.hottestHi) {
            s.hottest = p, s.hottestHi = hi, s.hottestLo = lo;
        }
    } else if (lo <= coldLimit) {
        ++s.coldCount;
        if (s.coldest < 0 || lo < s.coldestLo) {
            s.coldest = p, s.coldestLo = lo, s.coldestHi = hi;
        }
    } else {
        s.normalSum += v;
        ++s.normalCount;
    }
}

// mask: a BitPlane's bytes.
template <typename High>
KELVIX_INLINE void flagStatisticsLoop(FlagStatistics& s, std::size_t from, const std::int16_t* in,
                                      const High* gainHigh, const std::uint16_t* gainLow,
                                      const std::uint8_t* mask, std::int64_t loE, std::int64_t hiE,
                                      std::int32_t coldLimit, std::int32_t hotLimit,
                                      std::size_t n) {
    for (std::size_t i = from; i < n; ++i) {
        if ((mask[i / 8] >> (i % 8) & 1) != 0) {
            flagStatisticsStep(s, static_cast<std::int32_t>(i), in[i],
                               gainHigh[i] * 65536 + gainLow[i], loE, hiE, coldLimit, hotLimit);
        }
    }
}

// The vector versions keep per lane what the exact loop keeps, and merge the lanes at the end.
// The AVX2 one computes the quotients as quotients of doubles, which truncate exactly as the
// integer division does while the numerators stay below 2^53 and the quotients below 2^30:
// the rounding error then stays below the distance to the next whole quotient.
constexpr double kQuotientLimit = 1 << 30;

bool vectorStatisticsFit(std::int64_t loE, std::int64_t hiE) {
    constexpr std::int64_t kLimit = std::int64_t{1} << 36;  // 65536 * kLimit < 2^53
    return loE > -kLimit && loE < kLimit && hiE > -kLimit && hiE < kLimit;
}

// Per-lane state of the vector versions, merged into the exact loop's state.
struct LaneStatistics {
    static constexpr int kLanes = 16;
    LaneStatistics() {
        // Lanes a version does not use count nothing.
        std::fill(minLo, minLo + kLanes, INT32_MAX), std::fill(maxHi, maxHi + kLanes, INT32_MIN);
        std::fill(hotIndex, hotIndex + kLanes, -1), std::fill(coldIndex, coldIndex + kLanes, -1);
    }
    std::int32_t minLo[kLanes], maxHi[kLanes];
    std::int32_t hotBest[kLanes] = {}, hotIndex[kLanes], hotLo[kLanes] = {};
    std::int32_t coldBest[kLanes] = {}, coldIndex[kLanes], coldHi[kLanes] = {};
    std::int64_t counts[3];  // hot, cold, normal
    std::int64_t normalSum;

    FlagStatistics merge() const {
        FlagStatistics s;
        s.hotCount = static_cast<std::int32_t>(counts[0]);
        s.coldCount = static_cast<std::int32_t>(counts[1]);
        s.normalCount = static_cast<std::int32_t>(counts[2]);
        s.normalSum = normalSum;
        for (int l = 0; l < kLanes; ++l) {
            if (s.hotCount + s.coldCount + s.normalCount > 0) {
                s.minLo = std::min<std::int64_t>(s.minLo, minLo[l]);
                s.maxHi = std::max<std::int64_t>(s.maxHi, maxHi[l]);
            }
            if (hotIndex[l] >= 0 && (s.hottest < 0 || hotBest[l] > s.hottestHi ||
                                     (hotBest[l] == s.hottestHi && hotIndex[l] < s.hottest))) {
                s.hottest = hotIndex[l], s.hottestHi = hotBest[l], s.hottestLo = hotLo[l];
            }
            if (coldIndex[l] >= 0 && (s.coldest < 0 || coldBest[l] < s.coldestLo ||
                                      (coldBest[l] == s.coldestLo && coldIndex[l] < s.coldest))) {
                s.coldest = coldIndex[l], s.coldestLo = coldBest[l], s.coldestHi = coldHi[l];
            }
        }
        return s;
    }
};

// Four lookups per 64-bit word, which the compiler keeps scalar (its emulated gathers are
// slower).
KELVIX_INLINE void lookupLoop(const std::int16_t* __restrict in,
                              const std::int16_t* __restrict table, std::int16_t* __restrict out,
                              std::size_t n) {
    std::size_t i = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; i + 4 <= n; i += 4) {
        std::uint64_t x;
        std::memcpy(&x, in + i, sizeof x);
        auto at = [&](int k) {
            return static_cast<std::uint64_t>(static_cast<std::uint16_t>(table[(x >> k) & 0xFFFF]))
                   << k;
        };
        const std::uint64_t y = at(0) | at(16) | at(32) | at(48);
        std::memcpy(out + i, &y, sizeof y);
    }
#endif
    for (; i < n; ++i) {
        out[i] = table[static_cast<std::uint16_t>(in[i])];
    }
}

// The plain loops of one instruction set.
#define KELVIX_PLAIN_LOOPS(Set, Target)                                                         \
    Target void subtract##Set(const std::int16_t* in, const std::int16_t* offsets,              \
                              std::int16_t* out, std::size_t n) {                               \
        subtractLoop(in, offsets, out, n);                                                      \
    }                                                                                           \
    Target void sumFrame##Set(const std::int16_t* in, std::int16_t* copy, std::int16_t* sumLow, \
                              std::int16_t* sumHigh, std::size_t n, bool first) {               \
        sumFrameLoop(in, copy, sumLow, sumHigh, n, first);                                      \
    }                                                                                           \
    Target void clamp##Set(const std::int16_t* in, std::int16_t* out, std::size_t n,            \
                           std::int16_t lo, std::int16_t hi) {                                  \
        clampLoop(in, out, n, lo, hi);                                                          \
    }

KELVIX_PLAIN_LOOPS(Baseline, )
// Four energies read as one word, each looked up and stored on its own: no packing on the way
// out. Kept scalar, since the compiler's emulated gathers are slower.
#if defined(__clang__)
#define KELVIX_SCALAR
#else
#define KELVIX_SCALAR __attribute__((optimize("no-tree-vectorize")))
#endif
KELVIX_SCALAR void lookupScalar(const std::int16_t* __restrict in,
                                const std::int16_t* __restrict table, std::int16_t* __restrict out,
                                std::size_t n) {
    std::size_t i = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#if defined(__clang__)
#pragma clang loop vectorize(disable)
#endif
    for (; i + 4 <= n; i += 4) {
        std::uint64_t x;
        std::memcpy(&x, in + i, sizeof x);
        out[i] = table[x & 0xFFFF];
        out[i + 1] = table[(x >> 16) & 0xFFFF];
        out[i + 2] = table[(x >> 32) & 0xFFFF];
        out[i + 3] = table[x >> 48];
    }
#endif
    for (; i < n; ++i) {
        out[i] = table[static_cast<std::uint16_t>(in[i])];
    }
}
void lookupBaseline(const std::int16_t* in, const std::int16_t* table, std::int16_t* out,
                    std::size_t n) {
    lookupLoop(in, table, out, n);
}
bool flagStatisticsBaseline(const std::int16_t* in, const std::int8_t* gainHigh,
                            const std::uint16_t* gainLow, const std::uint8_t* mask,
                            std::int64_t loE, std::int64_t hiE, std::int32_t coldLimit,
                            std::int32_t hotLimit, std::size_t n, FlagStatistics* out) {
    flagStatisticsLoop(*out, 0, in, gainHigh, gainLow, mask, loE, hiE, coldLimit, hotLimit, n);
    return true;
}

#if KELVIX_X86
// The high half of in * gainLow with gainLow unsigned: the signed high half, plus `in` where
// the sign bit of gainLow stands for 65536.
KELVIX_INLINE __m128i mulhiUnsigned(__m128i f, __m128i gl) {
    return _mm_add_epi16(_mm_mulhi_epi16(f, gl), _mm_and_si128(f, _mm_srai_epi16(gl, 15)));
}

// Both forms of the gain: per pixel (gainHigh, gainLow unsigned) or, Near, the one whole
// `high` with gainLow taken signed.
template <bool Near>
void gainOffsetSse2(const std::int16_t* in, const std::int8_t* gainHigh, std::int16_t high,
                    const std::uint16_t* gainLow, const std::int16_t* offsets, std::int32_t add,
                    std::int16_t lo, std::int16_t hi, std::int16_t* out, std::size_t n) {
    const __m128i one = _mm_set1_epi16(1);
    const __m128i a = _mm_set1_epi32(add);
    const __m128i vlo = _mm_set1_epi16(lo);
    const __m128i vhi = _mm_set1_epi16(hi);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i gl = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gainLow + i));
        const __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(offsets + i));
        __m128i gh, h;
        if constexpr (Near) {
            gh = _mm_set1_epi16(high);
            h = _mm_mulhi_epi16(f, gl);
        } else {
            const __m128i g8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(gainHigh + i));
            gh = _mm_srai_epi16(_mm_unpacklo_epi8(g8, g8), 8);
            h = mulhiUnsigned(f, gl);
        }
        // f * gh + offset per pixel in 32 bits, then the low part's high half added.
        __m128i s0 = _mm_madd_epi16(_mm_unpacklo_epi16(f, o), _mm_unpacklo_epi16(gh, one));
        __m128i s1 = _mm_madd_epi16(_mm_unpackhi_epi16(f, o), _mm_unpackhi_epi16(gh, one));
        s0 = _mm_add_epi32(s0, _mm_srai_epi32(_mm_unpacklo_epi16(h, h), 16));
        s1 = _mm_add_epi32(s1, _mm_srai_epi32(_mm_unpackhi_epi16(h, h), 16));
        __m128i v = _mm_packs_epi32(_mm_add_epi32(s0, a), _mm_add_epi32(s1, a));
        v = _mm_min_epi16(_mm_max_epi16(v, vlo), vhi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    }
    gainOffsetTail<Near>(in, gainHigh, high, gainLow, offsets, add, lo, hi, out, i, n);
}

void gainOffsetBaseline(const std::int16_t* in, const std::int8_t* gainHigh,
                        const std::uint16_t* gainLow, const std::int16_t* offsets, std::int32_t add,
                        std::int16_t lo, std::int16_t hi, std::int16_t* out, std::size_t n) {
    gainOffsetSse2<false>(in, gainHigh, 0, gainLow, offsets, add, lo, hi, out, n);
}
void gainOffsetNearBaseline(const std::int16_t* in, std::int16_t high, const std::uint16_t* gainLow,
                            const std::int16_t* offsets, std::int32_t add, std::int16_t lo,
                            std::int16_t hi, std::int16_t* out, std::size_t n) {
    gainOffsetSse2<true>(in, nullptr, high, gainLow, offsets, add, lo, hi, out, n);
}

#define KELVIX_AVX2 __attribute__((target("avx2")))
#define KELVIX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

KELVIX_PLAIN_LOOPS(Avx2, KELVIX_AVX2)

// Four quotients of doubles (0 without a gain); false when one does not fit.
KELVIX_AVX2 KELVIX_INLINE bool quotientsAvx2(__m256d w, __m256d ln, __m256d hn, __m128i* ql,
                                             __m128i* qh) {
    const __m256d limit = _mm256_set1_pd(kQuotientLimit);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m256d has = _mm256_cmp_pd(w, _mm256_setzero_pd(), _CMP_NEQ_OQ);
    const __m256d d = _mm256_blendv_pd(_mm256_set1_pd(1.0), w, has);
    const __m256d l = _mm256_and_pd(_mm256_div_pd(ln, d), has);
    const __m256d h = _mm256_and_pd(_mm256_div_pd(hn, d), has);
    const __m256d inside =
        _mm256_and_pd(_mm256_cmp_pd(_mm256_and_pd(l, magnitude), limit, _CMP_LT_OQ),
                      _mm256_cmp_pd(_mm256_and_pd(h, magnitude), limit, _CMP_LT_OQ));
    *ql = _mm256_cvttpd_epi32(l);
    *qh = _mm256_cvttpd_epi32(h);
    return _mm256_movemask_pd(inside) == 0xF;
}

KELVIX_AVX2 KELVIX_INLINE void store8(std::int32_t* to, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), v);
}

KELVIX_AVX2 bool flagStatisticsAvx2(const std::int16_t* in, const std::int8_t* gainHigh,
                                    const std::uint16_t* gainLow, const std::uint8_t* mask,
                                    std::int64_t loE, std::int64_t hiE, std::int32_t coldLimit,
                                    std::int32_t hotLimit, std::size_t n, FlagStatistics* out) {
    const __m256d ln = _mm256_set1_pd(static_cast<double>(loE * 65536));
    const __m256d hn = _mm256_set1_pd(static_cast<double>(hiE * 65536));
    const __m256i coldV = _mm256_set1_epi32(coldLimit), hotV = _mm256_set1_epi32(hotLimit);
    const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi32(-1);
    __m256i minLo = _mm256_set1_epi32(INT32_MAX), maxHi = _mm256_set1_epi32(INT32_MIN);
    __m256i hotBest = maxHi, hotIndex = ones, hotLo = zero;
    __m256i coldBest = minLo, coldIndex = ones, coldHi = zero;
    __m256i hot = zero, cold = zero, normal = zero, sum0 = zero, sum1 = zero;
    __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i laneBits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8, index = _mm256_add_epi32(index, _mm256_set1_epi32(8))) {
        const __m256i gains = _mm256_add_epi32(
            _mm256_slli_epi32(_mm256_cvtepi8_epi32(
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(gainHigh + i))),
                              16),
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(gainLow + i))));
        __m128i ql0, qh0, ql1, qh1;
        if (!quotientsAvx2(_mm256_cvtepi32_pd(_mm256_castsi256_si128(gains)), ln, hn, &ql0, &qh0) ||
            !quotientsAvx2(_mm256_cvtepi32_pd(_mm256_extracti128_si256(gains, 1)), ln, hn, &ql1,
                           &qh1)) {
            return false;
        }
        const __m256i v =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
        const __m256i lo = _mm256_add_epi32(v, _mm256_set_m128i(ql1, ql0));
        const __m256i hi = _mm256_add_epi32(v, _mm256_set_m128i(qh1, qh0));
        // The byte of these eight pixels' bits, one bit per lane.
        const __m256i counted = _mm256_cmpeq_epi32(
            _mm256_and_si256(_mm256_set1_epi32(mask[i / 8]), laneBits), laneBits);
        const __m256i aboveCold = _mm256_cmpgt_epi32(lo, coldV);
        const __m256i isHot =
            _mm256_and_si256(counted, _mm256_and_si256(_mm256_cmpgt_epi32(hi, hotV), aboveCold));
        const __m256i isCold = _mm256_andnot_si256(aboveCold, counted);
        const __m256i isNormal = _mm256_andnot_si256(_mm256_or_si256(isHot, isCold), counted);
        minLo = _mm256_blendv_epi8(minLo, _mm256_min_epi32(minLo, lo), counted);
        maxHi = _mm256_blendv_epi8(maxHi, _mm256_max_epi32(maxHi, hi), counted);
        hot = _mm256_sub_epi32(hot, isHot);
        cold = _mm256_sub_epi32(cold, isCold);
        normal = _mm256_sub_epi32(normal, isNormal);
        const __m256i vn = _mm256_and_si256(v, isNormal);
        sum0 = _mm256_add_epi64(sum0, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(vn)));
        sum1 = _mm256_add_epi64(sum1, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(vn, 1)));
        const __m256i hotter = _mm256_and_si256(isHot, _mm256_cmpgt_epi32(hi, hotBest));
        hotBest = _mm256_blendv_epi8(hotBest, hi, hotter);
        hotIndex = _mm256_blendv_epi8(hotIndex, index, hotter);
        hotLo = _mm256_blendv_epi8(hotLo, lo, hotter);
        const __m256i colder = _mm256_and_si256(isCold, _mm256_cmpgt_epi32(coldBest, lo));
        coldBest = _mm256_blendv_epi8(coldBest, lo, colder);
        coldIndex = _mm256_blendv_epi8(coldIndex, index, colder);
        coldHi = _mm256_blendv_epi8(coldHi, hi, colder);
    }
    LaneStatistics lanes;
    store8(lanes.minLo, minLo), store8(lanes.maxHi, maxHi);
    store8(lanes.hotBest, hotBest), store8(lanes.hotIndex, hotIndex), store8(lanes.hotLo, hotLo);
    store8(lanes.coldBest, coldBest), store8(lanes.coldIndex, coldIndex);
    store8(lanes.coldHi, coldHi);
    std::int32_t counts[3][8];
    store8(counts[0], hot), store8(counts[1], cold), store8(counts[2], normal);
    for (int k = 0; k < 3; ++k) {
        lanes.counts[k] = 0;
        for (int l = 0; l < 8; ++l) {
            lanes.counts[k] += counts[k][l];
        }
    }
    std::int64_t sums[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), _mm256_add_epi64(sum0, sum1));
    lanes.normalSum = sums[0] + sums[1] + sums[2] + sums[3];
    *out = lanes.merge();
    flagStatisticsLoop(*out, i, in, gainHigh, gainLow, mask, loE, hiE, coldLimit, hotLimit, n);
    return true;
}

// Gathers of the aligned 32-bit word that holds each entry, then the entry's half of it: a
// word at the entry itself would straddle cache lines for every other entry, and such loads
// are four times slower (a run of one value at such an entry slows the whole frame).
KELVIX_AVX2 KELVIX_INLINE __m256i lookup8Avx2(__m128i x, const int* words) {
    const __m256i index = _mm256_cvtepu16_epi32(x);
    const __m256i word = _mm256_i32gather_epi32(words, _mm256_srli_epi32(index, 1), 4);
    const __m256i shift = _mm256_slli_epi32(_mm256_and_si256(index, _mm256_set1_epi32(1)), 4);
    return _mm256_and_si256(_mm256_srlv_epi32(word, shift), _mm256_set1_epi32(0xFFFF));
}

template <bool Near>
KELVIX_AVX2 void gainOffset256(const std::int16_t* in, const std::int8_t* gainHigh,
                               std::int16_t high, const std::uint16_t* gainLow,
                               const std::int16_t* offsets, std::int32_t add, std::int16_t lo,
                               std::int16_t hi, std::int16_t* out, std::size_t n) {
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i a = _mm256_set1_epi32(add);
    const __m256i vlo = _mm256_set1_epi16(lo);
    const __m256i vhi = _mm256_set1_epi16(hi);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const __m256i gl = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(gainLow + i));
        const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets + i));
        __m256i gh, h = _mm256_mulhi_epi16(f, gl);
        if constexpr (Near) {
            gh = _mm256_set1_epi16(high);
        } else {
            gh = _mm256_cvtepi8_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(gainHigh + i)));
            h = _mm256_add_epi16(h, _mm256_and_si256(f, _mm256_srai_epi16(gl, 15)));
        }
        // Unpacks and pack work per 128-bit half, alike for every operand: the order holds.
        __m256i s0 = _mm256_madd_epi16(_mm256_unpacklo_epi16(f, o), _mm256_unpacklo_epi16(gh, one));
        __m256i s1 = _mm256_madd_epi16(_mm256_unpackhi_epi16(f, o), _mm256_unpackhi_epi16(gh, one));
        s0 = _mm256_add_epi32(s0, _mm256_srai_epi32(_mm256_unpacklo_epi16(h, h), 16));
        s1 = _mm256_add_epi32(s1, _mm256_srai_epi32(_mm256_unpackhi_epi16(h, h), 16));
        __m256i v = _mm256_packs_epi32(_mm256_add_epi32(s0, a), _mm256_add_epi32(s1, a));
        v = _mm256_min_epi16(_mm256_max_epi16(v, vlo), vhi);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
    }
    gainOffsetTail<Near>(in, gainHigh, high, gainLow, offsets, add, lo, hi, out, i, n);
}

KELVIX_AVX2 void gainOffsetAvx2(const std::int16_t* in, const std::int8_t* gainHigh,
                                const std::uint16_t* gainLow, const std::int16_t* offsets,
                                std::int32_t add, std::int16_t lo, std::int16_t hi,
                                std::int16_t* out, std::size_t n) {
    gainOffset256<false>(in, gainHigh, 0, gainLow, offsets, add, lo, hi, out, n);
}
KELVIX_AVX2 void gainOffsetNearAvx2(const std::int16_t* in, std::int16_t high,
                                    const std::uint16_t* gainLow, const std::int16_t* offsets,
                                    std::int32_t add, std::int16_t lo, std::int16_t hi,
                                    std::int16_t* out, std::size_t n) {
    gainOffset256<true>(in, nullptr, high, gainLow, offsets, add, lo, hi, out, n);
}

KELVIX_AVX2 void lookupAvx2(const std::int16_t* in, const std::int16_t* table, std::int16_t* out,
                            std::size_t n) {
    const int* words = reinterpret_cast<const int*>(table);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const __m256i lo = lookup8Avx2(_mm256_castsi256_si128(x), words);
        const __m256i hi = lookup8Avx2(_mm256_extracti128_si256(x, 1), words);
        // The pack works per 128-bit half: the permute puts the four quarters in order.
        const __m256i v = _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
    }
    lookupLoop(in + i, table, out + i, n - i);
}

// GCC 12 reads the placeholder operands of some AVX-512 intrinsics as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
KELVIX_PLAIN_LOOPS(Avx512, KELVIX_AVX512)

// The truncated quotients n / w of sixteen gains: n times a float reciprocal r of w (within
// 2^-22 of 1 / w) lies within one half of n / w while the quotient stays below 2^21 and the gain
// below 2^24 (exact as a float); the remainder n - c * w, exact in 32 bits as it lies within
// 2 |w| of 0, then puts the truncated product right: with n >= 0 it must lie in [0, |w|), with
// n < 0 in (-|w|, 0]. Lanes without a gain read 0. The caller checks that the quotient fits.
KELVIX_AVX512 KELVIX_INLINE __m512i quotients16(__m512i w, __m512 r, __mmask16 has,
                                                std::int64_t n) {
    const __m512 p = _mm512_maskz_mul_ps(has, _mm512_set1_ps(static_cast<float>(n)), r);
    __m512i c = _mm512_cvttps_epi32(p);
    const std::uint32_t nLow = static_cast<std::uint32_t>(static_cast<std::uint64_t>(n));
    std::int32_t low;
    std::memcpy(&low, &nLow, sizeof low);
    const __m512i rem = _mm512_sub_epi32(_mm512_set1_epi32(low), _mm512_mullo_epi32(c, w));
    const __m512i bound = _mm512_abs_epi32(w);
    const __m512i zero = _mm512_setzero_si512();
    // One step toward zero where under, away from it where over: +-1 with the sign of w / n.
    __m512i step = _mm512_or_si512(_mm512_srai_epi32(w, 31), _mm512_set1_epi32(1));
    __mmask16 under, over;
    if (n >= 0) {
        under = _mm512_cmplt_epi32_mask(rem, zero);
        over = _mm512_cmpge_epi32_mask(rem, bound);
    } else {
        under = _mm512_cmpgt_epi32_mask(rem, zero);
        over = _mm512_cmple_epi32_mask(rem, _mm512_sub_epi32(zero, bound));
        step = _mm512_sub_epi32(zero, step);
    }
    // Without a gain, p and so c are 0.
    c = _mm512_mask_sub_epi32(c, under & has, c, step);
    return _mm512_mask_add_epi32(c, over & has, c, step);
}

KELVIX_AVX512 bool flagStatisticsAvx512(const std::int16_t* in, const std::int8_t* gainHigh,
                                        const std::uint16_t* gainLow, const std::uint8_t* mask,
                                        std::int64_t loE, std::int64_t hiE, std::int32_t coldLimit,
                                        std::int32_t hotLimit, std::size_t n, FlagStatistics* out) {
    const std::int64_t ln = loE * 65536, hn = hiE * 65536;
    const __m512 nMax = _mm512_set1_ps(
        std::max(std::fabs(static_cast<float>(ln)), std::fabs(static_cast<float>(hn))));
    const __m512i coldV = _mm512_set1_epi32(coldLimit), hotV = _mm512_set1_epi32(hotLimit);
    const __m512i one = _mm512_set1_epi32(1);
    __m512i minLo = _mm512_set1_epi32(INT32_MAX), maxHi = _mm512_set1_epi32(INT32_MIN);
    __m512i hotBest = maxHi, hotIndex = _mm512_set1_epi32(-1), hotLo = _mm512_setzero_si512();
    __m512i coldBest = minLo, coldIndex = hotIndex, coldHi = hotLo;
    __m512i hot = _mm512_setzero_si512(), cold = hot, normal = hot, sum = hot;
    std::int64_t normalSum = 0;
    __mmask16 misfit = 0;  // gains or quotients the floats do not hold: the exact loop decides
    __m512i index = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16, index = _mm512_add_epi32(index, _mm512_set1_epi32(16))) {
        // Gains of 8-bit high halves are exact as floats.
        const __m512i w = _mm512_add_epi32(
            _mm512_slli_epi32(_mm512_cvtepi8_epi32(
                                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(gainHigh + i))),
                              16),
            _mm512_cvtepu16_epi32(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(gainLow + i))));
        const __mmask16 has = _mm512_test_epi32_mask(w, w);
        // 1 / w: the 14-bit estimate and one Newton step.
        const __m512 wf = _mm512_cvtepi32_ps(w);
        __m512 r = _mm512_rcp14_ps(wf);
        r = _mm512_mul_ps(r, _mm512_fnmadd_ps(wf, r, _mm512_set1_ps(2.0f)));
        // Both quotients below 2^21 (the larger numerator's bounds the other's).
        misfit |= _mm512_mask_cmp_ps_mask(has, _mm512_mul_ps(nMax, _mm512_abs_ps(r)),
                                          _mm512_set1_ps(1 << 21), _CMP_NLT_UQ);
        const __m512i ql = quotients16(w, r, has, ln);
        const __m512i qh = quotients16(w, r, has, hn);
        const __m512i v =
            _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)));
        const __m512i lo = _mm512_add_epi32(v, ql);
        const __m512i hi = _mm512_add_epi32(v, qh);
        __mmask16 counted;  // the two bytes of these sixteen pixels' bits
        std::memcpy(&counted, mask + i / 8, sizeof counted);
        const __mmask16 aboveCold = _mm512_mask_cmpgt_epi32_mask(counted, lo, coldV);
        const __mmask16 isHot = _mm512_mask_cmpgt_epi32_mask(aboveCold, hi, hotV);
        const __mmask16 isCold = counted & static_cast<__mmask16>(~aboveCold);
        const __mmask16 isNormal = aboveCold & static_cast<__mmask16>(~isHot);
        minLo = _mm512_mask_min_epi32(minLo, counted, minLo, lo);
        maxHi = _mm512_mask_max_epi32(maxHi, counted, maxHi, hi);
        hot = _mm512_mask_add_epi32(hot, isHot, hot, one);
        cold = _mm512_mask_add_epi32(cold, isCold, cold, one);
        normal = _mm512_mask_add_epi32(normal, isNormal, normal, one);
        sum = _mm512_mask_add_epi32(sum, isNormal, sum, v);
        if ((i / 16) % 32768 == 32767) {  // a lane's sum of 16-bit values stays in 31 bits
            normalSum += _mm512_reduce_add_epi64(
                _mm512_add_epi64(_mm512_cvtepu32_epi64(_mm512_castsi512_si256(sum)),
                                 _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(sum, 1))));
            sum = _mm512_setzero_si512();
        }
        if ((isHot | isCold) == 0) {
            continue;  // extremes are rare
        }
        const __mmask16 hotter = _mm512_mask_cmpgt_epi32_mask(isHot, hi, hotBest);
        hotBest = _mm512_mask_mov_epi32(hotBest, hotter, hi);
        hotIndex = _mm512_mask_mov_epi32(hotIndex, hotter, index);
        hotLo = _mm512_mask_mov_epi32(hotLo, hotter, lo);
        const __mmask16 colder = _mm512_mask_cmplt_epi32_mask(isCold, lo, coldBest);
        coldBest = _mm512_mask_mov_epi32(coldBest, colder, lo);
        coldIndex = _mm512_mask_mov_epi32(coldIndex, colder, index);
        coldHi = _mm512_mask_mov_epi32(coldHi, colder, hi);
    }
    if (misfit != 0) {
        return false;
    }
    LaneStatistics lanes;
    _mm512_storeu_si512(lanes.minLo, minLo), _mm512_storeu_si512(lanes.maxHi, maxHi);
    _mm512_storeu_si512(lanes.hotBest, hotBest), _mm512_storeu_si512(lanes.hotIndex, hotIndex);
    _mm512_storeu_si512(lanes.hotLo, hotLo), _mm512_storeu_si512(lanes.coldBest, coldBest);
    _mm512_storeu_si512(lanes.coldIndex, coldIndex), _mm512_storeu_si512(lanes.coldHi, coldHi);
    lanes.counts[0] = _mm512_reduce_add_epi32(hot);
    lanes.counts[1] = _mm512_reduce_add_epi32(cold);
    lanes.counts[2] = _mm512_reduce_add_epi32(normal);
    lanes.normalSum = normalSum + _mm512_reduce_add_epi64(_mm512_add_epi64(
                                      _mm512_cvtepu32_epi64(_mm512_castsi512_si256(sum)),
                                      _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(sum, 1))));
    *out = lanes.merge();
    flagStatisticsLoop(*out, i, in, gainHigh, gainLow, mask, loE, hiE, coldLimit, hotLimit, n);
    return true;
}

template <bool Near>
KELVIX_AVX512 void gainOffset512(const std::int16_t* in, const std::int8_t* gainHigh,
                                 std::int16_t high, const std::uint16_t* gainLow,
                                 const std::int16_t* offsets, std::int32_t add, std::int16_t lo,
                                 std::int16_t hi, std::int16_t* out, std::size_t n) {
    const __m512i one = _mm512_set1_epi16(1);
    const __m512i a = _mm512_set1_epi32(add);
    const __m512i vlo = _mm512_set1_epi16(lo);
    const __m512i vhi = _mm512_set1_epi16(hi);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m512i f = _mm512_loadu_si512(in + i);
        const __m512i gl = _mm512_loadu_si512(gainLow + i);
        const __m512i o = _mm512_loadu_si512(offsets + i);
        __m512i gh, h = _mm512_mulhi_epi16(f, gl);
        if constexpr (Near) {
            gh = _mm512_set1_epi16(high);
        } else {
            gh = _mm512_cvtepi8_epi16(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(gainHigh + i)));
            h = _mm512_add_epi16(h, _mm512_and_si512(f, _mm512_srai_epi16(gl, 15)));
        }
        __m512i s0 = _mm512_madd_epi16(_mm512_unpacklo_epi16(f, o), _mm512_unpacklo_epi16(gh, one));
        __m512i s1 = _mm512_madd_epi16(_mm512_unpackhi_epi16(f, o), _mm512_unpackhi_epi16(gh, one));
        s0 = _mm512_add_epi32(s0, _mm512_srai_epi32(_mm512_unpacklo_epi16(h, h), 16));
        s1 = _mm512_add_epi32(s1, _mm512_srai_epi32(_mm512_unpackhi_epi16(h, h), 16));
        __m512i v = _mm512_packs_epi32(_mm512_add_epi32(s0, a), _mm512_add_epi32(s1, a));
        v = _mm512_min_epi16(_mm512_max_epi16(v, vlo), vhi);
        _mm512_storeu_si512(out + i, v);
    }
    gainOffsetTail<Near>(in, gainHigh, high, gainLow, offsets, add, lo, hi, out, i, n);
}

KELVIX_AVX512 void gainOffsetAvx512(const std::int16_t* in, const std::int8_t* gainHigh,
                                    const std::uint16_t* gainLow, const std::int16_t* offsets,
                                    std::int32_t add, std::int16_t lo, std::int16_t hi,
                                    std::int16_t* out, std::size_t n) {
    gainOffset512<false>(in, gainHigh, 0, gainLow, offsets, add, lo, hi, out, n);
}
KELVIX_AVX512 void gainOffsetNearAvx512(const std::int16_t* in, std::int16_t high,
                                        const std::uint16_t* gainLow, const std::int16_t* offsets,
                                        std::int32_t add, std::int16_t lo, std::int16_t hi,
                                        std::int16_t* out, std::size_t n) {
    gainOffset512<true>(in, nullptr, high, gainLow, offsets, add, lo, hi, out, n);
}

// As lookupAvx2: aligned words, then the entry's half.
KELVIX_AVX512 void lookupAvx512(const std::int16_t* in, const std::int16_t* table,
                                std::int16_t* out, std::size_t n) {
    const __m512i one = _mm512_set1_epi32(1);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i index =
            _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)));
        const __m512i word = _mm512_i32gather_epi32(_mm512_srli_epi32(index, 1), table, 4);
        const __m512i shift = _mm512_slli_epi32(_mm512_and_si512(index, one), 4);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm512_cvtepi32_epi16(_mm512_srlv_epi32(word, shift)));
    }
    lookupLoop(in + i, table, out + i, n - i);
}

#pragma GCC diagnostic pop
#else
void gainOffsetBaseline(const std::int16_t* in, const std::int8_t* gainHigh,
                        const std::uint16_t* gainLow, const std::int16_t* offsets, std::int32_t add,
                        std::int16_t lo, std::int16_t hi, std::int16_t* out, std::size_t n) {
    gainOffsetLoop(in, gainHigh, gainLow, offsets, add, lo, hi, out, n);
}
void gainOffsetNearBaseline(const std::int16_t* in, std::int16_t high, const std::uint16_t* gainLow,
                            const std::int16_t* offsets, std::int32_t add, std::int16_t lo,
                            std::int16_t hi, std::int16_t* out, std::size_t n) {
    gainOffsetTail<true>(in, nullptr, high, gainLow, offsets, add, lo, hi, out, 0, n);
}
#endif

struct Kernels {
    decltype(&subtractBaseline) subtract;
    decltype(&sumFrameBaseline) sumFrame;
    decltype(&clampBaseline) clamp;
    decltype(&flagStatisticsBaseline) flagStatistics;
    decltype(&gainOffsetBaseline) gainOffset;
    decltype(&gainOffsetNearBaseline) gainOffsetNear;
};

Kernels kernelsFor(Isa isa) {
#if KELVIX_X86
    switch (isa) {
        case Isa::Avx512:
            return {subtractAvx512,       sumFrameAvx512,   clampAvx512,
                    flagStatisticsAvx512, gainOffsetAvx512, gainOffsetNearAvx512};
        case Isa::Avx2:
            return {subtractAvx2,       sumFrameAvx2,   clampAvx2,
                    flagStatisticsAvx2, gainOffsetAvx2, gainOffsetNearAvx2};
        case Isa::Baseline:
            break;
    }
#endif
    (void)isa;
    return {subtractBaseline,       sumFrameBaseline,   clampBaseline,
            flagStatisticsBaseline, gainOffsetBaseline, gainOffsetNearBaseline};
}

using LookupFn = decltype(&lookupBaseline);

LookupFn lookupFn(LookupForm form) {
    switch (form) {
        case LookupForm::Scalar:
            return lookupScalar;
#if KELVIX_X86
        case LookupForm::Avx2Gather:
            return lookupAvx2;
        case LookupForm::Avx512Gather:
            return lookupAvx512;
#endif
        default:
            break;
    }
    return lookupBaseline;
}

constexpr LookupForm kLookupForms[] = {LookupForm::Scalar, LookupForm::Packed,
                                       LookupForm::Avx2Gather, LookupForm::Avx512Gather};

// The arithmetic loops gain with every wider register, a lookup does not: gathers are slower
// than scalar loads on some processors and faster on others. So the lookup takes whichever of
// its forms runs fastest here, timed once on a frame shaped like an energy image (a gradient
// with noise); every form gives the same result.
LookupForm fastestLookup() {
    constexpr std::size_t kPixels = 1 << 16;
    std::vector<std::int16_t> table(kTableEntries), in(kPixels), out(kPixels);
    for (std::size_t u = 0; u < kTableEntries; ++u) {
        table[u] = static_cast<std::int16_t>(u * 7);
    }
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < kPixels; ++i) {
        noise = noise * 1664525u + 1013904223u;
        in[i] = static_cast<std::int16_t>(6000 + (i % 512) * 8 + (noise >> 26));
    }
    double best[4] = {0.0, 0.0, 0.0, 0.0};
    for (int round = 0; round < 7; ++round) {
        for (LookupForm form : kLookupForms) {
            if (!runs(form)) {
                continue;
            }
            const auto start = std::chrono::steady_clock::now();
            lookupFn(form)(in.data(), table.data(), out.data(), kPixels);
            const double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            double& b = best[static_cast<int>(form)];
            b = round == 0 ? t : std::min(b, t);
        }
    }
    LookupForm fastest = LookupForm::Scalar;
    for (LookupForm form : kLookupForms) {
        if (runs(form) && best[static_cast<int>(form)] < best[static_cast<int>(fastest)]) {
            fastest = form;
        }
    }
    return fastest;
}

const Kernels& kernels() {
    static const Kernels k = kernelsFor(activeIsa());
    return k;
}

LookupFn activeLookup() {
    static const LookupFn f = lookupFn(lookupForm());
    return f;
}

}  // namespace

// The control and status register's flush-to-zero (bit 15) and denormals-are-zero (bit 6).
ScopedFlushSubnormals::ScopedFlushSubnormals() {
#if KELVIX_X86
    saved_ = _mm_getcsr();
    _mm_setcsr(saved_ | 0x8040u);
#endif
}

ScopedFlushSubnormals::~ScopedFlushSubnormals() {
#if KELVIX_X86
    _mm_setcsr(saved_);
#endif
}

const char* lookupFormName(LookupForm form) {
    switch (form) {
        case LookupForm::Packed:
            return "scalar, packed";
        case LookupForm::Avx2Gather:
            return "avx2 gather";
        case LookupForm::Avx512Gather:
            return "avx512 gather";
        case LookupForm::Scalar:
            break;
    }
    return "scalar";
}

bool runs(LookupForm form) {
    switch (form) {
        case LookupForm::Avx2Gather:
            return KELVIX_X86 && activeIsa() >= Isa::Avx2;
        case LookupForm::Avx512Gather:
            return KELVIX_X86 && activeIsa() >= Isa::Avx512;
        default:
            return true;
    }
}

LookupForm lookupForm() {
    static const LookupForm form = fastestLookup();
    return form;
}

void lookupIn(LookupForm form, const std::int16_t* in, const std::int16_t* table, std::int16_t* out,
              std::size_t n) {
    lookupFn(runs(form) ? form : LookupForm::Scalar)(in, table, out, n);
}

bool isSupported(Isa isa) {
#if KELVIX_X86
    __builtin_cpu_init();
    switch (isa) {
        case Isa::Baseline:
            return true;
        case Isa::Avx2:
            return __builtin_cpu_supports("avx2");
        case Isa::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl");
    }
    return false;
#else
    return isa == Isa::Baseline;
#endif
}

const char* isaName(Isa isa) {
    switch (isa) {
        case Isa::Avx2:
            return "avx2";
        case Isa::Avx512:
            return "avx512";
        case Isa::Baseline:
            break;
    }
    return "baseline";
}

bool isaFromName(const char* name, Isa* isa) {
    for (Isa candidate : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
        if (name != nullptr && std::strcmp(name, isaName(candidate)) == 0) {
            *isa = candidate;
            return true;
        }
    }
    return false;
}

Isa activeIsa() {
    static const Isa active = [] {
        Isa widest = Isa::Baseline;
        for (Isa candidate : {Isa::Avx2, Isa::Avx512}) {
            if (isSupported(candidate)) {
                widest = candidate;
            }
        }
        Isa forced;
        if (isaFromName(std::getenv("KELVIX_SIMD"), &forced) && forced < widest) {
            return forced;
        }
        return widest;
    }();
    return active;
}

void subtract(const std::int16_t* in, const std::int16_t* offsets, std::int16_t* out,
              std::size_t n) {
    kernels().subtract(in, offsets, out, n);
}

void sumFrame(const std::int16_t* in, std::int16_t* copy, std::int16_t* sumLow,
              std::int16_t* sumHigh, std::size_t n, bool first) {
    kernels().sumFrame(in, copy, sumLow, sumHigh, n, first);
}

void clamp(const std::int16_t* in, std::int16_t* out, std::size_t n, std::int16_t lo,
           std::int16_t hi) {
    kernels().clamp(in, out, n, lo, hi);
}

void gainOffset(const std::int16_t* in, const std::int8_t* gainHigh, const std::uint16_t* gainLow,
                const std::int16_t* offsets, std::int32_t add, std::int16_t lo, std::int16_t hi,
                std::int16_t* out, std::size_t n) {
    kernels().gainOffset(in, gainHigh, gainLow, offsets, add, lo, hi, out, n);
}

void gainOffsetNear(const std::int16_t* in, std::int16_t high, const std::uint16_t* gainLow,
                    const std::int16_t* offsets, std::int32_t add, std::int16_t lo, std::int16_t hi,
                    std::int16_t* out, std::size_t n) {
    kernels().gainOffsetNear(in, high, gainLow, offsets, add, lo, hi, out, n);
}

void lookup(const std::int16_t* in, const std::int16_t* table, std::int16_t* out, std::size_t n) {
    activeLookup()(in, table, out, n);
}

FlagStatistics flagStatistics(const std::int16_t* in, const std::int16_t* gainHigh,
                              const std::int8_t* gainHigh8, const std::uint16_t* gainLow,
                              const std::uint8_t* mask, std::int64_t loE, std::int64_t hiE,
                              std::int32_t coldLimit, std::int32_t hotLimit, std::size_t n) {
    FlagStatistics s;
    if (gainHigh8 == nullptr || !vectorStatisticsFit(loE, hiE) ||
        !kernels().flagStatistics(in, gainHigh8, gainLow, mask, loE, hiE, coldLimit, hotLimit, n,
                                  &s)) {
        s = FlagStatistics();
        if (gainHigh != nullptr) {
            flagStatisticsLoop(s, 0, in, gainHigh, gainLow, mask, loE, hiE, coldLimit, hotLimit, n);
        } else {
            flagStatisticsLoop(s, 0, in, gainHigh8, gainLow, mask, loE, hiE, coldLimit, hotLimit,
                               n);
        }
    }
    return s;
}

}  // namespace pixel
