#include "daemonizer.h"

#include <fstream>
#include <stdexcept>

#include "agent-filesystem.h"

namespace velmora::Engine {

std::string Demonizer::TargetPath(Mode mode) {
    if (mode != Mode::Autostart) {
        return "/etc/systemd/system/orvix-driver.service";
    }
    std::string home = Utils::Filesystem::GetHomeDirectory();
    if (home.empty()) {
        throw std::logic_error("HOME is not set");
    }
    return home + "/.config/autostart/orvix-driver.desktop";
}

bool Demonizer::Setup(const std::string& execPath, Mode mode) {
    std::string path = TargetPath(mode);
    std::string content;
    if (mode != Mode::Autostart) {
        content = "[Unit]\nDescription=orvix Driver Daemon\n\n[Service]\nExecStart=" + execPath +
                  "\nRestart=always\n\n[Install]\nWantedBy=multi-user.target\n";
    } else {
        content =
            "[Desktop Entry]\nType=Application\nExec=" + execPath + "\nX-GNOME-Autostart-enabled=true\n";
    }
    std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file) {
        return false;
    }
    file << content;
    file.close();
    return !file.fail();
}

}  // namespace velmora::Engine
