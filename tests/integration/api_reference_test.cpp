// The local API reference, docs/openapi.yaml, checked against the agent: it lints
// clean, it lists exactly the routes the agent serves, its error codes and seeded
// configuration are the agent's own, and every documented call, made against the
// agent with the module simulator behind it, answers as documented. The checks
// themselves are docs/tools/conformance.js; this file hands it the agent's tables
// and the running peers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

#include "agent_process.h"
#include "config_store.h"
#include "errors.h"
#include "json_text.h"
#include "module_sim_peer.h"
#include "queries.h"
#include "routes.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using velmora::Engine::Test::Route;

const std::string kSource = ORVIX_SOURCE_DIR;
const std::string kDocument = kSource + "/docs/openapi.yaml";
const std::string kTools = kSource + "/docs/tools";

// Every route table the server is built from.
std::vector<Route> servedRoutes() {
    std::vector<Route> routes = velmora::Engine::Test::moduleCommandRoutes();
    std::vector<Route> agent = velmora::Engine::Test::agentRoutes();
    routes.insert(routes.end(), agent.begin(), agent.end());
    std::vector<Route> monitoring = velmora::Engine::Test::monitoringRoutes();
    routes.insert(routes.end(), monitoring.begin(), monitoring.end());
    std::vector<Route> page = velmora::Engine::Test::statusPageRoutes();
    routes.insert(routes.end(), page.begin(), page.end());
    return routes;
}

std::string routeTable() {
    std::string text;
    for (const Route& route : servedRoutes()) {
        text += route.method + " " + route.path + "\n";
    }
    return text;
}

// The module's error-code table as the agent names each code.
std::string errorCodes() {
    using velmora::Utils::Errors::CameraError;
    Poco::JSON::Array::Ptr codes = new Poco::JSON::Array;
    for (int code = -10002; code < 0; ++code) {
        std::string text = velmora::Utils::Errors::toString(static_cast<CameraError>(code));
        if (text != "Unrecognized CameraError") {
            Poco::JSON::Object::Ptr entry = new Poco::JSON::Object;
            entry->set("code", code);
            entry->set("text", text);
            codes->add(entry);
        }
    }
    return compact(codes);
}

// What a fresh installation's configuration holds, its images folder written as
// the document writes it.
std::string seededConfiguration() {
    MigratedDatabase database("$HOME/Documents/VELMORA/OrvixAgent/images");
    auto config = velmora::Utils::Queries::getAllConfigs(database.session());
    return compact(velmora::Utils::configToJson(config));
}

std::string findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/" + program;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

class ApiReference : public ::testing::Test {
protected:
    void SetUp() override {
        node = findOnPath("node");
        ASSERT_FALSE(node.empty()) << "node is not on PATH (scripts/setup.sh installs it)";
        ASSERT_TRUE(std::filesystem::exists(kTools + "/node_modules/ajv"))
            << "docs/tools has no node_modules: run scripts/setup.sh (npm ci in docs/tools)";
        writeFile(work.file("routes.txt"), routeTable());
        writeFile(work.file("error_codes.json"), errorCodes());
        writeFile(work.file("seed_config.json"), seededConfiguration());
    }

    // Runs a program to its end and shows its output; its exit status.
    int run(const std::vector<std::string>& argv, std::chrono::seconds timeout) {
        ChildProcess child(argv,
                           {{"REDOCLY_TELEMETRY", "off"},
                            {"REDOCLY_SUPPRESS_UPDATE_NOTICE", "true"},
                            {"REDOCLY_SUPPRESS_NOTIFICATIONS", "true"}},
                           work.path());
        int status = child.wait(timeout);
        std::cout << child.stdoutText() << child.stderrText() << std::flush;
        return status;
    }

    int conformance(const std::string& part, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {node,     kTools + "/conformance.js", "--doc", kDocument, "--tables",
                                         work.path(), "--part", part};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run(argv, std::chrono::seconds(240));
    }

    std::string node;
    TempDir work;
};

TEST_F(ApiReference, DocumentLintsWithoutErrors) {
    EXPECT_EQ(run({node, kTools + "/node_modules/@redocly/cli/bin/cli.js", "lint", kDocument, "--config",
                   kSource + "/docs/redocly.yaml"},
                  std::chrono::seconds(120)),
              0);
}

TEST_F(ApiReference, DocumentMatchesTheAgentsTables) {
    EXPECT_EQ(conformance("static"), 0);
}

TEST_F(ApiReference, EveryDocumentedCallAnswersAsDocumented) {
    TempDir home;
    ModuleSimPeer sim(home.path(), "0.2");
    // The cloud addresses point at a closed loopback port, so nothing leaves the machine.
    const std::string closed = std::to_string(freePort());
    Poco::JSON::Object config;
    config.set("device_ip", "127.0.0.1");
    config.set("device_port", std::to_string(sim.port()));
    config.set("monitoring_service_address", "http://127.0.0.1");
    config.set("monitoring_service_port", closed);
    config.set("file_storage_service_address", "http://127.0.0.1:" + closed);
    AgentProcess agent(home.path(), compact(config));
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();

    EXPECT_EQ(conformance("live", {"--agent", "127.0.0.1:" + std::to_string(AgentProcess::kPort), "--module",
                                   "127.0.0.1:" + std::to_string(sim.port()), "--home", home.path()}),
              0);
    EXPECT_EQ(agent.stop(), 0);
}

// The registry pass-through needs a monitoring service: the cloud simulator.
TEST_F(ApiReference, MonitoringRoutesAnswerAsDocumented) {
    const std::string cloudSim = std::string(ORVIX_BINARY_DIR) + "/orvix-cloud-sim";
    std::vector<std::string> missing;
    if (routeTable().find(" /api/monitoring/") == std::string::npos) {
        missing.push_back("this build serves no /api/monitoring/ route");
    }
    if (!std::filesystem::exists(cloudSim)) {
        missing.push_back("build/orvix-cloud-sim is not built");
    }
    if (!missing.empty()) {
        GTEST_SKIP() << "NOT CHECKED: the /api/monitoring/ routes of docs/openapi.yaml ("
                     << missing.front() << (missing.size() > 1 ? "; " + missing.back() : "") << ")";
    }
    TempDir home;
    ModuleSimPeer sim(home.path(), "0.2");
    // The simulator's command line as the other simulators have it.
    const unsigned short cloudPort = freePort();
    ChildProcess cloud({cloudSim, "--host", "127.0.0.1", "--port", std::to_string(cloudPort)}, {}, home.path());
    ASSERT_TRUE(waitForPort(cloudPort, std::chrono::seconds(10)))
        << "build/orvix-cloud-sim did not listen on " << cloudPort << ": " << cloud.stderrText();
    Poco::JSON::Object config;
    config.set("device_ip", "127.0.0.1");
    config.set("device_port", std::to_string(sim.port()));
    config.set("monitoring_service_address", "http://127.0.0.1");
    config.set("monitoring_service_port", std::to_string(cloudPort));
    AgentProcess agent(home.path(), compact(config));
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();

    EXPECT_EQ(conformance("monitoring", {"--agent", "127.0.0.1:" + std::to_string(AgentProcess::kPort),
                                         "--module", "127.0.0.1:" + std::to_string(sim.port())}),
              0);
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
