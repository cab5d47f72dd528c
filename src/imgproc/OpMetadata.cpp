// The metadata operator (OpMetadata), run on the capture thread; ImageProcessing reads its
// last-frame values between frames.

#include "imgproc/OpMetadata.h"

#include <algorithm>

OpMetadata::OpMetadata(OpBase* predecessor, SharedParameterBlock* shared)
    : OpBase(predecessor, 3, L"# Metadata", shared) {}

HRESULT OpMetadata::init(OpBase* predecessor) {
    if (predecessor == nullptr || predecessor->frame == nullptr) {
        return E_POINTER;
    }
    const HRESULT hr =
        allocateLikePredecessor(predecessor, predecessor->frame->format->contentKind);
    releaseOwnPixels();  // every frame hands on its input's pixels
    return hr;
}

int OpMetadata::stateSlot(std::int32_t mode) {
    switch (mode) {
        case 3:
            return 0;
        case 2:
            return 1;
        case 4:
            return 2;
        case 7:
            return 3;
        default:
            return -1;
    }
}

void OpMetadata::refreshConfiguration() {
    const PifConfigRecord* pif = shared_ != nullptr ? shared_->pifConfig : nullptr;
    const std::uint16_t configuredAnalog = pif != nullptr ? pif->analogInputCount : 0;
    const std::uint16_t configuredDigital = pif != nullptr ? pif->digitalInputCount : 0;
    if (configuredAnalog != analogCount || lastAnalogValues.size() != configuredAnalog) {
        analogCount = configuredAnalog;
        lastAnalogValues.assign(analogCount, 0);
    }
    digitalCount = configuredDigital;
}

HRESULT OpMetadata::compute() {
    frame->metadata = copyMetadata(predecessor_->frame->metadata, frame->metadata);
    passPixels();
    FrameMetadataRecord& m = *frame->metadata;
    refreshConfiguration();
    // Only channels both configured and present in this record exist for this frame.
    const unsigned analogChannels = std::min<unsigned>(analogCount, m.analogCount);
    substituteUnknowns(m, analogChannels);
    keepLastFrame(m, analogChannels);
    raiseInputEvents(m, analogChannels);
    return S_OK;
}

void OpMetadata::substituteUnknowns(FrameMetadataRecord& m, unsigned analogChannels) const {
    if (m.tempChip == -100.0f) {
        m.tempChip = defaultChipTemp;
    }
    if (m.tempBox == -100.0f) {
        m.tempBox = defaultBoxTemp;
    }
    if (m.tempFlag == -100.0f) {
        m.tempFlag = defaultFlagTemp;
    }
    for (unsigned j = 0; j < analogChannels; ++j) {
        if (m.analog(j) == 0xFFFF) {
            m.setAnalog(j, j < keptAnalogValues.size() ? keptAnalogValues[j] : 0);
        }
    }
    if (m.digitalInputBits == 0xFFFFFFFFu) {
        m.digitalInputBits = keptDigitalBits;
    }
}

void OpMetadata::keepLastFrame(const FrameMetadataRecord& m, unsigned analogChannels) {
    lastChipTemp = m.tempChip;
    lastBoxTemp = m.tempBox;
    lastFlagTemp = m.tempFlag;
    lastOpticsTemp = m.tempOptics;
    lastHwFrameCounter = m.hwFrameCounter;
    lastHeaderWord = m.headerWord;
    for (unsigned j = 0; j < analogChannels; ++j) {
        lastAnalogValues[j] = m.analog(j);
    }
    lastDigitalWord = m.digitalInputBits;
    lastTimestamp = m.timestamp;
    lastFlagState = m.flagState;
}

// The configuration's entries: the digital inputs first, then the analog ones.
void OpMetadata::raiseInputEvents(const FrameMetadataRecord& m, unsigned analogChannels) {
    const PifConfigRecord* pif = shared_ != nullptr ? shared_->pifConfig : nullptr;
    if (pif == nullptr) {
        return;
    }
    const unsigned channels = digitalCount + analogChannels;
    for (unsigned n = 0; n < channels; ++n) {
        const PifConfigEntry* e = pif->entry(n);
        if (e == nullptr) {
            break;
        }
        const bool digital = n < digitalCount;
        const unsigned channel = digital ? n : n - digitalCount;
        // The digital word has 32 bits; further channels read as 0. An analog input is set
        // above the threshold.
        const bool state = digital ? channel < 32 && ((lastDigitalWord >> channel) & 1u) != 0
                                   : pif->aiFlagThreshold < m.analog(channel);
        const bool invert = digital ? pif->diLowActive != 0 : pif->aiOpenIfLower != 0;
        onInput(e->mode, state, invert, digital ? digitalCallback : analogCallback,
                static_cast<std::uint16_t>(channel));
        if (!digital && e->mode == 7) {
            shared_->inputLevel = state ? 1 : 0;  // an analog trigger input sets the level too
        }
    }
}

void OpMetadata::onInput(std::int32_t mode, bool state, bool invert, const InputCallback& callback,
                         std::uint16_t channel) {
    const int slot = stateSlot(mode);
    switch (mode) {
        case 2:
        case 4:
            if (state != inputStates[slot]) {
                inputStates[slot] = state;
                if (callback) {
                    callback(0, state != invert, channel);
                }
            }
            break;
        case 3:
            if (state != inputStates[slot]) {
                inputStates[slot] = state;
                shared_->pifSnapshotRequest |= static_cast<std::uint8_t>(state != invert);
            }
            break;
        case 7:
            if (state != inputStates[slot]) {
                inputStates[slot] = state;
                shared_->secondTrigger |= static_cast<std::uint8_t>(state != invert);
            }
            break;
        case 8:
            shared_->inputLevel = state ? 1 : 0;
            break;
        default:
            break;
    }
}
