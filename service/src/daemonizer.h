#pragma once

#include <string>

namespace velmora::Engine {

// 0 selects the desktop autostart entry of the logged-in user; any other value
// the systemd unit.
enum Mode { Autostart = 0, Systemd = 1 };

class Demonizer {
public:
    // Writes the unit or autostart file that starts `execPath`. Creates no
    // directories and enables nothing; a file that cannot be opened is skipped.
    // Throws std::logic_error for the autostart entry when HOME is unset.
    static void Setup(const std::string& execPath, Mode mode);
};

}  // namespace velmora::Engine
