// The control device Kelvix uses when frames come from a raw recording (IRFileReader) instead of
// a camera.
#pragma once

#include <cstdint>

#include "device/InertControlDevice.h"

// Control device for frames that come from a recording instead of a camera: it answers the
// identity it was given, keeps the trims and chip-heating values it is told (so their getters
// answer them back), reports no device temperatures (-100) and ignores camera-only commands.
class PlaybackControlDevice : public InertControlDevice {
  public:
    PlaybackControlDevice(std::uint32_t serial, std::uint16_t hwRevision, std::uint16_t fwRevision);
    ~PlaybackControlDevice() override;

    // The identity it was given.
    std::uint32_t GetSerialNumber() override;
    std::uint16_t GetFWRevision() override;
    std::uint16_t GetHWRevision() override;

    // Values kept as told.
    std::int32_t SetTecEnable(bool on) override;
    void GetTecEnable(bool* on) override;
    void SetTempTec(float degC) override;
    void GetTempTec(float* degC) override;
    void SetTec_A(std::uint16_t value) override;
    void GetTec_A(std::uint16_t* value) override;
    std::int32_t SetTec_B(std::uint16_t value) override;
    void GetTec_B(std::uint16_t* value) override;
    std::int32_t SetTec_C(std::uint16_t value) override;
    void GetTec_C(std::uint16_t* value) override;
    std::int32_t SetTec_D(std::uint16_t value) override;
    void GetTec_D(std::uint16_t* value) override;
    void SetSkim(std::uint16_t value) override;
    void SetSkim_Ext(std::uint16_t value) override;
    void GetSkim(std::uint16_t* value) override;
    void SetSkim_Adjust(std::uint16_t value) override;
    void GetSkim_Adjust(std::uint16_t* value) override;
    void SetFid(std::uint16_t value) override;
    void SetFid_Ext(std::uint16_t value) override;
    void GetFid(std::uint16_t* value) override;
    void SetFid_Adjust(std::uint16_t value) override;
    void GetFid_Adjust(std::uint16_t* value) override;
    std::int32_t SetBiasEnable(bool on) override;
    void GetBiasEnable(bool* on) override;

  private:
    std::uint32_t serial_;
    std::uint16_t hwRevision_;
    std::uint16_t fwRevision_;
    bool tecEnable_ = false;
    float tempTec_ = 0.0f;
    std::uint16_t tecA_ = 0, tecB_ = 0, tecC_ = 0, tecD_ = 0;
    std::uint16_t skim_ = 0, skimAdjust_ = 0;
    std::uint16_t fid_ = 0, fidAdjust_ = 0;
    bool biasEnable_ = false;
};
