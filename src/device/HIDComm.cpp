// HIDComm, the HID transport: finds the camera by vendor, product and serial, opens it through
// the exported hidapi and exchanges one output report and its answer at a time. A mutex
// serialises exchanges, which come from application threads and the frame thread alike.
#include "kelvix/HIDComm.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/Clock.h"
#include "platform/HidApi.h"
#include "platform/HidBackend.h"

namespace {

// The serial-number string read as a decimal number: its leading digits, 0 without any.
std::uint32_t serialValue(const wchar_t* s) {
    std::uint32_t v = 0;
    for (; s && *s >= L'0' && *s <= L'9'; ++s) {
        v = v * 10 + static_cast<std::uint32_t>(*s - L'0');
    }
    return v;
}

bool serialMatches(const hid_device_info* d, std::uint32_t serial) {
    return d->serial_number && (serial == 0 || serialValue(d->serial_number) == serial);
}

bool matchesWildcard(const hid_device_info* d, std::uint32_t vendorId, std::uint32_t productId,
                     std::uint32_t serial) {
    return (vendorId == 0 || d->vendor_id == vendorId) &&
           (productId == 0 || d->product_id == productId) && serialMatches(d, serial);
}

void copyName(wchar_t (&dst)[256], const wchar_t* src) {
    std::wcsncpy(dst, src ? src : L"", 255);
    dst[255] = L'\0';
}

// Identity fields shared by lookup and open (not the match counter).
void describe(DEVICE_DESCRIPTION* desc, const hid_device_info* d) {
    desc->vendorId = d->vendor_id;
    desc->productId = d->product_id;
    desc->releaseNumber = d->release_number;
    copyName(desc->manufacturer, d->manufacturer_string);
    copyName(desc->product, d->product_string);
    desc->serialNumber = serialValue(d->serial_number);
}

// Milliseconds from `now` to `until` on the wrapping tick, 0 once it is reached.
int msUntil(std::uint32_t now, std::uint32_t until) {
    return platform::reached(now, until) ? 0 : static_cast<int>(until - now);
}

std::uint32_t earlier(std::uint32_t a, std::uint32_t b) {
    return platform::reached(a, b) ? b : a;
}

}  // namespace

DEVICE_DESCRIPTION& DEVICE_DESCRIPTION::operator=(const DEVICE_DESCRIPTION& other) = default;

HIDComm::HIDComm() {
    platform::retainHidLibrary();
}

HIDComm::~HIDComm() {
    close_device();
    platform::releaseHidLibrary();
}

std::int32_t HIDComm::get_device_info(DEVICE_DESCRIPTION* desc) {
    found_ = false;
    connected_ = false;
    allCommandsWithAnswer_ = false;
    if (!desc) {
        return 1;
    }
    hid_device_info* list = platform::hid::enumerate(0, 0);
    for (hid_device_info* d = list; d; d = d->next) {
        if (matchesWildcard(d, static_cast<std::uint32_t>(desc->vendorId),
                            static_cast<std::uint32_t>(desc->productId), desc->serialNumber)) {
            ++desc->matchCount;
            describe(desc, d);
            hardwareRevision_ = d->release_number;
            found_ = true;
            break;
        }
    }
    platform::hid::freeEnumeration(list);
    return found_ ? 0 : 1;
}

bool HIDComm::open_device(DEVICE_DESCRIPTION* desc) {
    if (device_) {
        close_device();  // a handle left over from an earlier open must not leak
    }
    connected_ = false;
    allCommandsWithAnswer_ = false;
    owedAnswers_ = 0;
    if (!desc) {
        return false;
    }
    const auto vendorId = static_cast<std::uint32_t>(desc->vendorId);
    const auto productId = static_cast<std::uint32_t>(desc->productId);
    const std::uint32_t serial = desc->serialNumber;
    hid_device_info* list = platform::hid::enumerate(0, 0);
    for (hid_device_info* d = list; d && !connected_; d = d->next) {
        if (d->vendor_id != vendorId || d->product_id != productId || !serialMatches(d, serial)) {
            continue;
        }
        describe(desc, d);
        hardwareRevision_ = d->release_number;
        device_ = platform::hid::openPath(d->path, 1);
        receiveLength_ = kReceiveLength;
        sendLength_ = kSendLength;
        connected_ = device_ != nullptr;
    }
    platform::hid::freeEnumeration(list);
    return connected_;
}

