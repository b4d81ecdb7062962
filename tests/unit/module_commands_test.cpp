// The module-command catalogue: one row per command of the local API, the routes
// built from it, the settings that re-send the device attributes, and the
// multipart delimiter the upload routes hand to their rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

#include "driver.h"
#include "driver_bench.h"
#include "module_commands.h"
#include "route_helpers.h"
#include "routes.h"
#include "service_context.h"
#include "test_support.h"

namespace {

using velmora::Utils::CommandCall;
using velmora::Utils::CommandInput;
using velmora::Utils::findModuleCommand;
using velmora::Utils::moduleCommands;

// The local API's routes under /api/<name>, by name.
std::map<std::string, std::string> apiRouteMethods() {
    std::map<std::string, std::string> methods;
    for (const auto& route : velmora::Engine::Test::moduleCommandRoutes()) {
        const std::string prefix = "/api/";
        if (route.path.rfind(prefix, 0) == 0) {
            EXPECT_TRUE(methods.emplace(route.path.substr(prefix.size()), route.method).second) << route.path;
        }
    }
    return methods;
}

TEST(ModuleCommands, EveryLocalCommandRouteIsACatalogueRowWithItsMethod) {
    auto routes = apiRouteMethods();
    // The picture answers bytes, not an envelope: the one /api/ route outside the catalogue.
    ASSERT_EQ(routes.erase("get_image"), 1u);
    EXPECT_EQ(findModuleCommand("get_image"), nullptr);
    for (const auto& [name, method] : routes) {
        const auto* row = findModuleCommand(name);
        ASSERT_NE(row, nullptr) << name;
        EXPECT_EQ(method, row->method) << name;
    }
    std::set<std::string> names;
    for (const auto& row : moduleCommands()) {
        EXPECT_TRUE(names.insert(row.name).second) << "duplicate row " << row.name;
        EXPECT_EQ(routes.count(row.name), 1u) << "row without a local route: " << row.name;
    }
    // The commands of the local API (the picture aside); get_result and
    // result_feedback are rows like the others.
    EXPECT_EQ(names.size(), 36u);
    EXPECT_EQ(names.count("get_result"), 1u);
    EXPECT_EQ(names.count("result_feedback"), 1u);
}

TEST(ModuleCommands, ExactlyTheNineSettingsReSendTheAttributes) {
    std::set<std::string> flagged;
    for (const auto& row : moduleCommands()) {
        if (row.changesAttributes) {
            flagged.insert(row.name);
            EXPECT_EQ(row.input, CommandInput::JsonBody) << row.name;
            EXPECT_EQ(std::string(row.method), "POST") << row.name;
        }
    }
    EXPECT_EQ(flagged, (std::set<std::string>{"set_sync_normal", "set_sync_master", "set_sync_slave",
                                              "set_sync_limit", "set_sold_out_limit", "set_predict_speed",
                                              "set_max_result", "set_extra_info", "set_learnmode"}));
}

TEST(ModuleCommands, UploadsAreTheTwoPackageCommands) {
    std::set<std::string> uploads;
    for (const auto& row : moduleCommands()) {
        if (row.input == CommandInput::Upload) {
            uploads.insert(row.name);
        }
    }
    EXPECT_EQ(uploads, (std::set<std::string>{"import_template", "offline_upgrade"}));
}

TEST(ModuleCommands, UnknownNamesFindNothing) {
    for (const char* name : {"", "no_such_command", "GET_RESULT", "get_result ", "download", "set_config"}) {
        EXPECT_EQ(findModuleCommand(name), nullptr) << "'" << name << "'";
    }
    const auto* row = findModuleCommand("set_learnmode");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(std::string(row->name), "set_learnmode");
}

// A call without the input its row needs is refused before the module is asked.
TEST(ModuleCommands, ACallWithoutTheRowsInputIsRefusedUnsent) {
    orvix::test::AgentDatabase database;
    velmora::Engine::ConfigMap config;
    velmora::Engine::ServiceContext context(config, database.lock(), database.db());
    orvix::test::RecordingServer module;
    std::shared_ptr<velmora::Engine::Driver::OrvixDriver> driver =
        orvix::test::makeDriver(database, module.port());
    for (const char* name : {"set_learnmode", "result_feedback", "import_template"}) {
        SCOPED_TRACE(name);
        CommandCall call{driver, context, nullptr, nullptr, "", [] {}};
        EXPECT_THROW(findModuleCommand(name)->run(call), std::invalid_argument);
    }
    EXPECT_TRUE(module.requests().empty());
}

TEST(MultipartDelimiter, IsDashDashAndTheBoundaryParameter) {
    using velmora::Engine::Test::multipartDelimiter;
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"multipart/form-data; boundary=abc", std::string("--abc")},
        // A parameter after the boundary is not part of it (RFC 2046).
        {"multipart/form-data; boundary=----X7; charset=utf-8", std::string("------X7")},
        {"multipart/form-data", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [contentType, expected] : cases) {
        EXPECT_EQ(multipartDelimiter(contentType), expected) << contentType;
    }
}

}  // namespace
