// The camera's HID transport: device lookup through the exported hidapi, open and close, and one
// report exchange at a time. HIDDevice builds the command set on it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "kelvix/export.h"

struct hid_device_;

// Identity of a HID device. Vendor id, product id and serial number are search criteria on
// input (0 matches any) and receive the found device's values on output.
struct KELVIX_API DEVICE_DESCRIPTION {
    DEVICE_DESCRIPTION() = default;
    DEVICE_DESCRIPTION(const DEVICE_DESCRIPTION&) = default;
    // Defined in the library, which exports it.
    DEVICE_DESCRIPTION& operator=(const DEVICE_DESCRIPTION& other);

    std::int32_t productId = 0;
    std::int32_t vendorId = 0;
    wchar_t manufacturer[256] = {};
    wchar_t product[256] = {};
    std::uint32_t releaseNumber = 0;  // the HID release number, i.e. the hardware revision
    std::uint32_t serialNumber = 0;   // the serial-number string read as a decimal number
    std::uint32_t matchCount = 0;     // incremented by every successful lookup
};
static_assert(sizeof(DEVICE_DESCRIPTION) == 8 + 512 * sizeof(wchar_t) + 12,
              "DEVICE_DESCRIPTION must stay unpadded");

// Finds a camera among the HID devices, opens it and exchanges reports with it: one 41-byte
// output report (report id 0, then up to 40 payload bytes), optionally one 65-byte input
// report back, awaited at most 1000 ms. Look up and open from the thread that owns the object,
// before commands flow; exchanges are serialised, so commands may come from any thread.
class KELVIX_API HIDComm {
  public:
    static constexpr std::uint16_t kReceiveLength = 65;
    static constexpr std::uint16_t kSendLength = 41;
    static constexpr int kReadTimeoutMs = 1000;
    // How long after its time-out an answer may still come: until then later commands wait for
    // it (within their own time-out) and drop it instead of taking it for theirs.
    static constexpr int kLateAnswerWindowMs = 2000;

    HIDComm();
    // Closes the device and lets go of the system HID library (unloaded with its last user).
    ~HIDComm();
    HIDComm(const HIDComm&) = delete;
    HIDComm& operator=(const HIDComm&) = delete;

    // 0 when a device matched (the record then holds its identity), 1 when none did. Resets the
    // connection state: not while commands flow.
    std::int32_t get_device_info(DEVICE_DESCRIPTION* desc);
    // Opens the first device with exactly this vendor and product id and a matching serial.
    bool open_device(DEVICE_DESCRIPTION* desc);
    // Closes the handle after the exchange in progress; always 0.
    std::uint32_t close_device();

    // `in_use` / release number of the last matching device (false / 0 when none); any thread.
    static bool is_device_used(std::uint16_t vendorId, std::uint16_t productId,
                               std::uint32_t serial);
    static std::uint16_t get_hw_revision(std::uint16_t vendorId, std::uint16_t productId,
                                         std::uint32_t serial);

    // One exchange: sends `payload` (at most 40 bytes) and, when expectAnswer or the
    // all-commands-with-answer flag is set, reads one answer; with expectAnswer, *answer points
    // to the receive buffer afterwards, which the next exchange from any thread overwrites. 0 or
    // -1.
    std::int32_t Command(std::uint8_t* payload, std::uint16_t length, bool expectAnswer,
                         std::uint8_t** answer);
    // Every command then waits for an answer; any thread.
    void SetAllCommandsWithAnswer(bool on) { allCommandsWithAnswer_ = on; }

    // Report lengths and revision of the opened device, and the connection state.
    std::uint16_t get_receive_buffer_len() const { return receiveLength_; }
    std::uint16_t get_send_buffer_len() const { return sendLength_; }
    std::uint16_t get_hardware_rev() const { return hardwareRevision_; }
    bool is_connected() const { return connected_; }
    bool is_found() const { return found_; }
    bool get_all_commands_with_answer() const { return allCommandsWithAnswer_; }

    // Sleeps on the platform clock (virtual in tests).
    void sleep_ms(std::uint32_t ms);
    // Kept for compatibility; does nothing.
    std::int32_t OpenLog(std::int32_t level, const wchar_t* path);

  protected:
    // Like Command, but copies the answer (receive length bytes) out while the exchange is
    // still serialised, so that concurrent commands cannot overwrite it. `answerCopy` may be
    // null when no answer is wanted.
    std::int32_t exchange(const std::uint8_t* payload, std::size_t length, bool expectAnswer,
                          std::uint8_t* answerCopy);

    std::uint8_t receiveBuffer_[256] = {};
    hid_device_* device_ = nullptr;
    bool found_ = false;
    std::atomic<bool> connected_{false};  // read by commands on any thread
    std::atomic<bool> allCommandsWithAnswer_{false};
    std::uint16_t hardwareRevision_ = 0;
    std::uint16_t receiveLength_ = 0;
    std::uint16_t sendLength_ = 0;

  private:
    static constexpr int kMaxQueuedReports = 64;  // what a hidraw node queues

    std::int32_t write_to_device(std::uint8_t* report);
    std::int32_t read_from_device(int timeoutMs);
    // Drops input that came before the command is sent: answers nobody waited for, and those
    // owed to earlier commands, awaited until `deadline` while they may still come. False when
    // the deadline came first.
    bool dropEarlierInput(std::uint32_t deadline);

    std::mutex exchangeMutex_;  // one write-and-read exchange at a time
    int owedAnswers_ = 0;       // commands whose answer did not come in time
    std::uint32_t owedUntil_ = 0;
};
