// SimCamera's constructor and destructor.
#include "SimCamera.h"

namespace sim {

SimCamera::SimCamera(std::uint32_t serial, std::uint16_t hwRevision, std::uint16_t fwRevision)
    : serial_(serial), hwRevision_(hwRevision), fwRevision_(fwRevision) {}

SimCamera::~SimCamera() = default;

}  // namespace sim
