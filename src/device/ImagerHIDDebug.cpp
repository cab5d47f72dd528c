// HID camera device operations that only the debug build carries.
#ifdef KELVIX_DEBUG_BUILD

#include "device/ImagerHID.h"
#include "platform/HResult.h"

std::int32_t ImagerHID::close() {
    try {
        if (!open) {
            return 1;
        }
        powerDown();
        reset();
        return 0;
    } catch (const char*) {
        return E_FAIL;
    }
}

std::uint16_t ImagerHID::getHWRevision(std::uint16_t vendorId, std::uint16_t productId,
                                       std::uint32_t serial) {
    return HIDDevice::GetHWRev(vendorId, productId, serial);
}

bool ImagerHID::isDeviceUsed(std::uint16_t vendorId, std::uint16_t productId,
                             std::uint32_t serial) {
    return HIDDevice::IsDeviceUsed(vendorId, productId, serial);
}

std::int32_t ImagerHID::setLogging(std::int32_t level, const wchar_t* path) {
    hid.SetLogging(level, path);
    return 0;
}

#endif  // KELVIX_DEBUG_BUILD