std::uint32_t HIDComm::close_device() {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    if (device_) {
        platform::hid::close(device_);
        device_ = nullptr;
    }
    connected_ = false;
    owedAnswers_ = 0;
    return 0;
}

bool HIDComm::is_device_used(std::uint16_t vendorId, std::uint16_t productId,
                             std::uint32_t serial) {
    bool used = false;
    hid_device_info* list = platform::hid::enumerate(0, 0);
    for (hid_device_info* d = list; d; d = d->next) {
        if (matchesWildcard(d, vendorId, productId, serial)) {
            used = d->in_use != 0;
        }
    }
    platform::hid::freeEnumeration(list);
    return used;
}

std::uint16_t HIDComm::get_hw_revision(std::uint16_t vendorId, std::uint16_t productId,
                                       std::uint32_t serial) {
    std::uint16_t revision = 0;
    hid_device_info* list = platform::hid::enumerate(0, 0);
    for (hid_device_info* d = list; d; d = d->next) {
        if (matchesWildcard(d, vendorId, productId, serial)) {
            revision = d->release_number;
        }
    }
    platform::hid::freeEnumeration(list);
    return revision;
}

std::int32_t HIDComm::Command(std::uint8_t* payload, std::uint16_t length, bool expectAnswer,
                              std::uint8_t** answer) {
    std::int32_t result = exchange(payload, length, expectAnswer, nullptr);
    if (expectAnswer && answer) {
        *answer = receiveBuffer_;
    }
    return result;
}

std::int32_t HIDComm::exchange(const std::uint8_t* payload, std::size_t length, bool expectAnswer,
                               std::uint8_t* answerCopy) {
    std::lock_guard<std::mutex> lock(exchangeMutex_);
    if (!connected_ || !device_ || !payload || sendLength_ == 0 || length > sendLength_ - 1u) {
        return -1;
    }
    std::uint8_t report[256] = {};
    std::memcpy(report + 1, payload, length);
    if (!expectAnswer && !allCommandsWithAnswer_) {
        return write_to_device(report) < 0 ? -1 : 0;
    }
    // Settling earlier answers and awaiting this one share one time-out.
    platform::Clock& clock = platform::clock();
    const std::uint32_t deadline = clock.tickMs() + kReadTimeoutMs;
    if (!dropEarlierInput(deadline) || write_to_device(report) < 0) {
        return -1;
    }
    const int n = read_from_device(msUntil(clock.tickMs(), deadline));
    if (n == 0) {  // it may still come, and must not pass for a later command's answer
        owedAnswers_ = std::min(owedAnswers_ + 1, kMaxQueuedReports);
        owedUntil_ = clock.tickMs() + kLateAnswerWindowMs;
    }
    if (n <= 0) {
        return -1;
    }
    if (answerCopy) {
        std::memcpy(answerCopy, receiveBuffer_, receiveLength_);
    }
    return 0;
}

bool HIDComm::dropEarlierInput(std::uint32_t deadline) {
    platform::Clock& clock = platform::clock();
    std::uint8_t stale[256];
    for (int i = 0; i < kMaxQueuedReports; ++i) {
        const std::uint32_t now = clock.tickMs();
        // The camera answers in order, so owed answers come before any other.
        const bool owed = owedAnswers_ > 0 && !platform::reached(now, owedUntil_);
        const int wait = owed ? msUntil(now, earlier(deadline, owedUntil_)) : 0;
        const int n = platform::hid::readTimeout(device_, stale, receiveLength_, wait);
        if (n > 0) {
            owedAnswers_ -= owedAnswers_ > 0 ? 1 : 0;
            continue;
        }
        if (owed && n == 0) {
            const std::uint32_t after = clock.tickMs();
            if (!platform::reached(after, owedUntil_) && platform::reached(after, deadline)) {
                return false;  // this command's time went on an earlier one's answer
            }
        }
        owedAnswers_ = 0;  // nothing queued, and the owed answers are lost
        break;
    }
    return !platform::reached(clock.tickMs(), deadline);
}

std::int32_t HIDComm::write_to_device(std::uint8_t* report) {
    return platform::hid::write(device_, report, sendLength_);
}

std::int32_t HIDComm::read_from_device(int timeoutMs) {
    return platform::hid::readTimeout(device_, receiveBuffer_, receiveLength_, timeoutMs);
}

void HIDComm::sleep_ms(std::uint32_t ms) {
    platform::clock().sleepMs(ms);
}

std::int32_t HIDComm::OpenLog(std::int32_t, const wchar_t*) {
    return -1;
}
