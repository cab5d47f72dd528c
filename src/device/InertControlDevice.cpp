// The destructor, out of line so that the class's virtual table has one home.
#include "device/InertControlDevice.h"

InertControlDevice::~InertControlDevice() = default;
