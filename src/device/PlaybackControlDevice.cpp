// The playback device's identity and the values it keeps as told.
#include "device/PlaybackControlDevice.h"

PlaybackControlDevice::PlaybackControlDevice(std::uint32_t serial, std::uint16_t hwRevision,
                                             std::uint16_t fwRevision)
    : serial_(serial), hwRevision_(hwRevision), fwRevision_(fwRevision) {}

PlaybackControlDevice::~PlaybackControlDevice() = default;

std::uint32_t PlaybackControlDevice::GetSerialNumber() {
    return serial_;
}

std::uint16_t PlaybackControlDevice::GetFWRevision() {
    return fwRevision_;
}

std::uint16_t PlaybackControlDevice::GetHWRevision() {
    return hwRevision_;
}

std::int32_t PlaybackControlDevice::SetTecEnable(bool on) {
    tecEnable_ = on;
    return 0;
}

void PlaybackControlDevice::GetTecEnable(bool* on) {
    put(on, tecEnable_);
}

void PlaybackControlDevice::SetTempTec(float degC) {
    tempTec_ = degC;
}

void PlaybackControlDevice::GetTempTec(float* degC) {
    put(degC, tempTec_);
}

void PlaybackControlDevice::SetTec_A(std::uint16_t value) {
    tecA_ = value;
}

void PlaybackControlDevice::GetTec_A(std::uint16_t* value) {
    put(value, tecA_);
}

std::int32_t PlaybackControlDevice::SetTec_B(std::uint16_t value) {
    tecB_ = value;
    return 0;
}

void PlaybackControlDevice::GetTec_B(std::uint16_t* value) {
    put(value, tecB_);
}

std::int32_t PlaybackControlDevice::SetTec_C(std::uint16_t value) {
    tecC_ = value;
    return 0;
}

void PlaybackControlDevice::GetTec_C(std::uint16_t* value) {
    put(value, tecC_);
}

std::int32_t PlaybackControlDevice::SetTec_D(std::uint16_t value) {
    tecD_ = value;
    return 0;
}

void PlaybackControlDevice::GetTec_D(std::uint16_t* value) {
    put(value, tecD_);
}

void PlaybackControlDevice::SetSkim(std::uint16_t value) {
    skim_ = value;
}

void PlaybackControlDevice::SetSkim_Ext(std::uint16_t value) {
    skim_ = value;
}

void PlaybackControlDevice::GetSkim(std::uint16_t* value) {
    put(value, skim_);
}

void PlaybackControlDevice::SetSkim_Adjust(std::uint16_t value) {
    skimAdjust_ = value;
}

void PlaybackControlDevice::GetSkim_Adjust(std::uint16_t* value) {
    put(value, skimAdjust_);
}

void PlaybackControlDevice::SetFid(std::uint16_t value) {
    fid_ = value;
}

void PlaybackControlDevice::SetFid_Ext(std::uint16_t value) {
    fid_ = value;
}

void PlaybackControlDevice::GetFid(std::uint16_t* value) {
    put(value, fid_);
}

void PlaybackControlDevice::SetFid_Adjust(std::uint16_t value) {
    fidAdjust_ = value;
}

void PlaybackControlDevice::GetFid_Adjust(std::uint16_t* value) {
    put(value, fidAdjust_);
}

std::int32_t PlaybackControlDevice::SetBiasEnable(bool on) {
    biasEnable_ = on;
    return 0;
}

void PlaybackControlDevice::GetBiasEnable(bool* on) {
    put(on, biasEnable_);
}
