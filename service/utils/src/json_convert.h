#pragma once

// Translation of whole JSON value trees between Poco's dynamic values and
// boost::json, the one place where the two libraries meet.

namespace Poco::Dynamic {
class Var;
}
namespace boost::json {
class value;
}

namespace velmora::Utils {

// null -> empty Var; bool, int64, uint64, double and string keep their type;
// arrays and objects become fresh Poco::JSON::Array::Ptr / Object::Ptr.
Poco::Dynamic::Var convertJsonBoost2Poco(const boost::json::value& value);

// Strings, booleans, 32/64-bit integers (signed and unsigned kept apart), float and
// double, JSON arrays and objects keep their kind; any other held value becomes its
// text, and a value without text (empty) becomes null. A null array or object
// pointer raises Poco::NullPointerException.
boost::json::value convertPoco2Boost(const Poco::Dynamic::Var& value);

}  // namespace velmora::Utils
