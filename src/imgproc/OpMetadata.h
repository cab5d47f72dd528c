// The metadata operator (OpMetadata): defaults for unknown values, the last frame's values
// for queries, process-interface input events. Runs on the capture thread.

#pragma once

#include <functional>
#include <vector>

#include "imgproc/OpBase.h"
#include "kelvix/export.h"

// Replaces unknown metadata values by defaults, keeps the last frame's values for queries and
// turns process-interface input changes into callbacks and shared flags.
// Runs on the capture thread, as do analogCallback and digitalCallback (under the imager lock);
// its last-frame values are for reading between frames.
class OpMetadata : public OpBase {
  public:
    using InputCallback = std::function<void(std::uint32_t, bool, std::uint16_t)>;

    OpMetadata(OpBase* predecessor, SharedParameterBlock* shared);

    // init allocates an output like the predecessor's (at init); compute copies the frame,
    // fills in unknown values, keeps the last ones and raises input events (frame path).
    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override;

    float defaultFlagTemp = 35.0f;
    float defaultBoxTemp = 35.0f;
    float defaultChipTemp = 35.0f;
    float lastFlagTemp = -100.0f;
    float lastBoxTemp = -100.0f;
    float lastChipTemp = -100.0f;
    float lastOpticsTemp = 0.0f;
    std::uint32_t lastHwFrameCounter = 0;
    std::uint16_t analogCount = 0;
    std::uint16_t digitalCount = 0;
    std::vector<std::uint16_t> lastAnalogValues;
    std::uint32_t lastDigitalWord = 0;
    std::uint16_t lastHeaderWord = 0;
    std::int64_t lastTimestamp = 0;
    std::int32_t lastFlagState = 0;
    bool inputStates[4] = {false, false, false, false};  // modes 3, 2, 4, 7
    InputCallback analogCallback;
    InputCallback digitalCallback;
    // What replaces an unknown digital word (0xFFFFFFFF) and unknown analog values (0xFFFF).
    std::uint32_t keptDigitalBits = 0;
    std::vector<std::uint16_t> keptAnalogValues;  // per channel; 0 past its end

    // Reads the channel counts of the configuration again (after it changed).
    // From compute on the frame path, or between frames.
    void refreshConfiguration();

#ifdef KELVIX_DEBUG_BUILD
    // The debug library's accessors, all five between frames.
    // The last frame's timestamp as two 32-bit halves, low half first.
    KELVIX_DEBUG_API HRESULT getTimestamp(std::int32_t halves[2]) const;
    // The callbacks for changes of analog and digital inputs in modes 2 and 4 (E_POINTER for
    // an empty one), and the kept values that replace unknown inputs.
    KELVIX_DEBUG_API HRESULT setAnalogCallback(InputCallback callback);
    KELVIX_DEBUG_API HRESULT setDigitalCallback(InputCallback callback);
    KELVIX_DEBUG_API HRESULT setKeptDigitalBits(std::uint32_t bits);
    // E_INVALIDARG unless `index` is below the configured analog-input count.
    KELVIX_DEBUG_API HRESULT setKeptAnalogValue(std::uint8_t index, std::uint16_t value);
#endif

  private:
    // Mode 2, 3, 4 or 7 -> its slot in inputStates, else -1.
    static int stateSlot(std::int32_t mode);
    // The steps of compute after the copy.
    void substituteUnknowns(FrameMetadataRecord& m, unsigned analogChannels) const;
    void keepLastFrame(const FrameMetadataRecord& m, unsigned analogChannels);
    void raiseInputEvents(const FrameMetadataRecord& m, unsigned analogChannels);
    // One input's state in its mode: a callback on change (2, 4), a shared trigger raised on
    // change (3, 7), the shared level (8).
    void onInput(std::int32_t mode, bool state, bool invert, const InputCallback& callback,
                 std::uint16_t channel);
};
