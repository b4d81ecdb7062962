#include "json_text.h"

#include <sstream>

#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>

namespace orvix::test {

Poco::JSON::Object::Ptr parseObject(const std::string& text) {
    Poco::JSON::Parser parser;
    return parser.parse(text).extract<Poco::JSON::Object::Ptr>();
}

std::string compact(const Poco::Dynamic::Var& value) {
    std::ostringstream out;
    Poco::JSON::Stringifier::stringify(value, out);
    return out.str();
}

}  // namespace orvix::test
