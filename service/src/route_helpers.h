#pragma once

// Small pieces shared by the route tables: reading a JSON body, finding a
// multipart delimiter and writing a JSON answer.

#include <optional>
#include <string>

#include <Poco/JSON/Object.h>

#include "server.h"

namespace velmora::Engine::Test {

// The body as a JSON object. Anything else (no JSON, an array, a number) throws
// Utils::BadRequestError, which the server answers 400 before anything was sent.
Poco::JSON::Object::Ptr parseBodyObject(const ApiRequest& request);

// The delimiter ("--" followed by the boundary) of a multipart body with this
// Content-Type value, or nothing when the value names no usable boundary. The
// boundary parameter may be quoted and may come before or after other parameters
// (RFC 2046: boundary="simple boundary"; charset=utf-8).
std::optional<std::string> multipartDelimiter(const std::string& contentType);

// A 200 answer with the object written compactly.
ApiReply jsonReply(const Poco::JSON::Object::Ptr& object);

// An answer refused at the HTTP level (400, 401, 403, 500): {"error": problem},
// with "member" naming the request member at fault when there is one. Distinct
// from the {"code", "data"} envelope, which stays for what the module or the
// agent answered.
ApiReply errorReply(int status, const std::string& problem, const std::string& member = "");

}  // namespace velmora::Engine::Test
