// The per-instance trampolines the chain calls (16 per family) and the process-wide
// instance tables. They run on whatever thread the chain delivers on.

#pragma once

#include <atomic>
#include <cstdint>

#include "imgproc/ImageProcessing.h"
#include "imgproc/OpFlag.h"
#include "kelvix/IRFrameMetadata.h"

namespace zol {
class Kelvix;
}

// The chain calls plain function pointers without context; each imager instance index has its
// own function in every family below, which finds its instance in the process-wide table.
namespace kelvix_callback {

constexpr unsigned kSlots = 16;

// Process-wide instance tables, indexed by instance index. The slot table belongs to the
// constructing thread; the other two are read by whichever thread the chain delivers on.
extern unsigned char instanceSlotUsed[kSlots];
extern std::atomic<zol::Kelvix*> instanceTable[kSlots];
extern std::atomic<void*> instanceUserArg[kSlots];

using SnapshotTrampoline = void (*)(SnapshotRecord*);
using ProcessExitTrampoline = void (*)();

extern const FlagStateCallback flagState[kSlots];
extern const FrameInitCallback thermalFrameInit[kSlots];
extern const FrameDoneCallback thermalFrame[kSlots];
extern const FrameInitCallback visibleFrameInit[kSlots];
extern const FrameDoneCallback visibleFrame[kSlots];
extern const SnapshotTrampoline snapshotEvent[kSlots];
extern const ProcessExitTrampoline processExit[kSlots];

// The callbacks' view of the chain's metadata record; flag states above 3 become 4.
zol::IRFrameMetadata toFrameMetadata(const FrameMetadataRecord* record);

}  // namespace kelvix_callback
