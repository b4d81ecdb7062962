#include "cloud_agent.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/Session.h>

#include "s3client_provider.h"

namespace orvix::test {

namespace json = boost::json;

HttpAnswer agentCall(const std::string& method, const std::string& target, const std::string& body) {
    return httpCall(AgentProcess::kPort, method, target, body, body.empty() ? "" : "application/json");
}

json::object agentJson(const std::string& method, const std::string& target, const std::string& body) {
    const HttpAnswer answer = agentCall(method, target, body);
    EXPECT_EQ(answer.status, 200) << target << ": " << answer.body;
    return json::parse(answer.body).as_object();
}

int checkConnect() {
    return static_cast<int>(agentJson("GET", "/api/agent/check_connect").at("code").to_number<int>());
}

json::value configValue(const std::string& key) {
    const json::object answer = agentJson("POST", "/api/agent/get_config", R"({"keys":[")" + key + R"("]})");
    const json::object& data = answer.at("data").as_object();
    const auto* found = data.if_contains(key);
    return found ? *found : json::value();
}

std::string peersConfig(unsigned short modulePort, const std::string& cloudUrl, const S3rverPeer& storage,
                        int periodMs) {
    const auto colon = cloudUrl.rfind(':');
    json::object config{
        {"device_ip", "127.0.0.1"},
        {"device_port", std::to_string(modulePort)},
        {"monitoring_service_address", cloudUrl.substr(0, colon)},
        {"monitoring_service_port", cloudUrl.substr(colon + 1)},
        {"velmora_monitoring_client_secret", CloudSimPeer::kClientSecret},
        {"monitoring_request_frequency", periodMs},
        {"file_storage_service_address", storage.endpoint()},
        {"file_storage_service_bucket", storage.bucket()},
        {"file_storage_service_login", S3rverPeer::kAccessKey},
        {"file_storage_service_password", S3rverPeer::kSecretKey},
    };
    return json::serialize(config);
}

CloudAgent::CloudAgent(const std::vector<std::string>& cloudArgs,
                       const std::function<void(CloudAgent&)>& beforeStart)
    : module(output.path()), cloud(cloudArgs) {
    if (beforeStart) {
        beforeStart(*this);
    }
    agent = std::make_unique<AgentProcess>(home.path(), peersConfig(module.port(), cloud.baseUrl(), storage),
                                           std::map<std::string, std::string>{{"TMPDIR", tmp.path()}});
    if (!agent->waitReady()) {
        throw std::runtime_error("the agent did not start: " + agent->process().stderrText());
    }
    objects = std::make_unique<velmora::Engine::Sync::S3ClientProvider>(
        storage.endpoint(), storage.bucket(), S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
}

CloudAgent::~CloudAgent() {
    if (agent) {
        EXPECT_EQ(agent->stop(), 0);
    }
}

void CloudAgent::putObject(const std::string& key, const std::string& bytes) {
    const std::string path = files.file("object-" + std::to_string(++uploads));
    writeFile(path, bytes);
    std::string url;
    ASSERT_TRUE(objects->uploadFile(path, key, url, true)) << key;
}

std::string CloudAgent::getObject(const std::string& key) {
    const auto bytes = objects->downloadFile(key);
    return std::string(bytes.begin(), bytes.end());
}

std::string CloudAgent::objectAt(const std::string& url) {
    const std::string base = objects->getObjectUrl("");
    EXPECT_EQ(url.rfind(base, 0), 0u) << url << " is not under " << base;
    return getObject(url.substr(base.size()));
}

json::object CloudAgent::moduleState() {
    return json::parse(module.state()).as_object().at("module").as_object();
}

Poco::Int64 CloudAgent::count(const std::string& table) {
    Poco::Data::SQLite::Connector::registerConnector();
    Poco::Data::Session session("SQLite", agent->dbPath());
    Poco::Int64 rows = 0;
    session << "SELECT COUNT(*) FROM " + table, Poco::Data::Keywords::into(rows), Poco::Data::Keywords::now;
    return rows;
}

std::string CloudAgent::sale(const std::string& item) {
    const json::object result = agentJson("GET", "/api/get_result");
    EXPECT_EQ(result.at("code").to_number<int>(), 0) << json::serialize(result);
    const std::string sid(result.at("data").at("sid").as_string());
    const json::object feedback =
        agentJson("POST", "/api/result_feedback",
                  R"({"sid":")" + sid + R"(","id":")" + item + R"(","method_of_selection":"recognition"})");
    EXPECT_EQ(feedback.at("code").to_number<int>(), 0) << json::serialize(feedback);
    return sid;
}

std::vector<json::object> CloudAgent::recognitionsOf(const std::string& sid) {
    std::vector<json::object> found;
    for (const auto& entry : cloud.received("recognitions")) {
        const auto& body = entry.at("body");
        const auto* session =
            body.is_object() ? body.as_object().if_contains("recognition_session") : nullptr;
        if (session && *session == json::value(sid)) {
            found.push_back(body.as_object());
        }
    }
    return found;
}

json::value CloudAgent::answerOf(const std::string& taskId, std::chrono::milliseconds timeout) {
    json::array answers;
    waitUntil(
        [&] {
            answers = cloud.taskAnswers(taskId);
            return !answers.empty();
        },
        timeout);
    return answers.empty() ? json::value() : answers.front();
}

}  // namespace orvix::test
