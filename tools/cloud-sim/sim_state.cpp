#include "sim_state.h"

#include <openssl/rand.h>

#include <stdexcept>

namespace orvix::cloudsim {

namespace {

namespace json = boost::json;

// Lists of /control/received, in the order they are shown.
const char* const kReceivedLists[] = {"token_requests", "attributes",    "recognitions", "alerts",
                                      "task_answers",   "tasks_fetched", "requests"};

// A long-running simulator forgets the oldest entries rather than growing without end.
const std::size_t kListCap = 5000;

// The id of the second registration of the seeded device: the next number when the id
// is a number, else the id with "-2" appended.
std::string duplicateId(const std::string& id) {
    bool numeric = !id.empty() && id.size() < 18 && id.find_first_not_of("0123456789") == std::string::npos;
    return numeric ? std::to_string(std::stoll(id) + 1) : id + "-2";
}

json::object seededRegistry(const SimOptions& options) {
    json::object registry;
    registry["stores"] = json::array{
        json::object{{"id", "1"}, {"name", "Store Central"}, {"region_id", "1"}, {"type_id", "1"}},
        json::object{{"id", "2"}, {"name", "Store Riverside"}, {"region_id", "2"}, {"type_id", "2"}},
        json::object{{"id", "3"}, {"name", "Store Airport"}, {"region_id", "1"}, {"type_id", "3"}}};
    registry["types"] = json::array{json::object{{"id", "1"}, {"name", "Hypermarket"}},
                                    json::object{{"id", "2"}, {"name", "Supermarket"}},
                                    json::object{{"id", "3"}, {"name", "Convenience"}}};
    registry["departments"] = json::array{json::object{{"id", "1"}, {"name", "Fruit and vegetables"}},
                                          json::object{{"id", "2"}, {"name", "Bakery"}}};
    registry["regions"] = json::array{json::object{{"id", "1"}, {"name", "North"}},
                                      json::object{{"id", "2"}, {"name", "South"}}};
    registry["models"] = json::array{
        json::object{{"id", "1"}, {"name", "Velmora Orvix Module"}, {"type", "recognition_module"}}};
    json::array devices;
    devices.push_back(json::object{{"id", options.deviceId},
                                   {"serial_number", options.deviceSerial},
                                   {"model", "Velmora Orvix Module"},
                                   {"type", "recognition_module"},
                                   {"name", "Scale 1"},
                                   {"store_id", "1"},
                                   {"department_id", "1"}});
    if (options.seedDuplicate) {
        devices.push_back(json::object{{"id", duplicateId(options.deviceId)},
                                       {"serial_number", options.deviceSerial},
                                       {"model", "Velmora Orvix Module"},
                                       {"type", "recognition_module"},
                                       {"name", "Scale 1 (registered twice)"},
                                       {"store_id", "2"},
                                       {"department_id", "1"}});
    }
    registry["devices"] = std::move(devices);
    return registry;
}

}  // namespace

SimState::SimState(SimOptions options) : options(std::move(options)) {
    resetLocked();
}

const std::vector<std::string>& SimState::faultTargets() {
    static const std::vector<std::string> targets{"token", "attributes", "recognition", "alert",
                                                  "task",  "answers",    "registry",    "all"};
    return targets;
}

void SimState::resetLocked() {
    token = options.token;
    registry = seededRegistry(options);
    lastAttributes.clear();
    nextRegistryId = 100;
    received.clear();
    for (const char* list : kReceivedLists) {
        received[list] = json::array();
    }
    tasks.clear();
    faults.clear();
    changed.notify_all();
}

void SimState::recordLocked(const char* list, json::object entry) {
    auto& entries = received.at(list).as_array();
    if (entries.size() >= kListCap) {
        entries.erase(entries.begin());
    }
    entries.push_back(std::move(entry));
}

std::optional<Fault> SimState::takeFault(const std::string& target, const std::string& sid) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = faults.find(target);
    if (found == faults.end()) {
        found = faults.find("all");
    }
    if (found == faults.end() || (!found->second.sid.empty() && found->second.sid != sid)) {
        return std::nullopt;
    }
    Fault taken = found->second;
    if (found->second.remaining > 0 && --found->second.remaining == 0) {
        faults.erase(found);
    }
    return taken;
}

json::object SimState::faultsJsonLocked() const {
    json::object all;
    for (const auto& [target, fault] : faults) {
        all[target] = json::object{
            {"mode", fault.mode},       {"status", fault.status},          {"delay_ms", fault.delayMs},
            {"count", fault.remaining}, {"retry_after", fault.retryAfter}, {"sid", fault.sid}};
    }
    return all;
}

json::object SimState::tokenSettingsJsonLocked() const {
    auto now = Clock::now();
    std::size_t valid = 0;
    for (const auto& [text, until] : accessTokens) {
        valid += now < until ? 1 : 0;
    }
    return json::object{{"lifetime", token.lifetime},
                        {"refresh_lifetime", token.refreshLifetime},
                        {"short", token.shortForm},
                        {"valid_access_tokens", valid}};
}

std::string SimState::randomText(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) {
        throw std::runtime_error("no random bytes from OpenSSL");
    }
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : raw) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0f];
    }
    return text;
}

}  // namespace orvix::cloudsim
