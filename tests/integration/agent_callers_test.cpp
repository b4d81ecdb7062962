// Who may call the local API and what a caller learns when it makes a mistake:
// browser pages are kept out, a configured token is required, a request without
// a body is answered at once, and a refused request says which member is wrong.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/Session.h>
#include <Poco/JSON/Object.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include "agent_process.h"
#include "json_text.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using Clock = std::chrono::steady_clock;
using Headers = std::map<std::string, std::string>;

HttpAnswer call(const std::string& method, const std::string& path, const std::string& body,
                const std::string& contentType, const Headers& headers = {}) {
    return httpCall(AgentProcess::kPort, method, path, body, contentType, 10, headers);
}

HttpAnswer post(const std::string& path, const std::string& body, const Headers& headers = {}) {
    return call("POST", path, body, "application/json", headers);
}

std::string storedValue(const std::string& dbPath, const std::string& key) {
    Poco::Data::SQLite::Connector::registerConnector();
    Poco::Data::Session session("SQLite", dbPath);
    std::string value;
    std::string name = key;
    session << "SELECT value FROM configurations WHERE key = ?", Poco::Data::Keywords::use(name),
        Poco::Data::Keywords::into(value), Poco::Data::Keywords::now;
    return value;
}

bool hasCorsHeader(const HttpAnswer& answer) {
    for (const auto& [name, value] : answer.headers) {
        if (name.rfind("Access-Control-", 0) == 0) {
            return true;
        }
    }
    return false;
}

// The agent's answer to a request written by hand, and how long it took; "" when
// nothing came within `timeout`.
std::pair<std::string, std::chrono::milliseconds> rawExchange(const std::string& request,
                                                              std::chrono::milliseconds timeout) {
    Poco::Net::StreamSocket socket;
    socket.connect(Poco::Net::SocketAddress("127.0.0.1", AgentProcess::kPort), Poco::Timespan(5, 0));
    const auto start = Clock::now();
    socket.sendBytes(request.data(), static_cast<int>(request.size()));
    std::string answer;
    char buffer[4096];
    while (Clock::now() - start < timeout && answer.find("\r\n\r\n") == std::string::npos) {
        if (!socket.poll(Poco::Timespan(0, 50 * 1000), Poco::Net::Socket::SELECT_READ)) {
            continue;
        }
        const int got = socket.receiveBytes(buffer, sizeof(buffer));
        if (got <= 0) {
            break;
        }
        answer.append(buffer, static_cast<size_t>(got));
    }
    return {answer, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)};
}

const char* const kForeignChange = R"({"monitoring_service_address":"https://collector.example"})";

struct BrowserCase {
    const char* name;
    Headers headers;
    int status;
};

