// The HID half of a simulated camera's state (SimCamera::hid). SimHid reads and writes it under
// the camera's mutex, on whichever thread calls the HID layer; tests set its faults directly.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

// The HID side of a simulated camera: what enumeration shows, what the camera answers, its
// serial flash and firmware memory, and the faults a test can inject. Guarded by the owning
// SimCamera's mutex.
struct SimHidState {
    // Enumeration.
    std::uint16_t vendorId = 0x0403;
    std::uint16_t productId = 0xDE37;
    bool hasSerial = true;
    std::wstring serialString;  // empty: the decimal serial number
    std::wstring manufacturer = L"Kelvix";
    std::wstring product = L"Kelvix Thermal Camera";
    int interfaceNumber = 0;

    // Faults.
    bool inUse = false;             // another process holds the device
    bool failOpen = false;          // every open fails
    bool unplugged = false;         // gone: enumeration skips it, writes and reads fail
    int silentReads = 0;            // the next n reads that wait time out (at once)
    int answersBeforeSilence = -1;  // after n more answers, silence; negative: never
    int lateAnswers = 0;            // the next n answers come lateByMs after their report
    std::uint32_t lateByMs = 0;     // on the platform clock
    // Reports for which the camera stays silent.
    std::function<bool(const std::uint8_t* report)> muteWhen;
    // Rewrites an answer after the camera composed it (for exact answer bytes in tests).
    std::function<void(const std::uint8_t* report, std::uint8_t* answer)> patchAnswer;

    // Every output report sent to the camera, 41 bytes each (byte 0 is the report id).
    std::vector<std::vector<std::uint8_t>> reports;

    // Values the camera reports.
    std::uint16_t focusPosition = 0;
    std::uint16_t focusFirst = 100;
    std::uint16_t focusSecond = 3900;
    std::uint16_t pifAI[2] = {0, 0};
    bool highFrequencyCapable = false;  // status bit of the VxHz variant
    std::uint32_t tcpAddress = 0xC0A80064, tcpMask = 0xFFFFFF00, tcpGateway = 0xC0A80001;
    std::array<std::uint8_t, 64> status{};  // status answer; computed fields overlay it

    // Process interface.
    std::array<std::uint8_t, 64> pifEeprom{};  // the EEPROM answer, as sent
    struct PifDevice {
        std::uint8_t ai = 0, di = 0, ao = 0, dout = 0, extra = 0;
    };
    std::uint8_t pifType = 0, pifInfoFlag = 0, pifLastByte = 0;
    std::vector<PifDevice> pifDevices;

    // Last value sent per setter, keyed by command class and register (first two bytes).
    std::map<std::uint16_t, std::vector<std::uint8_t>> lastSetter;
    bool powerOn = false;
    int flagCycles = 0;
    // Detector registers: skim (the output is not shifted at its power-up value) and filter id.
    static constexpr int kPowerUpSkim = 2000;
    int skim = kPowerUpSkim;
    int fid = 0;

    // Serial flash.
    static constexpr std::uint32_t kFlashSize = 0x80000;
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(kFlashSize, 0xFF);
    bool flashMode = false;  // command 50 received
    bool writeEnabled = false;
    int busyPolls = 0;       // busy answers still to give
    bool stuckBusy = false;  // never leaves busy
    int erasePolls = 3, programPolls = 1;
    int sectorErases = 0, pagePrograms = 0, protocolErrors = 0;
    std::vector<std::uint8_t> spiTransaction;

    // Firmware block memory.
    std::vector<std::uint8_t> firmware = std::vector<std::uint8_t>(0x10000, 0);

    // Fills the PIF EEPROM answer in format 0x11 (one input, one output) or 0x22 (up to two
    // inputs and three outputs), with a valid XOR checksum.
    struct PifEntry {
        std::uint16_t gain;
        std::int16_t offset;
        std::uint8_t shift;
    };
    void setPifEeprom11(std::uint8_t version, std::uint32_t identifier, PifEntry ai, PifEntry ao);
    void setPifEeprom22(std::uint8_t version, std::uint32_t identifier,
                        const std::vector<PifEntry>& ai, const std::vector<PifEntry>& ao);
    void breakPifEepromChecksum();
};

}  // namespace sim
