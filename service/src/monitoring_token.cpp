// Authentication at the token endpoint with the client-credentials grant, renewal
// before the announced lifetime ends, and the connection check of the local API.
#include <cstdint>
#include <stdexcept>

#include <boost/json.hpp>

#include "errors.h"
#include "logger.h"
#include "monitoring.h"
#include "monitoring_documents.h"

namespace velmora::Engine::Sync {

namespace {

using Logging::log;

const std::string kTokenPath = "/auth/realms/Velmora/protocol/openid-connect/token";
// Renewal falls due this long before the announced lifetime ends.
constexpr long long kRenewalMarginSeconds = 60;

boost::json::object tokenForm(const std::string& clientSecret, const std::string* refreshToken) {
    boost::json::object form;
    form["grant_type"] = "client_credentials";
    form["client_id"] = "device";
    form["client_secret"] = clientSecret;
    if (refreshToken != nullptr) {
        form["refresh_token"] = *refreshToken;
    }
    return form;
}

}  // namespace

void MonitoringDriver::installToken(const TokenAnswer& answer) {
    access_token_ = answer.access_token;
    expires_in_ = answer.expires_in;
    refresh_expires_in_ = answer.refresh_expires_in;
    refresh_token_ = answer.refresh_token;
    scope_ = answer.scope;
    session_state_ = answer.session_state;
    token_type_ = answer.token_type;
    token_expiry_ =
        std::chrono::system_clock::now() + std::chrono::seconds(answer.expires_in - kRenewalMarginSeconds);
    client_->setAuthToken(access_token_);
    has_token_ = !access_token_.empty();
}

bool MonitoringDriver::authenticate() {
    try {
        const auto response = client_->PostForm(kTokenPath, tokenForm(client_secret_, nullptr));
        if (response.status == 200) {
            if (response.body.empty()) {
                log().error("Empty response from auth server");
                return false;
            }
            const TokenAnswer answer = readTokenAnswer(response.body);
            log().info("Access token received and have size: {}", answer.access_token.size());
            std::lock_guard<std::mutex> lock(token_mutex_);
            installToken(answer);
            return true;
        }
        log().warn("Auth error, http response code: {}, reason: {}", response.status, response.reason);
        throw std::runtime_error("Authentication failed: " + response.reason);
    } catch (const std::exception& error) {
        log().info("Failed to auth: {}, try again on the next loop...", describe(error));
        return false;
    }
}

bool MonitoringDriver::refreshTokenIfNeeded() {
    if (access_token_.empty()) {
        return authenticate();
    }
    std::unique_lock<std::mutex> lock(token_mutex_);
    if (std::chrono::system_clock::now() < token_expiry_) {
        return true;
    }
    if (refresh_token_.empty()) {
        // The client-credentials grant hands out no refresh token: a new token is a
        // new authentication.
        lock.unlock();
        return authenticate();
    }
    const auto response = client_->PostForm(kTokenPath, tokenForm(client_secret_, &refresh_token_));
    if (response.status == 200) {
        installToken(readTokenAnswer(response.body));
        return true;
    }
    log().warn("refresh token fails with http code: {}, reason: {}, try to authenticate() again...",
               response.status, response.reason);
    lock.unlock();
    return authenticate();
}

void MonitoringDriver::dropToken() {
    {
        // Expired at once: the next token check renews it with the refresh token, if
        // there is one, or authenticates afresh.
        std::lock_guard<std::mutex> lock(token_mutex_);
        has_token_ = false;
        token_expiry_ = {};
    }
    client_->clearAuthToken();
    log().warn("The service refused the access token (401); renewing it at the next iteration;");
}

int MonitoringDriver::check_connect() {
    return has_token_ ? 0 : static_cast<int>(Utils::Errors::CameraError::MonitoringServerNotAvailable);
}

}  // namespace velmora::Engine::Sync
