// The cloud simulator as a process: its token endpoint, the bearer check of the monitoring
// API, what it records, its task queue, its faults, its registry and HTTPS; and the
// oidc-provider peer as an independent token endpoint.

#include "cloud_sim_peer.h"
#include "oidc_peer.h"
#include "test_support.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/StreamCopier.h>
#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <set>
#include <thread>

namespace orvix::test {
namespace {

namespace json = boost::json;

const std::string kForm = "application/x-www-form-urlencoded";
const std::string kJson = "application/json";

std::string tokenForm(const std::string& secret, const std::string& extra = {}) {
    return "grant_type=client_credentials&client_id=device&client_secret=" + secret + extra;
}

std::set<std::string> keysOf(const json::object& object) {
    std::set<std::string> keys;
    for (const auto& member : object) {
        keys.insert(std::string(member.key()));
    }
    return keys;
}

json::object parsed(const HttpAnswer& answer) {
    return json::parse(answer.body).as_object();
}

TEST(CloudSimTest, TokenEndpointGrantsOnlyTheRightClient) {
    CloudSimPeer sim;
    struct Case {
        const char* name;
        std::string form;
        int status;
        const char* error;  // nullptr: a token answer
    };
    const Case cases[] = {
        {"right secret", tokenForm("secret"), 200, nullptr},
        {"wrong secret", tokenForm("wrong"), 401, "invalid_client"},
        {"no secret", "grant_type=client_credentials&client_id=device", 401, "invalid_client"},
        {"other client", "grant_type=client_credentials&client_id=scale&client_secret=secret", 401,
         "invalid_client"},
        {"unknown refresh token", tokenForm("secret", "&refresh_token=never-issued"), 401, "invalid_grant"},
        {"other grant", "grant_type=password&client_id=device&client_secret=secret", 400,
         "unsupported_grant_type"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto answer = sim.call("POST", kMonitoringTokenPath, c.form, kForm);
        EXPECT_EQ(answer.status, c.status) << answer.body;
        auto body = parsed(answer);
        if (c.error != nullptr) {
            EXPECT_EQ(body.at("error"), c.error);
            continue;
        }
        EXPECT_EQ(keysOf(body),
                  (std::set<std::string>{"access_token", "expires_in", "refresh_expires_in", "refresh_token",
                                         "token_type", "session_state", "scope"}));
        EXPECT_FALSE(body.at("access_token").as_string().empty());
        EXPECT_EQ(body.at("expires_in"), 300);
        EXPECT_EQ(body.at("refresh_expires_in"), 1800);
        EXPECT_EQ(body.at("token_type"), "Bearer");
        EXPECT_TRUE(body.at("session_state").is_string());
        EXPECT_TRUE(body.at("scope").is_string());
    }
    auto requests = sim.received("token_requests");
    ASSERT_EQ(requests.size(), std::size(cases));
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].at("status"), cases[i].status) << cases[i].name;
    }
    EXPECT_EQ(requests[0].at("refresh"), false);
    EXPECT_EQ(requests[4].at("refresh"), true);
    EXPECT_EQ(requests[3].at("client_id"), "scale");
}

TEST(CloudSimTest, RefreshTokenRenewsOnceAndExpires) {
    CloudSimPeer sim;
    auto first = parsed(sim.call("POST", kMonitoringTokenPath, tokenForm("secret"), kForm));
    std::string refresh(first.at("refresh_token").as_string());

    auto renewed =
        sim.call("POST", kMonitoringTokenPath, tokenForm("secret", "&refresh_token=" + refresh), kForm);
    ASSERT_EQ(renewed.status, 200) << renewed.body;
    auto second = parsed(renewed);
    EXPECT_NE(second.at("access_token"), first.at("access_token"));
    EXPECT_NE(second.at("refresh_token"), first.at("refresh_token"));
    // Both access tokens stay usable until they expire.
    for (const auto& token : {first.at("access_token"), second.at("access_token")}) {
        EXPECT_EQ(sim.apiCall("GET", "/api/v1/stores", std::string(token.as_string())).status, 200);
    }
    // A refresh token is used up by its renewal.
    auto again =
        sim.call("POST", kMonitoringTokenPath, tokenForm("secret", "&refresh_token=" + refresh), kForm);
    EXPECT_EQ(again.status, 401) << again.body;

    sim.token(R"({"refresh_lifetime":1})");
    std::string shortLived(parsed(sim.call("POST", kMonitoringTokenPath, tokenForm("secret"), kForm))
                               .at("refresh_token")
                               .as_string());
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    auto expired =
        sim.call("POST", kMonitoringTokenPath, tokenForm("secret", "&refresh_token=" + shortLived), kForm);
    EXPECT_EQ(expired.status, 401) << expired.body;
}

