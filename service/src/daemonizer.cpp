#include "daemonizer.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace velmora::Engine {

void Demonizer::Setup(const std::string& execPath, Mode mode) {
    std::string path;
    std::string content;
    if (mode != Mode::Autostart) {
        path = "/etc/systemd/system/orvix-driver.service";
        content = "[Unit]\nDescription=orvix Driver Daemon\n\n[Service]\nExecStart=" + execPath +
                  "\nRestart=always\n\n[Install]\nWantedBy=multi-user.target\n";
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr) {
            throw std::logic_error("HOME is not set");
        }
        path = std::string(home) + "/.config/autostart/orvix-driver.desktop";
        content =
            "[Desktop Entry]\nType=Application\nExec=" + execPath + "\nX-GNOME-Autostart-enabled=true\n";
    }
    std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file) {
        return;
    }
    file << content;
}

}  // namespace velmora::Engine
