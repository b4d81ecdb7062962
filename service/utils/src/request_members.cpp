#include "request_members.h"

#include <Poco/Exception.h>

namespace velmora::Utils {
namespace {

Poco::Dynamic::Var present(const Poco::JSON::Object::Ptr& body, const std::string& key) {
    if (body.isNull() || !body->has(key)) {
        throw BadRequestError(key, "missing");
    }
    Poco::Dynamic::Var value = body->get(key);
    if (value.isEmpty()) {
        throw BadRequestError(key, "must not be null");
    }
    return value;
}

template <typename T>
T converted(const Poco::JSON::Object::Ptr& body, const std::string& key, const char* expected) {
    const Poco::Dynamic::Var value = present(body, key);
    try {
        return value.convert<T>();
    } catch (const Poco::Exception&) {
        throw BadRequestError(key, std::string("expected ") + expected);
    }
}

}  // namespace

BadRequestError::BadRequestError(const std::string& member, const std::string& problem)
    : Poco::InvalidArgumentException(member.empty() ? problem : member + ": " + problem),
      member_(member),
      problem_(problem) {}

int memberInt(const Poco::JSON::Object::Ptr& body, const std::string& key) {
    return converted<int>(body, key, "an integer");
}

Poco::Int64 memberInt64(const Poco::JSON::Object::Ptr& body, const std::string& key) {
    return converted<Poco::Int64>(body, key, "an integer");
}

double memberDouble(const Poco::JSON::Object::Ptr& body, const std::string& key) {
    return converted<double>(body, key, "a number");
}

bool memberBool(const Poco::JSON::Object::Ptr& body, const std::string& key) {
    return converted<bool>(body, key, "a boolean");
}

std::string memberString(const Poco::JSON::Object::Ptr& body, const std::string& key) {
    return converted<std::string>(body, key, "text");
}

Poco::JSON::Array::Ptr memberArray(const Poco::JSON::Object::Ptr& body, const std::string& key) {
    present(body, key);
    Poco::JSON::Array::Ptr array = body->getArray(key);
    if (array.isNull()) {
        throw BadRequestError(key, "expected an array");
    }
    return array;
}

Poco::JSON::Object::Ptr memberObject(const Poco::JSON::Object::Ptr& body, const std::string& key) {
    present(body, key);
    Poco::JSON::Object::Ptr object = body->getObject(key);
    if (object.isNull()) {
        throw BadRequestError(key, "expected an object");
    }
    return object;
}

}  // namespace velmora::Utils
