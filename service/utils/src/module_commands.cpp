#include "module_commands.h"

#include <stdexcept>

#include "driver_converter.h"
#include "result_feedback.h"
#include "service_context.h"

namespace velmora::Utils {
namespace {

using Poco::JSON::Object;
using Driver = std::shared_ptr<Engine::Driver::OrvixDriver>;

// A call whose input kind does not fit the row is a programming error of the caller.
const Object::Ptr& bodyOf(const CommandCall& call, const char* name) {
    if (call.body.isNull()) {
        throw std::invalid_argument(std::string(name) + " needs a JSON object body");
    }
    return call.body;
}

// Converters that need only the driver.
ModuleCommand plain(const char* method, const char* name, Object::Ptr (*convert)(Driver)) {
    return {name, method, CommandInput::None, false,
            [convert](const CommandCall& call) { return convert(call.driver); }};
}

// Converters that read the request body.
ModuleCommand withBody(const char* method, const char* name, Object::Ptr (*convert)(Object::Ptr, Driver)) {
    return {name, method, CommandInput::JsonBody, false,
            [convert, name](const CommandCall& call) { return convert(bodyOf(call, name), call.driver); }};
}

// Settings the cloud sees as device attributes: after the module accepted the
// change, the caller's attributesChanged runs once.
ModuleCommand setting(const char* name, Object::Ptr (*convert)(Object::Ptr, Driver, std::function<void()>)) {
    return {name, "POST", CommandInput::JsonBody, true, [convert, name](const CommandCall& call) {
                std::function<void()> changed = call.attributesChanged;
                if (!changed) {
                    changed = [] {};
                }
                return convert(bodyOf(call, name), call.driver, changed);
            }};
}

// Uploads arrive as multipart forms; the file is the first part.
ModuleCommand upload(const char* name,
                     Object::Ptr (*convert)(const std::string&, const std::string&, Driver)) {
    return {name, "POST", CommandInput::Upload, false, [convert, name](const CommandCall& call) {
                if (call.rawBody == nullptr) {
                    throw std::invalid_argument(std::string(name) + " needs a multipart body");
                }
                return convert(*call.rawBody, call.delimiter, call.driver);
            }};
}

std::vector<ModuleCommand> buildCatalogue() {
    return {
        withBody("POST", "add_item_template", process_add_item_template),
        withBody("POST", "get_item_template_list", process_get_item_template_list),
        withBody("POST", "delete_item_template", process_delete_item_template),
        plain("GET", "get_item_list", process_get_item_list),
        withBody("POST", "delete_item", process_delete_item),
        plain("POST", "clear_all_template", process_clear_all_template),
        withBody("POST", "export_template", process_export_template),
        plain("GET", "export_template_status", process_export_template_status),
        upload("import_template", process_import_template),
        plain("GET", "import_template_status", process_import_template_status),
        setting("set_sync_normal", process_set_sync_normal),
        setting("set_sync_master", process_set_sync_master),
        setting("set_sync_slave", process_set_sync_slave),
        plain("POST", "manual_sync", process_manual_sync),
        plain("GET", "get_sync_status", process_get_sync_status),
        plain("POST", "get_sync_limit", process_get_sync_limit),
        setting("set_sync_limit", process_set_sync_limit),
        setting("set_sold_out_limit", process_set_sold_out_limit),
        setting("set_predict_speed", process_set_predict_speed),
        // Also records the prediction, under the configuration lock.
        {"get_result", "GET", CommandInput::None, false,
         [](const CommandCall& call) {
             return process_get_result(call.driver, call.context.configMutex(), call.context.database());
         }},
        setting("set_max_result", process_set_max_result),
        // Reads the configuration from its own copy, so the lock is not held for it.
        {"result_feedback", "POST", CommandInput::JsonBody, false,
         [](const CommandCall& call) {
             return process_result_feedback(bodyOf(call, "result_feedback"), call.driver,
                                            call.context.configMutex(), call.context.copyConfig(),
                                            call.context.database());
         }},
        withBody("POST", "set_time", process_set_time),
        plain("GET", "get_device_info", process_get_device_info),
        setting("set_extra_info", process_set_extra_info),
        plain("GET", "get_extra_info", process_get_extra_info),
        withBody("POST", "set_calib", process_set_calib),
        plain("GET", "get_calib", process_get_calib),
        plain("POST", "reset_device", process_reset_device),
        plain("POST", "reboot", process_reboot),
        upload("offline_upgrade", process_offline_upgrade),
        plain("GET", "offline_upgrade_status", process_offline_upgrade_status),
        plain("POST", "enable_internet_once", process_enable_internet_once),
        setting("set_learnmode", process_set_learnmode),
        plain("GET", "get_learnmode", process_get_learnmode),
        plain("GET", "get_board_info", process_get_board_info),
    };
}

}  // namespace

const std::vector<ModuleCommand>& moduleCommands() {
    static const std::vector<ModuleCommand> catalogue = buildCatalogue();
    return catalogue;
}

const ModuleCommand* findModuleCommand(const std::string& name) {
    for (const auto& command : moduleCommands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

}  // namespace velmora::Utils
