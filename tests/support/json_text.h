#pragma once

// JSON text helpers shared by the tests.

#include <string>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Object.h>

namespace orvix::test {

// The text as a JSON object; throws when it is anything else.
Poco::JSON::Object::Ptr parseObject(const std::string& text);
// Compact JSON text; objects built without key order come out with sorted keys.
std::string compact(const Poco::Dynamic::Var& value);

}  // namespace orvix::test