TEST(CloudSimTest, ShortFormHasOnlyTheStandardFields) {
    CloudSimPeer sim({"--short-token", "--token-lifetime", "77"});
    auto answer = sim.call("POST", kMonitoringTokenPath, tokenForm("secret"), kForm);
    ASSERT_EQ(answer.status, 200) << answer.body;
    auto body = parsed(answer);
    EXPECT_EQ(keysOf(body), (std::set<std::string>{"access_token", "expires_in", "token_type"}));
    EXPECT_EQ(body.at("expires_in"), 77);
    EXPECT_EQ(sim.apiCall("GET", "/api/v1/stores", std::string(body.at("access_token").as_string())).status,
              200);

    // Switched at run time, the same simulator answers the full form.
    sim.token(R"({"short":false})");
    EXPECT_EQ(parsed(sim.call("POST", kMonitoringTokenPath, tokenForm("secret"), kForm)).size(), 7u);
}

TEST(CloudSimTest, MonitoringApiNeedsAValidBearerToken) {
    CloudSimPeer sim;
    const std::string valid = sim.accessToken();
    sim.token(R"({"lifetime":0})");
    const std::string expired = sim.accessToken();
    sim.token(R"({"lifetime":300})");

    struct Case {
        const char* name;
        std::map<std::string, std::string> headers;
        int status;
    };
    const Case cases[] = {
        {"no header", {}, 401},
        {"unknown token", {{"Authorization", "Bearer 0123456789"}}, 401},
        {"expired token", {{"Authorization", "Bearer " + expired}}, 401},
        {"other scheme", {{"Authorization", "Basic " + valid}}, 401},
        {"valid token", {{"Authorization", "Bearer " + valid}}, 200},
    };
    const char* const paths[] = {"/api/v1/stores", "/api/v1/devices?serial_number=x", "/api/v1/devices/42"};
    for (const auto& c : cases) {
        for (const char* path : paths) {
            SCOPED_TRACE(std::string(c.name) + " " + path);
            auto answer = sim.call("GET", path, {}, {}, c.headers);
            EXPECT_EQ(answer.status, c.status) << answer.body;
            if (c.status == 401) {
                EXPECT_EQ(parsed(answer).at("error"), "invalid_token");
            }
        }
    }
    EXPECT_EQ(sim.apiCall("POST", "/api/v1/devices/42/recognition", "", "{}").status, 401);
    EXPECT_TRUE(sim.received("recognitions").empty());

    sim.revokeTokens();
    EXPECT_EQ(sim.apiCall("GET", "/api/v1/stores", valid).status, 401);
}

TEST(CloudSimTest, RecordsWhatTheDeviceSendsInOrder) {
    CloudSimPeer sim;
    const std::string token = sim.accessToken();
    struct Case {
        const char* path;
        const char* body;
    };
    const Case posts[] = {
        {"/api/v1/devices/42/recognition", R"({"recognition_session":"s1","product_code":7})"},
        {"/api/v1/devices//recognition", R"({"recognition_session":"s2"})"},
        {"/api/v1/devices/42/recognition", "not json"},
        {"/api/v1/devices/42/alert", R"({"error_code":-6103,"description":"[2024-05-01 10:00:00] lost"})"},
        {"/api/v1/devices/42/attributes", R"([{"key":"firmware","value":"1.12.3"}])"},
    };
    for (const auto& post : posts) {
        auto answer = sim.apiCall("POST", post.path, token, post.body);
        EXPECT_EQ(answer.status, 200) << post.path << ": " << answer.body;
    }

    auto received = sim.received();
    const auto& recognitions = received.at("recognitions").as_array();
    ASSERT_EQ(recognitions.size(), 3u);
    EXPECT_EQ(recognitions[0].at("device"), "42");
    EXPECT_EQ(recognitions[0].at("body").at("product_code"), 7);
    EXPECT_EQ(recognitions[1].at("device"), "");
    EXPECT_EQ(recognitions[1].at("body").at("recognition_session"), "s2");
    EXPECT_EQ(recognitions[2].at("body"), "not json");
    ASSERT_EQ(received.at("alerts").as_array().size(), 1u);
    EXPECT_EQ(received.at("alerts").at(0).at("body").at("error_code"), -6103);
    ASSERT_EQ(received.at("attributes").as_array().size(), 1u);
    // The registry shows the last attributes the device reported.
    auto attributes = parsed(sim.apiCall("GET", "/api/v1/devices/42/attributes", token));
    EXPECT_EQ(attributes.at("data"), json::parse(posts[4].body));

    sim.reset();
    for (const char* list : {"recognitions", "alerts", "attributes", "requests"}) {
        EXPECT_TRUE(sim.received(list).empty()) << list;
    }
}

