#include "cloud_sim_peer.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <boost/json.hpp>

#include <csignal>
#include <stdexcept>

namespace orvix::test {

namespace {

const std::string kJson = "application/json";

HttpAnswer httpsCall(unsigned short port, const std::string& method, const std::string& target,
                     const std::string& body, const std::string& contentType,
                     const std::map<std::string, std::string>& headers) {
    static const bool sslReady = [] {
        Poco::Net::initializeSSL();
        return true;
    }();
    (void)sslReady;
    Poco::Net::Context::Ptr context =
        new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", Poco::Net::Context::VERIFY_NONE);
    Poco::Net::HTTPSClientSession session("127.0.0.1", port, context);
    session.setTimeout(Poco::Timespan(10, 0));
    Poco::Net::HTTPRequest request(method, target, Poco::Net::HTTPMessage::HTTP_1_1);
    for (const auto& [name, value] : headers) {
        request.set(name, value);
    }
    if (!contentType.empty()) {
        request.setContentType(contentType);
    }
    request.setContentLength64(static_cast<Poco::Int64>(body.size()));
    session.sendRequest(request) << body;
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    HttpAnswer answer;
    answer.status = static_cast<int>(response.getStatus());
    answer.reason = response.getReason();
    for (const auto& [name, value] : response) {
        answer.headers[name] = value;
    }
    answer.hasContentLength = response.hasContentLength();
    Poco::StreamCopier::copyToString(in, answer.body);
    return answer;
}

}  // namespace

CloudSimPeer::CloudSimPeer(const std::vector<std::string>& extraArgs) {
    // Port 0: the simulator binds a free port itself and names it in its first line.
    std::vector<std::string> argv{std::string(ORVIX_BINARY_DIR) + "/orvix-cloud-sim", "--host", "127.0.0.1",
                                  "--port", "0"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    process_ = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{}, dir_.path());
    const std::string marker = "listening on ";
    std::string url;
    waitUntil(
        [&] {
            auto text = process_->stdoutText();
            auto at = text.find(marker);
            auto end = at == std::string::npos ? at : text.find_first_of(" \n", at + marker.size());
            if (end != std::string::npos) {
                url = text.substr(at + marker.size(), end - at - marker.size());
            }
            return !url.empty() || !process_->running();
        },
        std::chrono::seconds(10));
    if (url.empty()) {
        throw std::runtime_error("cloud simulator did not start: " + process_->stderrText());
    }
    Poco::URI uri(url);
    tls_ = uri.getScheme() == "https";
    port_ = uri.getPort();
}

CloudSimPeer::~CloudSimPeer() {
    stop();
}

std::string CloudSimPeer::baseUrl() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

HttpAnswer CloudSimPeer::call(const std::string& method, const std::string& target, const std::string& body,
                              const std::string& contentType,
                              const std::map<std::string, std::string>& headers) const {
    if (tls_) {
        return httpsCall(port_, method, target, body, contentType, headers);
    }
    return httpCall(port_, method, target, body, contentType, 10, headers);
}

std::string CloudSimPeer::accessToken(const std::string& secret) const {
    std::string form = "grant_type=client_credentials&client_id=device&client_secret=";
    Poco::URI::encode(secret, "&=+", form);
    auto answer = call("POST", kMonitoringTokenPath, form, "application/x-www-form-urlencoded");
    if (answer.status != 200) {
        throw std::runtime_error("no token: " + std::to_string(answer.status) + " " + answer.body);
    }
    return std::string(boost::json::parse(answer.body).at("access_token").as_string());
}

HttpAnswer CloudSimPeer::apiCall(const std::string& method, const std::string& target,
                                 const std::string& token, const std::string& body) const {
    return call(method, target, body, body.empty() ? std::string() : kJson,
                {{"Authorization", "Bearer " + token}});
}

std::string CloudSimPeer::control(const std::string& method, const std::string& path,
                                  const std::string& body) const {
    auto answer = call(method, path, body, body.empty() ? std::string() : kJson);
    if (answer.status != 200) {
        throw std::runtime_error(method + " " + path + " refused: " + std::to_string(answer.status) + " " +
                                 answer.body);
    }
    return answer.body;
}

boost::json::object CloudSimPeer::received() const {
    return boost::json::parse(control("GET", "/control/received")).as_object();
}

boost::json::array CloudSimPeer::received(const std::string& list) const {
    return received().at(list).as_array();
}

boost::json::array CloudSimPeer::taskAnswers(const std::string& taskId) const {
    boost::json::array answers;
    for (const auto& answer : received("task_answers")) {
        if (answer.at("task_id") == boost::json::value(taskId)) {
            answers.push_back(answer);
        }
    }
    return answers;
}

std::string CloudSimPeer::enqueueTask(const std::string& device, const std::string& id,
                                      const std::string& type, const std::string& dataJson) const {
    boost::json::object task{{"device", device}, {"type", type}, {"data", boost::json::parse(dataJson)}};
    if (!id.empty()) {
        task["id"] = id;
    }
    auto answer = boost::json::parse(control("POST", "/control/tasks", boost::json::serialize(task)));
    return std::string(answer.at("id").as_string());
}

void CloudSimPeer::enqueueRawTask(const std::string& device, const std::string& rawJson) const {
    boost::json::object task{{"device", device}, {"raw", boost::json::parse(rawJson)}};
    control("POST", "/control/tasks", boost::json::serialize(task));
}

void CloudSimPeer::fault(const std::string& json) const {
    control("POST", "/control/fault", json);
}

void CloudSimPeer::token(const std::string& json) const {
    control("POST", "/control/token", json);
}

void CloudSimPeer::revokeTokens() const {
    control("POST", "/control/token/revoke", "{}");
}

void CloudSimPeer::reset() const {
    control("POST", "/control/reset", "{}");
}

std::string CloudSimPeer::output() const {
    return process_->stdoutText();
}

void CloudSimPeer::stop() {
    if (process_ && process_->running()) {
        process_->signal(SIGTERM);
        if (process_->wait(std::chrono::seconds(10)) < 0) {
            process_->signal(SIGKILL);
            process_->wait(std::chrono::seconds(5));
        }
    }
}

}  // namespace orvix::test
