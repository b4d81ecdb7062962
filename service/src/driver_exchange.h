#pragma once

// Internals of OrvixDriver shared by its source files: what a command sends and
// the strict readers of the module's reply envelope.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json.hpp>

#include "driver.h"

namespace velmora::Engine::Driver {

struct OrvixDriver::Command {
    enum class Verb { Get, Post, Upload };

    std::string name;  // the module's endpoint is "/api/" + name
    Verb verb = Verb::Post;
    boost::json::value body;  // Post: the JSON body (null for commands without parameters)
    std::string fileName;     // Upload: the file name of the "file" part
    std::string_view bytes;   // Upload: the file content, owned by the caller for the exchange
    std::string callMessage;  // empty: "<name>() called;"

    std::string path() const { return "/api/" + name; }

    static Command get(std::string name) {
        Command command;
        command.name = std::move(name);
        command.verb = Verb::Get;
        return command;
    }
    static Command post(std::string name, boost::json::value body = nullptr, std::string callMessage = {}) {
        Command command;
        command.name = std::move(name);
        command.verb = Verb::Post;
        command.body = std::move(body);
        command.callMessage = std::move(callMessage);
        return command;
    }
    // `bytes` is sent from where it lies; an upload is large enough that a copy counts.
    static Command upload(std::string name, std::string fileName, const std::vector<uint8_t>& bytes,
                          std::string callMessage) {
        Command command;
        command.name = std::move(name);
        command.verb = Verb::Upload;
        command.fileName = std::move(fileName);
        command.bytes = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        command.callMessage = std::move(callMessage);
        return command;
    }
};

// Readers of reply values. The module's types are taken as they are: no
// conversion between JSON types, and an absent key reads as null. Any mismatch
// throws, which the exchange treats like a lost connection.
namespace Json {

const boost::json::value& member(const boost::json::object& object, std::string_view key);
const boost::json::object& asObject(const boost::json::value& value, std::string_view what);
std::string string(const boost::json::object& object, std::string_view key);
// A JSON integer narrowed to int.
int integer(const boost::json::object& object, std::string_view key);
// Any JSON number.
double number(const boost::json::object& object, std::string_view key);
bool boolean(const boost::json::object& object, std::string_view key);
// Absent or null gives no value; anything else must be a string.
std::optional<std::string> optionalString(const boost::json::object& object, std::string_view key);

}  // namespace Json

// The module's reply envelope: "code", usually "data", sometimes further keys.
class OrvixDriver::Reply {
public:
    explicit Reply(const boost::json::object& envelope) : envelope_(envelope) {}

    const boost::json::object& envelope() const { return envelope_; }
    const boost::json::value& data() const { return Json::member(envelope_, "data"); }
    const boost::json::object& dataObject() const { return Json::asObject(data(), "data"); }

private:
    const boost::json::object& envelope_;
};

template <typename Record, typename Read>
std::pair<int, Record> OrvixDriver::fetch(const Command& command, Read read) {
    Record record{};
    const int code = exchange(command, [&](const Reply& reply) {
        Record filled{};
        read(reply, filled);
        record = std::move(filled);
    });
    return {code, std::move(record)};
}

}  // namespace velmora::Engine::Driver
