#include "route_helpers.h"

#include <sstream>

#include <Poco/JSON/Parser.h>
#include <Poco/Net/MessageHeader.h>
#include <Poco/Net/NameValueCollection.h>

#include "request_members.h"

namespace velmora::Engine::Test {

Poco::JSON::Object::Ptr parseBodyObject(const ApiRequest& request) {
    Poco::Dynamic::Var parsed;
    try {
        Poco::JSON::Parser parser;
        parsed = parser.parse(request.body);
    } catch (const Poco::Exception& e) {
        throw Utils::BadRequestError("", "the body is not JSON: " + e.displayText());
    }
    if (parsed.type() != typeid(Poco::JSON::Object::Ptr) ||
        parsed.extract<Poco::JSON::Object::Ptr>().isNull()) {
        throw Utils::BadRequestError("", "the body is not a JSON object");
    }
    return parsed.extract<Poco::JSON::Object::Ptr>();
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

ApiReply errorReply(int status, const std::string& problem, const std::string& member) {
    Poco::JSON::Object::Ptr reason = new Poco::JSON::Object;
    reason->set("error", problem);
    if (!member.empty()) {
        reason->set("member", member);
    }
    ApiReply reply = jsonReply(reason);
    reply.status = status;
    return reply;
}

}  // namespace velmora::Engine::Test
