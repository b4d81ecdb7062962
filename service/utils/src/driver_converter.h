#pragma once

// The local API's module commands: each converter reads the parsed request body,
// fills the command's request record, calls the driver once and builds the JSON
// object the server writes back. Answers are {"code", "data"} envelopes; module
// failures travel as "code", never as HTTP errors. Malformed input (a missing key,
// a value that cannot be converted) raises the JSON library's error before
// anything is sent to the module.
//
// Converters are stateless and may run on several request threads at once. Each
// holds its own copy of the driver pointer, so a driver replaced meanwhile stays
// alive until the call ends.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

namespace velmora::Engine::Driver {
class OrvixDriver;
}  // namespace velmora::Engine::Driver

namespace velmora::Engine::DB {
class SQLiteDB;
}  // namespace velmora::Engine::DB

namespace velmora::Utils {

// {"code": code, "data": null}
Poco::JSON::Object::Ptr get_empty_response(int code);

// The elements of the array under `key`, each converted to a string (12 becomes
// "12"); empty when the key is absent. A value that is not an array raises.
std::vector<std::string> jsonArrayToVector(Poco::JSON::Object::Ptr object, std::string key);
Poco::JSON::Array::Ptr vectorToJsonArray(const std::vector<std::string>& values);

// ---- commands without input ----

// The code and the picture bytes (empty unless the code is 0).
std::pair<int, std::string> process_get_image(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_clear_all_template(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_manual_sync(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_reset_device(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_reboot(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_enable_internet_once(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_get_sync_limit(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_get_calib(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_get_learnmode(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_get_sync_status(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_get_extra_info(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_get_device_info(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_get_board_info(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_get_item_list(std::shared_ptr<Engine::Driver::OrvixDriver> driver);

// Also remembers the recognition (sid, response time, candidate ids) so that the
// operator's later choice can be matched against it. The database work runs under
// the configuration lock in one transaction; the module is asked before the lock
// is taken. A database error leaves as an exception (nothing half-stored).
Poco::JSON::Object::Ptr process_get_result(std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                           std::mutex& configurationLock, Engine::DB::SQLiteDB& database);

// ---- long-running jobs ----

Poco::JSON::Object::Ptr process_export_template_status(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_import_template_status(std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_offline_upgrade_status(std::shared_ptr<Engine::Driver::OrvixDriver> driver);

// `body` is the raw multipart request body, `delimiter` is "--" followed by the
// boundary of its content type. The first part's content is the file; a body
// from which no file can be taken answers -6210 without calling the module.
Poco::JSON::Object::Ptr process_import_template(const std::string& body, const std::string& delimiter,
                                                std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_offline_upgrade(const std::string& body, const std::string& delimiter,
                                                std::shared_ptr<Engine::Driver::OrvixDriver> driver);

Poco::JSON::Object::Ptr process_export_template(Poco::JSON::Object::Ptr body,
                                                std::shared_ptr<Engine::Driver::OrvixDriver> driver);

// ---- templates and items ----

Poco::JSON::Object::Ptr process_get_item_template_list(Poco::JSON::Object::Ptr body,
                                                       std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_add_item_template(Poco::JSON::Object::Ptr body,
                                                  std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_delete_item_template(Poco::JSON::Object::Ptr body,
                                                     std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_delete_item(Poco::JSON::Object::Ptr body,
                                            std::shared_ptr<Engine::Driver::OrvixDriver> driver);

// ---- settings without an attribute report ----

Poco::JSON::Object::Ptr process_set_time(Poco::JSON::Object::Ptr body,
                                         std::shared_ptr<Engine::Driver::OrvixDriver> driver);
Poco::JSON::Object::Ptr process_set_calib(Poco::JSON::Object::Ptr body,
                                          std::shared_ptr<Engine::Driver::OrvixDriver> driver);

// ---- settings the cloud sees as device attributes: `action` runs once when the
// module accepted the change (code 0), before the answer is built ----

Poco::JSON::Object::Ptr process_set_sync_normal(Poco::JSON::Object::Ptr body,
                                                std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                                std::function<void()> action);
Poco::JSON::Object::Ptr process_set_sync_master(Poco::JSON::Object::Ptr body,
                                                std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                                std::function<void()> action);
Poco::JSON::Object::Ptr process_set_sync_slave(Poco::JSON::Object::Ptr body,
                                               std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                               std::function<void()> action);
Poco::JSON::Object::Ptr process_set_sync_limit(Poco::JSON::Object::Ptr body,
                                               std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                               std::function<void()> action);
Poco::JSON::Object::Ptr process_set_sold_out_limit(Poco::JSON::Object::Ptr body,
                                                   std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                                   std::function<void()> action);
Poco::JSON::Object::Ptr process_set_max_result(Poco::JSON::Object::Ptr body,
                                               std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                               std::function<void()> action);
Poco::JSON::Object::Ptr process_set_learnmode(Poco::JSON::Object::Ptr body,
                                              std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                              std::function<void()> action);
Poco::JSON::Object::Ptr process_set_predict_speed(Poco::JSON::Object::Ptr body,
                                                  std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                                  std::function<void()> action);
Poco::JSON::Object::Ptr process_set_extra_info(Poco::JSON::Object::Ptr body,
                                               std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                               std::function<void()> action);

}  // namespace velmora::Utils