TEST(CloudSimTest, TaskIsHandedOutOnceAndItsAnswersAreRecorded) {
    CloudSimPeer sim;
    const std::string token = sim.accessToken();
    EXPECT_EQ(sim.enqueueTask("42", "7", "exec_command", R"({"command":"get_device_info"})"), "7");
    const std::string generated = sim.enqueueTask("42", "", "download_log_file");
    EXPECT_FALSE(generated.empty());

    auto other = sim.apiCall("GET", "/api/v1/devices/43/task", token);
    EXPECT_EQ(other.status, 204);
    EXPECT_TRUE(other.body.empty());

    auto first = sim.apiCall("GET", "/api/v1/devices/42/task", token);
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(json::parse(first.body),
              json::parse(R"({"id":"7","type":"exec_command","data":{"command":"get_device_info"}})"));
    auto second = parsed(sim.apiCall("GET", "/api/v1/devices/42/task", token));
    EXPECT_EQ(second.at("id"), json::value(generated));
    EXPECT_EQ(second.at("data"), json::object());
    auto none = sim.apiCall("GET", "/api/v1/devices/42/task", token);
    EXPECT_EQ(none.status, 204);
    EXPECT_TRUE(none.body.empty());

    // A raw answer body is handed out as it is, also for the empty device id.
    sim.enqueueRawTask("", "null");
    auto raw = sim.apiCall("GET", "/api/v1/devices//task", token);
    EXPECT_EQ(raw.status, 200);
    EXPECT_EQ(raw.body, "null");

    const std::pair<const char*, const char*> answers[] = {{"confirm", R"({"log":"url"})"},
                                                           {"reject", R"({"description":"no"})"},
                                                           {"error", R"({"error":"-6103"})"}};
    for (const auto& [kind, body] : answers) {
        auto answer = sim.apiCall("POST", std::string("/api/v1/devices/42/tasks/7/") + kind, token, body);
        EXPECT_EQ(answer.status, 200) << kind;
    }
    auto recorded = sim.taskAnswers("7");
    ASSERT_EQ(recorded.size(), 3u);
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        EXPECT_EQ(recorded[i].at("kind"), answers[i].first);
        EXPECT_EQ(recorded[i].at("device"), "42");
        EXPECT_EQ(recorded[i].at("body"), json::parse(answers[i].second));
    }
    EXPECT_EQ(sim.received("tasks_fetched").size(), 3u);
}