TEST(AgentCallers, BrowserPagesAreRefusedBeforeAnythingIsStored) {
    TempDir home;
    AgentProcess agent(home.path(), R"({"device_ip":"127.0.0.1","device_port":"9",)"
                                    R"("local_api_allowed_origins":"http://till.local:8080"})");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const std::string before = storedValue(agent.dbPath(), "monitoring_service_address");
    const BrowserCase cases[] = {
        {"ForeignOrigin", {{"Origin", "http://shop-ads.example"}}, 403},
        {"OpaqueOrigin", {{"Origin", "null"}}, 403},
        // Another program's page on this computer.
        {"LoopbackPageOfAnotherPort", {{"Origin", "http://127.0.0.1:8080"}}, 403},
        {"LocalhostPageOfAnotherPort", {{"Origin", "http://localhost:3000"}}, 403},
        {"CrossSiteWithoutOrigin", {{"Sec-Fetch-Site", "cross-site"}}, 403},
        {"SameSite", {{"Sec-Fetch-Site", "same-site"}}, 403},
        {"ListedOriginElsewhere", {{"Origin", "http://till.local:8081"}}, 403},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A text/plain POST is what a page can send without a preflight.
        HttpAnswer answer = call("POST", "/api/agent/set_config", kForeignChange, "text/plain", c.headers);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.headers["Content-Type"], "application/json");
        EXPECT_TRUE(parseObject(answer.body)->has("error")) << answer.body;
        EXPECT_FALSE(hasCorsHeader(answer));
        EXPECT_EQ(storedValue(agent.dbPath(), "monitoring_service_address"), before);
    }
    // A preflight learns nothing either.
    HttpAnswer preflight =
        call("OPTIONS", "/api/agent/set_config", "", "",
             {{"Origin", "http://shop-ads.example"}, {"Access-Control-Request-Method", "POST"}});
    EXPECT_EQ(preflight.status, 403);
    EXPECT_FALSE(hasCorsHeader(preflight));
    EXPECT_EQ(call("OPTIONS", "/api/agent/get_config", "", "").status, 403);

    // The till sends neither header; a browser itself typing the address sends "none".
    EXPECT_EQ(post("/api/agent/get_config", "{}").status, 200);
    EXPECT_EQ(post("/api/agent/get_config", "{}", {{"Sec-Fetch-Site", "none"}}).status, 200);
    EXPECT_EQ(post("/api/agent/get_config", "{}", {{"Sec-Fetch-Site", "same-origin"}}).status, 200);
    // The agent's own page (its origin is the address the request went to) is let through.
    EXPECT_EQ(post("/api/agent/get_config", "{}", {{"Origin", "http://127.0.0.1:5555"}}).status, 200);
    // A listed origin is let through, without any CORS header.
    HttpAnswer listed = post("/api/agent/get_config", "{}", {{"Origin", "http://till.local:8080"}});
    EXPECT_EQ(listed.status, 200);
    EXPECT_FALSE(hasCorsHeader(listed));
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentCallers, AConfiguredTokenIsRequiredOnEveryRequest) {
    TempDir home;
    AgentProcess agent(home.path(), R"({"device_ip":"127.0.0.1","device_port":"9",)"
                                    R"("local_api_token":"k7-Qz.long-enough"})");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    struct Case {
        const char* name;
        Headers headers;
        int status;
    };
    const Case cases[] = {
        {"NoHeader", {}, 401},
        {"WrongToken", {{"Authorization", "Bearer k7-Qz.long-enougH"}}, 401},
        {"Prefix", {{"Authorization", "Bearer k7-Qz"}}, 401},
        {"OtherScheme", {{"Authorization", "Basic k7-Qz.long-enough"}}, 401},
        {"RightToken", {{"Authorization", "Bearer k7-Qz.long-enough"}}, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpAnswer answer = post("/api/agent/get_config", "{}", c.headers);
        EXPECT_EQ(answer.status, c.status);
        if (c.status == 401) {
            EXPECT_EQ(answer.headers["WWW-Authenticate"], "Bearer");
            EXPECT_EQ(parseObject(answer.body)->has("data"), false) << answer.body;
        }
    }
    // The status command takes the token from its environment.
    for (const auto& [env, status] :
         {std::make_pair(std::map<std::string, std::string>{}, 3),
          std::make_pair(std::map<std::string, std::string>{{"ORVIX_API_TOKEN", "k7-Qz.long-enough"}}, 1)}) {
        ChildProcess command({agentBinary(), "--status"}, env, home.path());
        EXPECT_EQ(command.wait(std::chrono::seconds(10)), status) << command.stdoutText();
    }
    // The token is a secret like the cloud's: stored encrypted.
    EXPECT_NE(storedValue(agent.dbPath(), "local_api_token"), "k7-Qz.long-enough");
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentCallers, SetConfigLogsTheCallerAndTheKeyNamesButNoValue) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    ASSERT_EQ(
        post("/api/agent/set_config", R"({"velmora_monitoring_client_secret":"pa55-w0rd-x","zz_note":"q1"})")
            .body,
        R"({"code":0,"data":null})");
    const std::string log = agent.todaysLog();
    EXPECT_NE(log.find("set_config from 127.0.0.1"), std::string::npos) << log;
    EXPECT_NE(log.find("velmora_monitoring_client_secret, zz_note"), std::string::npos) << log;
    EXPECT_EQ(log.find("pa55-w0rd-x"), std::string::npos);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentCallers, ARequestWithoutABodyIsAnsweredAtOnce) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    for (const char* method : {"POST", "OPTIONS", "PATCH"}) {
        SCOPED_TRACE(method);
        auto [answer, took] =
            rawExchange(std::string(method) + " /api/agent/get_config HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                        std::chrono::seconds(4));
        EXPECT_LT(took, std::chrono::seconds(1)) << answer;
        EXPECT_EQ(answer.rfind("HTTP/1.1 408", 0), std::string::npos) << answer;
        EXPECT_EQ(answer.rfind("HTTP/1.1 ", 0), 0u) << answer;
    }
    EXPECT_EQ(agent.stop(), 0);
}

