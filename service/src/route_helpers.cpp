#include "route_helpers.h"

#include <sstream>

#include <Poco/JSON/Parser.h>

namespace velmora::Engine::Test {

Poco::JSON::Object::Ptr parseBodyObject(const ApiRequest& request) {
    Poco::JSON::Parser parser;
    return parser.parse(request.body).extract<Poco::JSON::Object::Ptr>();
}

std::optional<std::string> multipartDelimiter(const std::string& contentType) {
    static const std::string kParameter = "boundary=";
    auto at = contentType.find(kParameter);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return "--" + contentType.substr(at + kParameter.size());
}

ApiReply jsonReply(const Poco::JSON::Object::Ptr& object) {
    std::ostringstream out;
    object->stringify(out);
    return ApiReply{200, "", "application/json", out.str(), {}};
}

}  // namespace velmora::Engine::Test
