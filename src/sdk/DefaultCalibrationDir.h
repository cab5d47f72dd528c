// The calibration manager's default directory, for the download tool, which must not take it
// cut short.
#pragma once

#include <string>

namespace zol {

// The application-data folder + "/Imager/Cali" ("/tmp/cali" when that folder cannot be
// determined), whole: the manager keeps at most IRCalibrationManager::kDirCapacity - 1
// characters of it.
std::wstring defaultCalibrationDir();

}  // namespace zol
