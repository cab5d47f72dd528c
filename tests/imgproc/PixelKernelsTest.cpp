// The per-pixel loops of the instruction set in force (KELVIX_SIMD selects it; CTest runs this
// suite once per set) against plain 64-bit arithmetic, on values at the edges of what each
// loop accepts and on lengths that leave every kind of tail.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "imgproc/OpBase.h"
#include "imgproc/PixelKernels.h"

namespace {

constexpr std::size_t kLengths[] = {0, 1, 7, 8, 15, 33, 64, 1001};

// Gains whose high halves fill 8 bits and offsets that fill 16, the edges first.
TEST(PixelKernels, GainOffsetEqualsTheWideProductAtItsLimits) {
    const std::int32_t gainLimit = (1 << 23) - 1, limit = (1 << 24) - 1;
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int32_t> gains(-gainLimit, gainLimit);
    std::uniform_int_distribution<std::int32_t> values(INT16_MIN, INT16_MAX);
    for (std::size_t n : kLengths) {
        std::vector<std::int16_t> in(n), offset(n), out(n);
        std::vector<std::int8_t> high(n);
        std::vector<std::uint16_t> low(n);
        std::vector<std::int32_t> gain(n);
        for (std::size_t i = 0; i < n; ++i) {
            // The extreme inputs, gains and offsets, and low halves with the top bit set.
            in[i] = static_cast<std::int16_t>(i % 5 == 0 ? INT16_MIN : values(rng));
            gain[i] = i % 7 == 0 ? gainLimit : i % 7 == 1 ? -gainLimit - 1 : gains(rng);
            offset[i] = static_cast<std::int16_t>(i % 3 == 0 ? INT16_MAX : values(rng));
            high[i] = static_cast<std::int8_t>(gain[i] >> 16);
            low[i] = static_cast<std::uint16_t>(gain[i] & 0xFFFF);
        }
        for (std::int32_t add : {-limit, 0, 4321, limit}) {
            pixel::gainOffset(in.data(), high.data(), low.data(), offset.data(), add, -3000, 20479,
                              out.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                const std::int64_t v = ((std::int64_t{in[i]} * gain[i]) >> 16) + offset[i] + add;
                ASSERT_EQ(out[i], std::clamp<std::int64_t>(v, -3000, 20479)) << n << " " << i;
            }
        }
    }
}

// Gains within half of one whole number, from -128 to 128, to the edges of that half.
TEST(PixelKernels, GainOffsetNearEqualsTheWideProduct) {
    const std::int32_t limit = (1 << 24) - 1;
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::int32_t> spread(-0x8000, 0x7FFF);
    std::uniform_int_distribution<std::int32_t> values(INT16_MIN, INT16_MAX);
    for (std::int32_t whole : {-128, -1, 0, 1, 2, 127, 128}) {
        for (std::size_t n : kLengths) {
            std::vector<std::int16_t> in(n), offset(n), out(n);
            std::vector<std::uint16_t> low(n);
            std::vector<std::int32_t> gain(n);
            for (std::size_t i = 0; i < n; ++i) {
                in[i] = static_cast<std::int16_t>(i % 5 == 0 ? INT16_MIN : values(rng));
                const std::int32_t d = i % 7 == 0 ? 0x7FFF : i % 7 == 1 ? -0x8000 : spread(rng);
                gain[i] = whole * 65536 + d;
                offset[i] = static_cast<std::int16_t>(i % 3 == 0 ? INT16_MAX : values(rng));
                low[i] = static_cast<std::uint16_t>(gain[i] & 0xFFFF);
            }
            for (std::int32_t add : {-limit, 0, 4321, limit}) {
                pixel::gainOffsetNear(in.data(), static_cast<std::int16_t>(whole), low.data(),
                                      offset.data(), add, -3000, 20479, out.data(), n);
                for (std::size_t i = 0; i < n; ++i) {
                    const std::int64_t v =
                        ((std::int64_t{in[i]} * gain[i]) >> 16) + offset[i] + add;
                    ASSERT_EQ(out[i], std::clamp<std::int64_t>(v, -3000, 20479))
                        << whole << " " << n << " " << i;
                }
            }
        }
    }
}

// The statistics as the flag image's definition states them, in 64 bits.
pixel::FlagStatistics reference(const std::vector<std::int16_t>& in,
                                const std::vector<std::int32_t>& gains,
                                const std::vector<std::uint8_t>& mask, std::int64_t loE,
                                std::int64_t hiE) {
    pixel::FlagStatistics s;
    for (std::size_t p = 0; p < in.size(); ++p) {
        if (mask[p] == 0) {
            continue;
        }
        const std::int64_t v = static_cast<std::uint16_t>(in[p]), w = gains[p];
        const std::int64_t lo = w != 0 ? v + loE * 65536 / w : v;
        const std::int64_t hi = w != 0 ? v + hiE * 65536 / w : v;
        s.minLo = std::min(s.minLo, lo);
        s.maxHi = std::max(s.maxHi, hi);
        if (hi > 13632 && lo > 3404) {
            ++s.hotCount;
            if (s.hottest < 0 || hi > s.hottestHi) {
                s.hottest = static_cast<std::int32_t>(p), s.hottestHi = hi, s.hottestLo = lo;
            }
        } else if (lo <= 3404) {
            ++s.coldCount;
            if (s.coldest < 0 || lo < s.coldestLo) {
                s.coldest = static_cast<std::int32_t>(p), s.coldestLo = lo, s.coldestHi = hi;
            }
        } else {
            ++s.normalCount;
            s.normalSum += v;
        }
    }
    return s;
}

auto fields(const pixel::FlagStatistics& s) {
    return std::make_tuple(s.minLo, s.maxHi, s.hotCount, s.coldCount, s.normalCount, s.normalSum,
                           s.hottest, s.hottestLo, s.hottestHi, s.coldest, s.coldestLo,
                           s.coldestHi);
}

TEST(PixelKernels, FlagStatisticsMatchTheirDefinition) {
    std::mt19937 rng(5);
    struct Case {
        std::int64_t loE, hiE;
        std::int32_t gainLo, gainHi;      // gains drawn from this range (and some 0)...
        std::vector<std::int32_t> gains;  // ...or from these
        std::int32_t level = 8000;        // of most pixels
        std::size_t n = 0;                // one length more
    };
    const Case cases[] = {
        {-4000, 6000, 100000, 160000, {}},   // a camera's flag image
        {-4000, 6000, -160000, 160000, {}},  // gains of both signs
        {-4000, 6000, 0, 0, {65536, -131072, 32768, 8192000, -1048576, 5 << 16}},  // divisors
        // Quotients near 2^20 whose float estimates lie across a whole number from them; the
        // extremes come from 107.
        {-1000, 1000, 0, 0, {107, 185, -42, -47, -107}},
        {-4000, 6000, 1, 3, {}},  // quotients beyond 2^30: the exact loop
        // Quotients beyond 2^21 from odd gains, for one bound or both: the exact loop.
        {-4001, 6007, 0, 0, {3, 5, 7}},
        {-1, 6007, 0, 0, {3, 5, 7}},
        {-4001, 1, 0, 0, {3, 5, 7}},
        {-4000, 6000, 0, 0, {9 << 20, 65536}},         // high halves beyond 8 bits: the same
        {INT64_C(1) << 40, 6000, 100000, 160000, {}},  // a numerator beyond 2^53
        // Normal pixels near full scale, more than 2^15 per vector lane: sums beyond 2^31.
        {-102000, -102000, 100000, 160000, {}, 60000, 600001},
    };
    for (const Case& c : cases) {
        std::vector<std::size_t> lengths(std::begin(kLengths), std::end(kLengths));
        if (c.n != 0) {
            lengths = {c.n};
        }
        for (std::size_t n : lengths) {
            std::vector<std::int16_t> in(n);
            std::vector<std::int32_t> gain(n);
            std::vector<std::int16_t> high(n);
            std::vector<std::uint16_t> low(n);
            std::vector<std::uint8_t> mask(n, 1);
            BitPlane bits;
            bits.assign(n, false);
            std::uniform_int_distribution<std::int32_t> gains(c.gainLo, c.gainHi);
            for (std::size_t p = 0; p < n; ++p) {
                // Flag-image counts with hot and cold outliers, repeated extremes and the full
                // unsigned range.
                const std::int32_t v = p % 11 == 3   ? 60000
                                       : p % 13 == 5 ? 10
                                                     : c.level + rng() % 50;
                in[p] = static_cast<std::int16_t>(p % 17 == 9 ? 65535 : v);
                gain[p] = p % 9 == 4        ? 0
                          : c.gains.empty() ? gains(rng)
                                            : c.gains[rng() % c.gains.size()];
                high[p] = static_cast<std::int16_t>(gain[p] >> 16);
                low[p] = static_cast<std::uint16_t>(gain[p] & 0xFFFF);
                mask[p] = p % 10 != 7 && p / 16 % 7 != 3;  // single pixels and whole vectors off
                if (mask[p] != 0) {
                    bits.set(p);
                }
            }
            const pixel::FlagStatistics want = reference(in, gain, mask, c.loE, c.hiE);
            const bool compact = std::all_of(gain.begin(), gain.end(), [](std::int32_t g) {
                return g >= -(1 << 23) && g < (1 << 23);
            });
            const std::vector<std::int8_t> high8(high.begin(), high.end());
            const pixel::FlagStatistics got =
                pixel::flagStatistics(in.data(), high.data(), compact ? high8.data() : nullptr,
                                      low.data(), bits.data(), c.loE, c.hiE, 3404, 13632, n);
            SCOPED_TRACE(testing::Message() << c.loE << " " << c.gainLo << " n " << n);
            EXPECT_EQ(fields(got), fields(want));
        }
    }
    // One gain in a whole vector: each bound is the extreme, so that a quotient the floats
    // estimate across a whole number from it must be put right.
    for (std::int32_t w = 100000; w < 104000; w += 13) {
        const std::vector<std::int16_t> in(16, 30000), high(16, static_cast<std::int16_t>(w >> 16));
        const std::vector<std::uint16_t> low(16, static_cast<std::uint16_t>(w & 0xFFFF));
        const std::vector<std::int32_t> gain(16, w);
        const std::vector<std::uint8_t> mask(16, 1);
        BitPlane all;
        all.assign(16, true);
        const std::vector<std::int8_t> high8(high.begin(), high.end());
        const pixel::FlagStatistics got =
            pixel::flagStatistics(in.data(), high.data(), high8.data(), low.data(), all.data(),
                                  -102001, 51001, 3404, 13632, 16);
        ASSERT_EQ(fields(got), fields(reference(in, gain, mask, -102001, 51001))) << w;
    }
}

}  // namespace

