#pragma once

// The two documents the monitoring service sends that the agent reads field by
// field: the token endpoint's answer and an offered task. Both arrive from the
// network, so they are read by free functions that can be checked on their own.

#include <optional>
#include <string>

#include "task.h"

namespace velmora::Engine::Sync {

// The fields of one accepted token answer.
struct TokenAnswer {
    std::string access_token;
    long long expires_in = 0;
    long long refresh_expires_in = 0;
    std::string refresh_token;
    std::string scope;
    std::string session_state;
    std::string token_type = "Bearer";
};

// A standard client-credentials answer carries only the access token, its lifetime
// and its type (no refresh token for this grant), so only the first two are
// required; the others are kept when the endpoint sends them with their type.
// Throws the JSON library's error for a body that is not an object or lacks a
// required field, std::invalid_argument for an empty access token.
TokenAnswer readTokenAnswer(const std::string& body);

// The task of a 200 answer to the task request: "id" and "type" strings and a "data"
// object, other members ignored. The text null means no task. Throws the JSON
// library's error for anything else.
std::optional<Utils::Models::Task> readTask(const std::string& body);

}  // namespace velmora::Engine::Sync
