#pragma once

#include <string>

namespace orvix::modsim {

// The camera picture the simulated module shows: a small JPEG built into the program.
std::string samplePicture();

}  // namespace orvix::modsim
