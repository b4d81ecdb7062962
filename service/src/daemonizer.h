#pragma once

#include <string>

namespace velmora::Engine {

// 0 selects the desktop autostart entry of the logged-in user; any other value
// the systemd unit.
enum Mode { Autostart = 0, Systemd = 1 };

class Demonizer {
public:
    // Writes the unit or autostart file that starts `execPath`. Creates no
    // directories and enables nothing. True only when the whole file was written;
    // a file that cannot be written is skipped and gives false. Throws
    // std::logic_error for the autostart entry when there is no home directory.
    static bool Setup(const std::string& execPath, Mode mode);

    // The file Setup writes for `mode`: the autostart entry lives under the home
    // directory (Filesystem::GetHomeDirectory). Throws as Setup does.
    static std::string TargetPath(Mode mode);
};

}  // namespace velmora::Engine
