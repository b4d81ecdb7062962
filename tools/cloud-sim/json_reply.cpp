#include "json_reply.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

namespace orvix::cloudsim {

namespace json = boost::json;

Reply jsonReply(int status, const json::value& body) {
    Reply reply;
    reply.status = status;
    reply.body = json::serialize(body);
    return reply;
}

Reply errorReply(int status, const std::string& error) {
    return jsonReply(status, json::object{{"error", error}});
}

json::value parseBody(const std::string& body) {
    json::error_code error;
    json::value value = json::parse(body, error);
    if (error) {
        return json::value(body);
    }
    return value;
}

std::string valueText(const json::value& value) {
    if (value.is_string()) {
        return std::string(value.get_string());
    }
    return json::serialize(value);
}

}  // namespace orvix::cloudsim
