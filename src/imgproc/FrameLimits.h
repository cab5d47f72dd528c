// The largest frame any camera of the family delivers. The chain, the source operator and
// the readers of files and recordings refuse sizes beyond it, on whatever thread reads them.

#pragma once

#include <cstdint>

// The most pixels a frame of any camera of the family holds, with room to spare: the largest
// sensors have about a million pixels, and a raw frame adds a few header rows. Frame and
// sensor sizes that files, recordings or devices claim beyond this are refused, so that no
// such input makes the chain allocate more than a few hundred megabytes.
constexpr std::int64_t kMaxFramePixels = std::int64_t{1} << 21;
