#include "status_command.h"

#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <Poco/Timespan.h>

namespace velmora::Engine {
namespace {

using Poco::JSON::Object;

const char* const kStatusPath = "/api/agent/get_status";
const Poco::Timespan kAnswerTimeout(5, 0);
const char* const kTitle = "\xE2\x97\x8F orvix-agent - Velmora Orvix Agent";  // "● orvix-agent - ..."

// One "Label: text" line, labels right-aligned as systemctl writes them.
void line(std::ostream& out, const std::string& label, const std::string& text) {
    out << std::setw(11) << label << ": " << text << "\n";
}

std::string text(const Object::Ptr& object, const std::string& key) {
    if (!object || !object->has(key) || object->isNull(key)) {
        return {};
    }
    return object->get(key).convert<std::string>();
}

bool flag(const Object::Ptr& object, const std::string& key) {
    return object && object->has(key) && !object->isNull(key) && object->get(key).convert<bool>();
}

// Absent or null as -1.
long long number(const Object::Ptr& object, const std::string& key) {
    if (!object || !object->has(key) || object->isNull(key)) {
        return -1;
    }
    return object->get(key).convert<Poco::Int64>();
}

Object::Ptr member(const Object::Ptr& object, const std::string& key) {
    return object && object->has(key) && object->isObject(key) ? object->getObject(key) : Object::Ptr();
}

// "1h 2min 5s", "3s": the largest units, as systemctl shows how long a unit runs.
std::string duration(long long seconds) {
    if (seconds < 0) {
        return "?";
    }
    struct Unit {
        long long seconds;
        const char* name;
    };
    static const Unit units[] = {{86400, "d"}, {3600, "h"}, {60, "min"}, {1, "s"}};
    std::string result;
    for (const Unit& unit : units) {
        const long long count = seconds / unit.seconds;
        seconds %= unit.seconds;
        if (count > 0 || (unit.seconds == 1 && result.empty())) {
            result += (result.empty() ? "" : " ") + std::to_string(count) + unit.name;
        }
    }
    return result;
}

std::string bytes(long long value) {
    if (value < 0) {
        return "?";
    }
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double amount = static_cast<double>(value);
    size_t unit = 0;
    while (amount >= 1024.0 && unit + 1 < sizeof(units) / sizeof(units[0])) {
        amount /= 1024.0;
        ++unit;
    }
    std::ostringstream out;
    if (unit == 0) {
        out << value << " B";
    } else {
        out << std::fixed << std::setprecision(1) << amount << " " << units[unit];
    }
    return out.str();
}

std::string queueText(const Object::Ptr& queue, const std::string& singular, const std::string& plural) {
    const long long count = number(queue, "count");
    std::string result = std::to_string(count < 0 ? 0 : count) + " " + (count == 1 ? singular : plural);
    const long long age = number(queue, "oldest_age_seconds");
    if (count > 0 && age >= 0) {
        result += " (oldest " + duration(age) + ")";
    }
    const long long refused = number(queue, "refused");
    if (refused > 0) {
        result += ", " + std::to_string(refused) + " refused by the cloud";
        if (queue->has("oldest_refusal") && queue->get("oldest_refusal").isString()) {
            result += " (first: " + queue->getValue<std::string>("oldest_refusal") + ")";
        }
    }
    return result;
}

std::string orNever(const std::string& moment) {
    return moment.empty() ? "never" : moment;
}

struct Fetched {
    Object::Ptr data;     // set when the agent answered usably
    std::string failure;  // why not, otherwise
};

Fetched fetchStatus(unsigned short port) {
    Fetched fetched;
    try {
        Poco::Net::HTTPClientSession session("127.0.0.1", port);
        session.setTimeout(kAnswerTimeout);
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, kStatusPath,
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        // The agent's token, when it asks for one (local_api_token).
        if (const char* token = std::getenv("ORVIX_API_TOKEN"); token != nullptr && *token != '\0') {
            request.set("Authorization", std::string("Bearer ") + token);
        }
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::istream& body = session.receiveResponse(response);
        std::string answer;
        Poco::StreamCopier::copyToString(body, answer);
        if (response.getStatus() != Poco::Net::HTTPResponse::HTTP_OK) {
            fetched.failure = "answered status " + std::to_string(static_cast<int>(response.getStatus()));
            return fetched;
        }
        Poco::JSON::Parser parser;
        Object::Ptr envelope = parser.parse(answer).extract<Object::Ptr>();
        if (!envelope || number(envelope, "code") != 0 || !member(envelope, "data")) {
            fetched.failure = "answered without a status";
            return fetched;
        }
        fetched.data = member(envelope, "data");
    } catch (const Poco::Exception& error) {
        fetched.failure = error.displayText();
    } catch (const std::exception& error) {
        fetched.failure = error.what();
    }
    return fetched;
}

int printSummary(const Object::Ptr& data, std::ostream& out) {
    const Object::Ptr module = member(data, "module");
    const Object::Ptr cloud = member(data, "cloud");
    const Object::Ptr queues = member(data, "queues");
    const Object::Ptr pictures = member(data, "pictures_folder");
    const Object::Ptr dataFolder = member(data, "data_folder");

    const bool moduleUp = flag(module, "reachable");
    const bool tokenHeld = flag(cloud, "token_held");
    std::vector<std::string> problems;
    if (!moduleUp) {
        problems.emplace_back("module unreachable");
    }
    if (!tokenHeld) {
        problems.emplace_back("no cloud token");
    }
    std::string active = problems.empty() ? "active (running)" : "degraded (";
    for (size_t i = 0; i < problems.size(); ++i) {
        active += (i ? ", " : "") + problems[i];
    }
    if (!problems.empty()) {
        active += ")";
    }

    out << kTitle << " " << text(data, "version") << " (built " << text(data, "build_date") << " UTC)\n";
    line(out, "Active", active + " for " + duration(number(data, "uptime_seconds")));
    line(out, "Module", text(module, "address") + (moduleUp ? " (reachable)" : " (unreachable)"));
    const std::string deviceId = text(cloud, "device_id");
    line(out, "Cloud",
         text(cloud, "address") + (tokenHeld ? " (token held" : " (no token") +
             (deviceId.empty() ? ", no device id)" : ", device id " + deviceId + ")"));
    line(out, "Queued",
         queueText(member(queues, "recognitions"), "recognition", "recognitions") + ", " +
             queueText(member(queues, "alerts"), "alert", "alerts"));
    line(out, "Last sent",
         "recognition " + orNever(text(cloud, "last_recognition_accepted_at")) + ", alert " +
             orNever(text(cloud, "last_alert_accepted_at")));
    line(out, "Pictures",
         bytes(number(pictures, "size_bytes")) + " of " + bytes(number(pictures, "budget_bytes")) + " in " +
             text(pictures, "path"));
    line(out, "Disk free", bytes(number(dataFolder, "free_bytes")) + " in " + text(dataFolder, "path"));
    return problems.empty() ? kStatusHealthy : kStatusDegraded;
}

}  // namespace

int printAgentStatus(unsigned short port, std::ostream& out) {
    const Fetched fetched = fetchStatus(port);
    std::string failure = fetched.failure;
    if (fetched.data) {
        // Written to a buffer first, so a member of an unexpected type leaves no half summary.
        std::ostringstream summary;
        try {
            const int status = printSummary(fetched.data, summary);
            out << summary.str();
            return status;
        } catch (const Poco::Exception& error) {
            failure = "unreadable status: " + error.displayText();
        }
    }
    out << kTitle << "\n";
    line(out, "Active",
         "unreachable (no status from 127.0.0.1:" + std::to_string(port) + ": " + failure + ")");
    return kStatusNotRunning;
}

}  // namespace velmora::Engine
