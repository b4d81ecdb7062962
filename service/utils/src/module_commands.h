#pragma once

// The module's commands, one row each: every caller that runs a module command by
// name (the local API's routes, the remote "exec_command" task) looks it up here.
// Adding a command is adding a row in module_commands.cpp.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <Poco/JSON/Object.h>

namespace velmora::Engine {
class ServiceContext;
}
namespace velmora::Engine::Driver {
class OrvixDriver;
}

namespace velmora::Utils {

enum class CommandInput {
    None,      // no request body
    JsonBody,  // a JSON object
    Upload,    // a multipart form whose first part is the file
};

// What one run of a command gets. Only the members its input kind needs are read.
struct CommandCall {
    std::shared_ptr<Engine::Driver::OrvixDriver> driver;
    Engine::ServiceContext& context;
    Poco::JSON::Object::Ptr body;             // JsonBody
    const std::string* rawBody = nullptr;     // Upload: the whole multipart body
    std::string delimiter;                    // Upload: "--" + boundary
    std::function<void()> attributesChanged;  // run once when a setting was accepted
};

struct ModuleCommand {
    const char* name;    // /api/<name> and the "cmd" of a remote command
    const char* method;  // the local API's method
    CommandInput input;
    // One of the settings the cloud sees as device attributes: after the module
    // accepted it, the attributes are sent again.
    bool changesAttributes;
    // The converter: the module's answer as a {"code", "data"} envelope.
    std::function<Poco::JSON::Object::Ptr(const CommandCall&)> run;
};

// Every row, in the order of the catalogue. The picture (get_image) and the
// package download are not rows: they answer bytes, not an envelope.
const std::vector<ModuleCommand>& moduleCommands();
// The row named `name`, or null.
const ModuleCommand* findModuleCommand(const std::string& name);

}  // namespace velmora::Utils
