#pragma once

// What the recognition module reports about itself, as the device attributes the
// monitoring client sends to the cloud, and whether they still have to be sent.
// Asks the module through the driver each time; caches nothing.

#include <atomic>
#include <memory>
#include <string>

namespace boost::json {
class array;
}
namespace velmora::Engine::Driver {
class OrvixDriver;
}

namespace velmora::Engine::Sync {

class DeviceDataProvider {
public:
    explicit DeviceDataProvider(std::shared_ptr<Driver::OrvixDriver> driver);

    // True while the current attributes are not known to the service.
    bool need_sending_attributes();
    // The attributes changed (a setting was accepted): send them again. Safe from
    // any thread.
    void attributes_update();
    // The service accepted the last list built by get_attributes.
    void attributes_send();
    // The attribute list in catalogue order; empty when the driver is gone.
    boost::json::array get_attributes();
    // The module's serial number, or "" when it cannot be read.
    std::string get_serial_number();

private:
    bool complete_ = false;    // worker thread only
    bool first_send_ = false;  // worker thread only
    std::atomic<bool> sent_{false};
    std::weak_ptr<Driver::OrvixDriver> driver_;
};

}  // namespace velmora::Engine::Sync
