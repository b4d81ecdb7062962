#include "json_convert.h"

#include <Poco/Dynamic/Var.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

#include <boost/json.hpp>

#include <string>
#include <typeinfo>

namespace velmora::Utils {

Poco::Dynamic::Var convertJsonBoost2Poco(const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::null:
            return {};
        case boost::json::kind::bool_:
            return value.get_bool();
        case boost::json::kind::int64:
            return static_cast<Poco::Int64>(value.get_int64());
        case boost::json::kind::uint64:
            return static_cast<Poco::UInt64>(value.get_uint64());
        case boost::json::kind::double_:
            return value.get_double();
        case boost::json::kind::string:
            return std::string(value.get_string().data(), value.get_string().size());
        case boost::json::kind::array: {
            Poco::JSON::Array::Ptr array = new Poco::JSON::Array();
            for (const auto& element : value.get_array()) {
                array->add(convertJsonBoost2Poco(element));
            }
            return array;
        }
        case boost::json::kind::object: {
            Poco::JSON::Object::Ptr object = new Poco::JSON::Object();
            for (const auto& member : value.get_object()) {
                object->set(std::string(member.key()), convertJsonBoost2Poco(member.value()));
            }
            return object;
        }
    }
    return {};
}

boost::json::value convertPoco2Boost(const Poco::Dynamic::Var& value) {
    const std::type_info& type = value.type();
    if (type == typeid(std::string)) {
        return boost::json::string(value.extract<std::string>());
    }
    if (type == typeid(const char*)) {
        return boost::json::string(value.extract<const char*>());
    }
    if (type == typeid(bool)) {
        return value.extract<bool>();
    }
    if (type == typeid(Poco::Int64)) {
        return static_cast<std::int64_t>(value.extract<Poco::Int64>());
    }
    if (type == typeid(long)) {
        return static_cast<std::int64_t>(value.extract<long>());
    }
    if (type == typeid(long long)) {
        return static_cast<std::int64_t>(value.extract<long long>());
    }
    if (type == typeid(int)) {
        return static_cast<std::int64_t>(value.extract<int>());
    }
    if (type == typeid(Poco::UInt64)) {
        return static_cast<std::uint64_t>(value.extract<Poco::UInt64>());
    }
    if (type == typeid(unsigned long)) {
        return static_cast<std::uint64_t>(value.extract<unsigned long>());
    }
    if (type == typeid(unsigned long long)) {
        return static_cast<std::uint64_t>(value.extract<unsigned long long>());
    }
    if (type == typeid(unsigned int)) {
        return static_cast<std::uint64_t>(value.extract<unsigned int>());
    }
    if (type == typeid(double)) {
        return value.extract<double>();
    }
    if (type == typeid(float)) {
        return static_cast<double>(value.extract<float>());
    }
    if (type == typeid(Poco::JSON::Array::Ptr)) {
        const auto& array = value.extract<Poco::JSON::Array::Ptr>();
        if (array.isNull()) {
            throw Poco::NullPointerException("JSON array");
        }
        boost::json::array result;
        result.reserve(array->size());
        for (std::size_t i = 0; i < array->size(); ++i) {
            result.push_back(convertPoco2Boost(array->get(static_cast<unsigned>(i))));
        }
        return result;
    }
    if (type == typeid(Poco::JSON::Object::Ptr)) {
        const auto& object = value.extract<Poco::JSON::Object::Ptr>();
        if (object.isNull()) {
            throw Poco::NullPointerException("JSON object");
        }
        boost::json::object result;
        for (const auto& [key, member] : *object) {
            result[key] = convertPoco2Boost(member);
        }
        return result;
    }
    // 8- and 16-bit integers, dates and the like travel as their text.
    try {
        return boost::json::string(value.convert<std::string>());
    } catch (const Poco::Exception&) {
        return nullptr;
    }
}

}  // namespace velmora::Utils
