// The interface's only code: its destructor and the reset of the process-interface scaling.
#include "device/BaseControlDevice.h"

#include "sdk/Log.h"

BaseControlDevice::~BaseControlDevice() {
    KLOG_DEBUG("Base destructor called");
}

void BaseControlDevice::resetPifScaling(std::size_t analogInputs, std::size_t analogOutputs) {
    pifInOffset.assign(analogInputs, 0.0f);
    pifInGain.assign(analogInputs, 1.0f);
    pifOutOffset.assign(analogOutputs, 0.0f);
    pifOutGain.assign(analogOutputs, 1.0f);
}
