#include "monitoring_bench.h"

#include <boost/json.hpp>

#include <Poco/Net/HTTPResponse.h>

#include "device_data_provider.h"
#include "monitoring.h"
#include "queries.h"
#include "s3client_provider.h"

namespace orvix::test {

CannedReply jsonReply(int status, const std::string& body) {
    return CannedReply{
        status,
        Poco::Net::HTTPResponse::getReasonForStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status)),
        "application/json", body};
}

std::string standardTokenAnswer(const std::string& accessToken, long long expiresIn) {
    boost::json::object answer;
    answer["access_token"] = accessToken;
    answer["expires_in"] = expiresIn;
    answer["token_type"] = "Bearer";
    return boost::json::serialize(answer);
}

std::string fullTokenAnswer(const std::string& accessToken, long long expiresIn,
                            const std::string& refreshToken) {
    boost::json::object answer;
    answer["access_token"] = accessToken;
    answer["expires_in"] = expiresIn;
    answer["refresh_expires_in"] = 1800;
    answer["refresh_token"] = refreshToken;
    answer["token_type"] = "Bearer";
    answer["session_state"] = "state-1";
    answer["scope"] = "profile email";
    return boost::json::serialize(answer);
}

bool isTokenRequest(const RecordedRequest& request) {
    return request.uri == "/auth/realms/Velmora/protocol/openid-connect/token";
}

std::vector<std::string> RecordingTaskHandlers::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

velmora::Engine::Sync::MonitoringDriver* RecordingTaskHandlers::monitoring() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return monitoring_;
}

void RecordingTaskHandlers::setMonitoringInstance(velmora::Engine::Sync::MonitoringDriver* monitoring) {
    std::lock_guard<std::mutex> lock(mutex_);
    monitoring_ = monitoring;
}

void RecordingTaskHandlers::record(const std::string& handler, Task& task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(handler);
    }
    if (action) {
        action(handler, task);
    }
}

MonitoringBench::MonitoringBench() {
    config_ = velmora::Utils::Queries::getAllConfigs(database_.session());
    driver_ = std::make_unique<velmora::Engine::Sync::MonitoringDriver>(database_.session(), config_, lock_);
}

MonitoringBench::~MonitoringBench() = default;

void MonitoringBench::start(RecordingServer& service, const MonitoringSetup& setup) {
    driver_->setMonitoringSettings("velmora", "127.0.0.1", std::to_string(service.port()), setup.gettingTasks,
                                   setup.imageSending, setup.periodMs, setup.secret, setup.deviceId,
                                   setup.imagesFolder, setup.storage, setup.tasks, setup.deviceData,
                                   setup.reinit);
}

void MonitoringBench::configureStopped(RecordingServer& service, const MonitoringSetup& setup,
                                       RecordingServer::Responder responder) {
    service.setResponder([](const RecordedRequest&) { return jsonReply(503, ""); });
    start(service, setup);
    driver_->stop();
    skipped_ = service.requests().size();
    service.setResponder(std::move(responder));
}

std::vector<RecordedRequest> MonitoringBench::requests(const RecordingServer& service) const {
    auto all = service.requests();
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(skipped_, all.size())));
    return all;
}

}  // namespace orvix::test
