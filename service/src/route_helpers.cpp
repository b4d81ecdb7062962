#include "route_helpers.h"

#include <sstream>

#include <Poco/JSON/Parser.h>
#include <Poco/Net/MessageHeader.h>
#include <Poco/Net/NameValueCollection.h>

namespace velmora::Engine::Test {

Poco::JSON::Object::Ptr parseBodyObject(const ApiRequest& request) {
    Poco::JSON::Parser parser;
    return parser.parse(request.body).extract<Poco::JSON::Object::Ptr>();
}

std::optional<std::string> multipartDelimiter(const std::string& contentType) {
    // The library reads parameters as the MIME rules write them: names in any case,
    // values as tokens or quoted strings, any order.
    std::string mediaType;
    Poco::Net::NameValueCollection parameters;
    Poco::Net::MessageHeader::splitParameters(contentType, mediaType, parameters);
    const std::string boundary = parameters.get("boundary", "");
    // RFC 2046: 1 to 70 characters, and a boundary never ends in a blank.
    if (boundary.empty() || boundary.size() > 70 || boundary.back() == ' ') {
        return std::nullopt;
    }
    return "--" + boundary;
}

ApiReply jsonReply(const Poco::JSON::Object::Ptr& object) {
    std::ostringstream out;
    object->stringify(out);
    return ApiReply{200, "", "application/json", out.str(), {}};
}

}  // namespace velmora::Engine::Test
