#include "imgproc/OpMetadata.h"

#include <algorithm>

OpMetadata::OpMetadata(OpBase* predecessor, SharedParameterBlock* shared)
    : OpBase(predecessor, 3, L"# Metadata", shared) {}

HRESULT OpMetadata::init(OpBase* predecessor) {
    if (predecessor == nullptr || predecessor->frame == nullptr) {
        return E_POINTER;
    }
    return allocateLikePredecessor(predecessor, predecessor->frame->format->contentKind);
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
    FrameMetadataRecord* m = frame->metadata;

    if (m->tempChip == -100.0f) {
        m->tempChip = defaultChipTemp;
    }
    if (m->tempBox == -100.0f) {
        m->tempBox = defaultBoxTemp;
    }
    if (m->tempFlag == -100.0f) {
        m->tempFlag = defaultFlagTemp;
    }
    refreshConfiguration();
    // Only channels both configured and present in this record exist for this frame.
    const unsigned analogChannels = std::min<unsigned>(analogCount, m->analogCount);
    for (unsigned j = 0; j < analogChannels; ++j) {
        if (m->analog(j) == 0xFFFF) {
            m->setAnalog(j, j < keptAnalogValues.size() ? keptAnalogValues[j] : 0);
        }
    }
    if (m->digitalInputBits == 0xFFFFFFFFu) {
        m->digitalInputBits = keptDigitalBits;
    }

    lastChipTemp = m->tempChip;
    lastBoxTemp = m->tempBox;
    lastFlagTemp = m->tempFlag;
    lastOpticsTemp = m->tempOptics;
    lastHwFrameCounter = m->hwFrameCounter;
    lastHeaderWord = m->headerWord;
    for (unsigned j = 0; j < analogChannels; ++j) {
        lastAnalogValues[j] = m->analog(j);
    }
    lastDigitalWord = m->digitalInputBits;
    lastTimestamp = m->timestamp;
    lastFlagState = m->flagState;

    const PifConfigRecord* pif = shared_ != nullptr ? shared_->pifConfig : nullptr;
    if (pif == nullptr || shared_ == nullptr) {
        return S_OK;
    }
    const bool digitalInvert = pif->diLowActive != 0;
    for (unsigned i = 0; i < digitalCount; ++i) {
        const PifConfigEntry* e = pif->entry(i);
        if (e == nullptr) {
            break;
        }
        // The word has 32 bits; further channels read as 0.
        const bool bit = i < 32 ? ((lastDigitalWord >> i) & 1u) != 0 : false;
        const int slot = stateSlot(e->mode);
        switch (e->mode) {
            case 2:
            case 4:
                if (bit != inputStates[slot]) {
                    inputStates[slot] = bit;
                    if (digitalCallback) {
                        digitalCallback(0, bit != digitalInvert, static_cast<std::uint16_t>(i));
                    }
                }
                break;
            case 3:
                if (bit != inputStates[slot]) {
                    inputStates[slot] = bit;
                    shared_->pifSnapshotRequest |= static_cast<std::uint8_t>(bit != digitalInvert);
                }
                break;
            case 7:
                if (bit != inputStates[slot]) {
                    inputStates[slot] = bit;
                    shared_->secondTrigger |= static_cast<std::uint8_t>(bit != digitalInvert);
                }
                break;
            case 8:
                shared_->inputLevel = bit ? 1 : 0;
                break;
            default:
                break;
        }
    }
    const bool analogInvert = pif->aiOpenIfLower != 0;
    for (unsigned j = 0; j < analogChannels; ++j) {
        const PifConfigEntry* e = pif->entry(digitalCount + j);
        if (e == nullptr) {
            break;
        }
        const bool a = pif->aiFlagThreshold < m->analog(j);
        const int slot = stateSlot(e->mode);
        switch (e->mode) {
            case 2:
            case 4:
                if (a != inputStates[slot]) {
                    inputStates[slot] = a;
                    if (analogCallback) {
                        analogCallback(0, a != analogInvert, static_cast<std::uint16_t>(j));
                    }
                }
                break;
            case 3:
                if (a != inputStates[slot]) {
                    inputStates[slot] = a;
                    shared_->pifSnapshotRequest |= static_cast<std::uint8_t>(a != analogInvert);
                }
                break;
            case 7:
                if (a != inputStates[slot]) {
                    inputStates[slot] = a;
                    shared_->secondTrigger |= static_cast<std::uint8_t>(a != analogInvert);
                }
                shared_->inputLevel = a ? 1 : 0;
                break;
            case 8:
                shared_->inputLevel = a ? 1 : 0;
                break;
            default:
                break;
        }
    }
    return S_OK;
}
