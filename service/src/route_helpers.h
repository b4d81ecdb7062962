#pragma once

// Small pieces shared by the route tables: reading a JSON body, finding a
// multipart delimiter and writing a JSON answer.

#include <optional>
#include <string>

#include <Poco/JSON/Object.h>

#include "server.h"

namespace velmora::Engine::Test {

// The body as a JSON object. Anything else (no JSON, an array, a number) throws,
// which the server answers with status 500 before anything was sent.
Poco::JSON::Object::Ptr parseBodyObject(const ApiRequest& request);

// The delimiter ("--" followed by the boundary) of a multipart body with this
// Content-Type value, or nothing when the value names no usable boundary. The
// boundary parameter may be quoted and may come before or after other parameters
// (RFC 2046: boundary="simple boundary"; charset=utf-8).
std::optional<std::string> multipartDelimiter(const std::string& contentType);

// A 200 answer with the object written compactly.
ApiReply jsonReply(const Poco::JSON::Object::Ptr& object);

}  // namespace velmora::Engine::Test
