// The trampolines of kelvix_callback: each finds its zol::Kelvix by instance index and
// calls its handler, on the thread the chain delivers on.

#include "sdk/kelvix_callback.h"

#include "kelvix/Kelvix.h"
#include "sdk/FrameThread.h"
#include "sdk/Log.h"

namespace kelvix_callback {

unsigned char instanceSlotUsed[kSlots] = {};
std::atomic<zol::Kelvix*> instanceTable[kSlots] = {};
std::atomic<void*> instanceUserArg[kSlots] = {};

zol::IRFrameMetadata toFrameMetadata(const FrameMetadataRecord* record) {
    zol::IRFrameMetadata meta{};
    if (record == nullptr) {
        meta.flagState = zol::FlagUnknown;
        return meta;
    }
    meta.recordSize = record->recordSize;
    meta.frameCounter = record->frameCounter;
    meta.hwFrameCounter = record->hwFrameCounter;
    meta.timestamp = record->timestamp;
    meta.frameNumber = record->frameNumber;
    const std::int32_t state = record->flagState;
    meta.flagState =
        state >= 0 && state <= 3 ? static_cast<zol::EnumFlagState>(state) : zol::FlagUnknown;
    meta.tempChip = record->tempChip;
    meta.tempFlag = record->tempFlag;
    meta.tempBox = record->tempBox;
    meta.digitalInputBits = static_cast<std::uint16_t>(record->digitalInputBits & 0xFFFFu);
    return meta;
}

namespace {

template <unsigned N>
zol::Kelvix* instance() {
    return instanceTable[N].load(std::memory_order_acquire);
}

template <unsigned N>
void flagStateN(std::int32_t state, double, std::uint32_t) {
    if (zol::Kelvix* k = instance<N>()) {
        const frame_thread::Scope scope(k);
        k->onFlagState(static_cast<unsigned>(state));
    }
}

template <unsigned N>
void thermalFrameInitN(FrameInitRecord* r) {
    zol::Kelvix* k = instance<N>();
    const frame_thread::Scope scope(k);  // this imager's frame, whichever thread runs it
    if (k != nullptr && r != nullptr) {
        k->onThermalFrameInit(r->width, r->height, r->bitCount, r->avgTimePerFrame);
    }
}

template <unsigned N>
void thermalFrameN(FrameDoneRecord* r) {
    zol::Kelvix* k = instance<N>();
    const frame_thread::Scope scope(k);
    if (k != nullptr && r != nullptr) {
        k->onThermalFrame(r->pixels, toFrameMetadata(r->metadata));
    }
}

template <unsigned N>
void visibleFrameInitN(FrameInitRecord* r) {
    zol::Kelvix* k = instance<N>();
    const frame_thread::Scope scope(k);
    if (k == nullptr || r == nullptr) {
        return;
    }
    if (static_cast<std::int32_t>(r->width) > 0 && static_cast<std::int32_t>(r->height) > 0) {
        k->onVisibleFrameInit(r->width, r->height);
    } else {
        KLOG_DEBUG("invalid frame size caught");
    }
}

template <unsigned N>
void visibleFrameN(FrameDoneRecord* r) {
    zol::Kelvix* k = instance<N>();
    const frame_thread::Scope scope(k);
    if (k != nullptr && r != nullptr) {
        k->onVisibleFrame(reinterpret_cast<unsigned char*>(r->pixels),
                          toFrameMetadata(r->metadata));
    }
}

template <unsigned N>
void snapshotEventN(SnapshotRecord* r) {
    zol::Kelvix* k = instance<N>();
    const frame_thread::Scope scope(k);
    if (k != nullptr && r != nullptr) {
        k->onSnapshotEvent(r->temperatures, r->energy, reinterpret_cast<unsigned char*>(r->visible),
                           toFrameMetadata(r->metadata));
    }
}

template <unsigned N>
void processExitN() {
    if (zol::Kelvix* k = instance<N>()) {
        const frame_thread::Scope scope(k);
        k->onProcessExit();
    }
}

}  // namespace

#define KELVIX_TRAMPOLINES(table, type, fn)                                                  \
    const type table[kSlots] = {fn<0>, fn<1>, fn<2>,  fn<3>,  fn<4>,  fn<5>,  fn<6>,  fn<7>, \
                                fn<8>, fn<9>, fn<10>, fn<11>, fn<12>, fn<13>, fn<14>, fn<15>};

KELVIX_TRAMPOLINES(flagState, FlagStateCallback, flagStateN)
KELVIX_TRAMPOLINES(thermalFrameInit, FrameInitCallback, thermalFrameInitN)
KELVIX_TRAMPOLINES(thermalFrame, FrameDoneCallback, thermalFrameN)
KELVIX_TRAMPOLINES(visibleFrameInit, FrameInitCallback, visibleFrameInitN)
KELVIX_TRAMPOLINES(visibleFrame, FrameDoneCallback, visibleFrameN)
KELVIX_TRAMPOLINES(snapshotEvent, SnapshotTrampoline, snapshotEventN)
KELVIX_TRAMPOLINES(processExit, ProcessExitTrampoline, processExitN)

}  // namespace kelvix_callback
