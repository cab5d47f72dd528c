#include "device/InertControlDevice.h"

InertControlDevice::~InertControlDevice() = default;
