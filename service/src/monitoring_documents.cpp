#include "monitoring_documents.h"

#include <stdexcept>

#include <boost/json.hpp>

namespace velmora::Engine::Sync {

namespace {

void readOptional(const boost::json::object& answer, const char* name, std::string& into) {
    if (const auto* value = answer.if_contains(name); value != nullptr && value->is_string()) {
        into = std::string(value->get_string());
    }
}

void readOptional(const boost::json::object& answer, const char* name, long long& into) {
    if (const auto* value = answer.if_contains(name); value != nullptr && value->is_int64()) {
        into = value->get_int64();
    }
}

}  // namespace

TokenAnswer readTokenAnswer(const std::string& body) {
    const boost::json::value parsed = boost::json::parse(body);
    const boost::json::object& answer = parsed.as_object();
    TokenAnswer token;
    token.access_token = std::string(answer.at("access_token").as_string());
    if (token.access_token.empty()) {
        throw std::invalid_argument("access_token is empty");
    }
    token.expires_in = answer.at("expires_in").as_int64();
    readOptional(answer, "refresh_expires_in", token.refresh_expires_in);
    readOptional(answer, "refresh_token", token.refresh_token);
    readOptional(answer, "scope", token.scope);
    readOptional(answer, "session_state", token.session_state);
    readOptional(answer, "token_type", token.token_type);
    return token;
}

std::optional<Utils::Models::Task> readTask(const std::string& body) {
    const boost::json::value parsed = boost::json::parse(body);
    if (parsed.is_null()) {
        return std::nullopt;
    }
    const boost::json::object& offered = parsed.as_object();
    Utils::Models::Task task;
    task.id = std::string(offered.at("id").as_string());
    task.type = std::string(offered.at("type").as_string());
    task.data = offered.at("data").as_object();
    return task;
}

}  // namespace velmora::Engine::Sync