TEST(CloudSimTest, FaultsSpoilTheirTargetOnly) {
    struct Case {
        const char* name;
        const char* fault;
        int status;  // 0: the connection is dropped without answer
        bool emptyBody;
        int minMs;
        bool recorded;  // the recognition reaches the recorded list
    };
    const Case cases[] = {
        {"status", R"({"target":"recognition","mode":"status","status":500})", 500, false, 0, false},
        {"empty", R"({"target":"recognition","mode":"empty"})", 200, true, 0, false},
        {"drop", R"({"target":"recognition","mode":"drop"})", 0, false, 0, false},
        {"delay", R"({"target":"recognition","mode":"delay","delay_ms":400})", 200, false, 400, true},
        {"all targets", R"({"target":"all","mode":"status","status":503})", 503, false, 0, false},
    };
    CloudSimPeer sim;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.reset();
        const std::string token = sim.accessToken();
        sim.fault(c.fault);
        auto started = std::chrono::steady_clock::now();
        if (c.status == 0) {
            EXPECT_ANY_THROW(sim.apiCall("POST", "/api/v1/devices/42/recognition", token, "{}"));
        } else {
            auto answer = sim.apiCall("POST", "/api/v1/devices/42/recognition", token, "{}");
            EXPECT_EQ(answer.status, c.status);
            EXPECT_EQ(answer.body.empty(), c.emptyBody) << answer.body;
        }
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        EXPECT_GE(ms.count(), c.minMs);
        EXPECT_EQ(sim.received("recognitions").size(), c.recorded ? 1u : 0u);
        // Alerts are another target; the control interface is never faulted.
        if (std::string(c.name) != "all targets") {
            EXPECT_EQ(sim.apiCall("POST", "/api/v1/devices/42/alert", token, "{}").status, 200);
        }
        // After the token request comes the recognition, with the status it got.
        auto requests = sim.received("requests");
        ASSERT_GE(requests.size(), 2u);
        EXPECT_EQ(requests[1].at("path"), "/api/v1/devices/42/recognition");
        EXPECT_EQ(requests[1].at("status"), c.status);
    }

    // A counted fault spoils that many requests, then the target answers normally again.
    sim.reset();
    const std::string token = sim.accessToken();
    sim.fault(R"({"target":"task","mode":"status","status":500,"count":2})");
    std::vector<int> statuses;
    for (int i = 0; i < 3; ++i) {
        statuses.push_back(sim.apiCall("GET", "/api/v1/devices/42/task", token).status);
    }
    EXPECT_EQ(statuses, (std::vector<int>{500, 500, 204}));

    auto refused = sim.call("POST", "/control/fault", R"({"target":"nowhere","mode":"drop"})", kJson);
    EXPECT_EQ(refused.status, 400);
}

TEST(CloudSimTest, RegistryFindsDevicesByEveryQueryParameter) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string query;
        std::size_t found;
    };
    const std::string lookup =
        "serial_number=VLM2A0C1B7E4&model=Velmora%20Orvix%20Module&type=recognition_module";
    const Case cases[] = {
        {"the agent's lookup", {}, lookup, 1},
        {"serial alone", {}, "serial_number=VLM2A0C1B7E4", 1},
        {"other serial", {}, "serial_number=VLM000000000", 0},
        {"field the devices lack", {}, "serial_number=VLM2A0C1B7E4&colour=red", 0},
        {"no query", {}, "", 1},
        {"serial registered twice", {"--seed-duplicate"}, lookup, 2},
        {"changed seed", {"--device-id", "17", "--device-sn", "SN17"}, "serial_number=SN17", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CloudSimPeer sim(c.args);
        auto answer =
            sim.apiCall("GET", "/api/v1/devices" + (c.query.empty() ? "" : "?" + c.query), sim.accessToken());
        ASSERT_EQ(answer.status, 200) << answer.body;
        const json::array data = parsed(answer).at("data").as_array();
        EXPECT_EQ(data.size(), c.found);
        std::set<std::string> ids;
        for (const auto& device : data) {
            ids.insert(std::string(device.at("id").as_string()));
        }
        EXPECT_EQ(ids.size(), data.size()) << "ids must differ";
    }
}