struct MistakeCase {
    const char* name;
    const char* path;
    const char* body;
    const char* member;   // "" when the body as a whole is wrong
    const char* problem;  // part of the "error" text
};

TEST(AgentCallers, ACallersMistakeIs400NamingTheMember) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const MistakeCase cases[] = {
        {"FeedbackWithoutSid", "/api/result_feedback", R"({"id":"4711"})", "sid", "missing"},
        {"FeedbackWithNullId", "/api/result_feedback", R"({"sid":"s1","id":null})", "id", "null"},
        {"FeedbackSidAPath", "/api/result_feedback", R"({"sid":"../x","id":"1"})", "sid", "start with"},
        {"FeedbackSidHidden", "/api/result_feedback", R"({"sid":".x","id":"1"})", "sid", "start with"},
        {"FeedbackSidWithASeparator", "/api/result_feedback", R"({"sid":"a/b","id":"1"})", "sid",
         "separator"},
        {"FeedbackSidWithAControl", "/api/result_feedback", R"({"sid":"a\tb","id":"1"})", "sid", "control"},
        {"LimitMissing", "/api/set_sync_limit", "{}", "limit", "missing"},
        {"LimitNoNumber", "/api/set_sync_limit", R"({"limit":"three"})", "limit", "expected an integer"},
        {"IdsNoArray", "/api/export_template", R"({"ids":"1,2"})", "ids", "expected an array"},
        {"NotJson", "/api/agent/get_config", "not json", "", "JSON"},
        {"AnArray", "/api/agent/get_config", "[1,2]", "", "JSON object"},
        {"EmptyBody", "/api/agent/set_config", "", "", "JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpAnswer answer = post(c.path, c.body);
        EXPECT_EQ(answer.status, 400);
        EXPECT_EQ(answer.headers["Content-Type"], "application/json");
        Poco::JSON::Object::Ptr reason = parseObject(answer.body);
        EXPECT_NE(reason->optValue<std::string>("error", "").find(c.problem), std::string::npos)
            << answer.body;
        EXPECT_EQ(reason->optValue<std::string>("member", ""), c.member) << answer.body;
    }
    EXPECT_EQ(post("/api/agent/get_config", "{}").status, 200);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentCallers, ARefusedSetConfigSaysWhy) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    Poco::JSON::Object::Ptr answer =
        parseObject(post("/api/agent/set_config", R"({"device_port":"70000"})").body);
    EXPECT_EQ(answer->getValue<int>("code"), -6210);
    EXPECT_TRUE(answer->isNull("data"));
    EXPECT_EQ(answer->optValue<std::string>("msg", "").rfind("device_port: ", 0), 0u) << compact(answer);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentCallers, AConfigFileNumberForATextKeyIsAccepted) {
    TempDir home;
    AgentProcess agent(home.path(), R"({"device_ip":"127.0.0.1","device_port":"9","logging_level":7,)"
                                    R"("velmora_monitoring_client_secret":"kept-secret"})");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    EXPECT_FALSE(std::filesystem::exists(agent.appData() + "/config.json")) << agent.todaysLog();
    Poco::JSON::Object::Ptr config = parseObject(post("/api/agent/get_config", "{}").body)->getObject("data");
    EXPECT_EQ(config->getValue<std::string>("velmora_monitoring_client_secret"), "kept-secret");
    EXPECT_EQ(config->getValue<std::string>("logging_level"), "7");
    EXPECT_EQ(storedValue(agent.dbPath(), "logging_level"), "7");
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
