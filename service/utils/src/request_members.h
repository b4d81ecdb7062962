#pragma once

// Reading the members of a local API request body. A member that is missing or
// cannot be converted is the caller's mistake, not the agent's: it raises
// BadRequestError naming the member, which the local API answers 400 with that
// name and the problem, before the module or the database is asked.
//
// Conversions are the JSON library's own and stay lenient: "3" is accepted where
// an integer is expected and a number where text is expected.

#include <string>

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

namespace velmora::Utils {

// A Poco exception, as the library's own conversion failures were before: callers
// that catch those catch this as well.
class BadRequestError : public Poco::InvalidArgumentException {
public:
    // `member` is "" when the problem is the body as a whole.
    BadRequestError(const std::string& member, const std::string& problem);
    const std::string& member() const { return member_; }
    const std::string& problem() const { return problem_; }

private:
    std::string member_;
    std::string problem_;
};

int memberInt(const Poco::JSON::Object::Ptr& body, const std::string& key);
Poco::Int64 memberInt64(const Poco::JSON::Object::Ptr& body, const std::string& key);
double memberDouble(const Poco::JSON::Object::Ptr& body, const std::string& key);
bool memberBool(const Poco::JSON::Object::Ptr& body, const std::string& key);
std::string memberString(const Poco::JSON::Object::Ptr& body, const std::string& key);
// A member that must be an array, or an object.
Poco::JSON::Array::Ptr memberArray(const Poco::JSON::Object::Ptr& body, const std::string& key);
Poco::JSON::Object::Ptr memberObject(const Poco::JSON::Object::Ptr& body, const std::string& key);

}  // namespace velmora::Utils