TEST(CloudSimTest, RegistryKeepsCreatedChangedAndDeletedDevices) {
    CloudSimPeer sim;
    const std::string token = sim.accessToken();
    for (const char* list : {"/api/v1/stores", "/api/v1/stores/types", "/api/v1/stores/departments",
                             "/api/v1/stores/regions", "/api/v1/devices/models"}) {
        auto answer = sim.apiCall("GET", list, token);
        EXPECT_EQ(answer.status, 200) << list;
        EXPECT_FALSE(parsed(answer).at("data").as_array().empty()) << list;
    }
    EXPECT_EQ(parsed(sim.apiCall("GET", "/api/v1/devices/42", token)).at("serial_number"), "VLM2A0C1B7E4");
    auto missing = sim.apiCall("GET", "/api/v1/devices/999", token);
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(parsed(missing).at("error"), "not found");

    auto created =
        parsed(sim.apiCall("POST", "/api/v1/devices", token, R"({"serial_number":"NEW1","type":"scale"})"));
    const std::string id(created.at("id").as_string());
    EXPECT_NE(id, "42");
    auto patched = parsed(sim.apiCall("PATCH", "/api/v1/devices/" + id, token, R"({"name":"Scale 9"})"));
    EXPECT_EQ(patched.at("name"), "Scale 9");
    EXPECT_EQ(patched.at("serial_number"), "NEW1");
    EXPECT_EQ(parsed(sim.apiCall("GET", "/api/v1/devices?type=scale", token)).at("data").as_array().size(),
              1u);
    EXPECT_EQ(sim.apiCall("DELETE", "/api/v1/devices/" + id, token).status, 200);
    EXPECT_EQ(sim.apiCall("GET", "/api/v1/devices/" + id, token).status, 404);
    EXPECT_EQ(sim.apiCall("PUT", "/api/v1/devices/42", token, "{}").status, 405);
    EXPECT_EQ(sim.apiCall("POST", "/api/v1/devices", token, "[1]").status, 400);

    sim.apiCall("POST", "/api/v1/devices/42/attributes", token, R"([{"key":"k","value":"v"}])");
    auto data = parsed(sim.apiCall("POST", "/api/v1/devices/data", token, R"({"ids":["42"]})")).at("data");
    EXPECT_EQ(data, json::parse(R"([{"id":"42","attributes":[{"key":"k","value":"v"}]}])"));

    // Reset brings the seeded registry back.
    sim.reset();
    EXPECT_EQ(
        parsed(sim.apiCall("GET", "/api/v1/devices?serial_number=NEW1", token)).at("data").as_array().size(),
        0u);
}

TEST(CloudSimTest, ServesHttpsWithItsOwnCertificate) {
    TempDir dir;
    const std::string certificate = dir.file("cloud-sim.pem");
    CloudSimPeer sim({"--tls", "--cert-out", certificate});
    ASSERT_TRUE(sim.tls());
    EXPECT_EQ(sim.baseUrl(), "https://127.0.0.1:" + std::to_string(sim.port()));
    // Through the fixture: HTTPS without certificate checks.
    const std::string token = sim.accessToken();
    EXPECT_EQ(sim.apiCall("GET", "/api/v1/stores", token).status, 200);
    // Plain HTTP on the same port gets no HTTP answer.
    EXPECT_ANY_THROW(httpCall(sim.port(), "GET", "/control/received", {}, {}, 3));

    // A client that checks the chain against the written certificate accepts it for localhost.
    Poco::Net::initializeSSL();
    Poco::Net::Context::Ptr verifying = new Poco::Net::Context(
        Poco::Net::Context::TLS_CLIENT_USE, "", "", certificate, Poco::Net::Context::VERIFY_STRICT);
    Poco::Net::HTTPSClientSession session("localhost", sim.port(), verifying);
    session.setTimeout(Poco::Timespan(10, 0));
    Poco::Net::HTTPRequest request("GET", "/control/token", Poco::Net::HTTPMessage::HTTP_1_1);
    session.sendRequest(request);
    Poco::Net::HTTPResponse response;
    std::string body;
    Poco::StreamCopier::copyToString(session.receiveResponse(response), body);
    EXPECT_EQ(response.getStatus(), Poco::Net::HTTPResponse::HTTP_OK);
    EXPECT_EQ(json::parse(body).at("valid_access_tokens"), 1);
}

TEST(OidcPeerTest, AnswersClientCredentialsInTheShortFormOnly) {
    OidcPeer oidc("s3cret", 120);
    auto granted = httpCall(oidc.port(), "POST", kMonitoringTokenPath, tokenForm("s3cret"), kForm);
    ASSERT_EQ(granted.status, 200) << granted.body;
    auto body = parsed(granted);
    EXPECT_EQ(keysOf(body), (std::set<std::string>{"access_token", "expires_in", "token_type"}));
    EXPECT_FALSE(body.at("access_token").as_string().empty());
    EXPECT_EQ(body.at("expires_in"), 120);
    EXPECT_EQ(body.at("token_type"), "Bearer");

    auto refused = httpCall(oidc.port(), "POST", kMonitoringTokenPath, tokenForm("wrong"), kForm);
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(parsed(refused).at("error"), "invalid_client");
}

}  // namespace
}  // namespace orvix::test