// Every form of the lookup that the instruction set in force allows, on every 16-bit value at
// every alignment and tail, gives the table's entry; the form taken is one of them.
TEST(PixelKernels, EveryLookupFormGivesTheTableEntry) {
    std::vector<std::int16_t> table(pixel::kTableEntries), in(pixel::kTableEntries + 3);
    for (std::size_t u = 0; u < table.size(); ++u) {
        table[u] = static_cast<std::int16_t>(u * 40503u >> 3);
        in[u + 3] = static_cast<std::int16_t>(u * 7919u);  // every value once, scattered
    }
    const pixel::LookupForm forms[] = {pixel::LookupForm::Scalar, pixel::LookupForm::Packed,
                                       pixel::LookupForm::Avx2Gather,
                                       pixel::LookupForm::Avx512Gather};
    EXPECT_TRUE(pixel::runs(pixel::lookupForm()));
    for (pixel::LookupForm form : forms) {
        if (!pixel::runs(form)) {
            continue;
        }
        for (std::size_t skip : {0, 1, 3}) {
            for (std::size_t n :
                 {std::size_t{0}, std::size_t{5}, std::size_t{37}, pixel::kTableEntries}) {
                std::vector<std::int16_t> out(n + 1, 77);
                pixel::lookupIn(form, in.data() + skip, table.data(), out.data(), n);
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_EQ(out[i], table[static_cast<std::uint16_t>(in[skip + i])])
                        << pixel::lookupFormName(form) << " at " << i << " of " << n;
                }
                EXPECT_EQ(out[n], 77) << pixel::lookupFormName(form);  // nothing past the end
            }
        }
    }
}
