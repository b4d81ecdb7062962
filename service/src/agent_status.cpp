#include "agent_status.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/NumberParser.h>
#include <Poco/Timespan.h>

#include "agent-filesystem.h"
#include "agent-utils.h"
#include "build_constants.h"
#include "monitoring.h"
#include "picture_store.h"
#include "queries.h"
#include "server.h"
#include "storage_limits.h"

namespace velmora::Engine::Test {
namespace {

using Poco::JSON::Object;
using SystemTime = std::chrono::system_clock::time_point;

// The process's start: this unit is part of the agent, so the value is taken
// before main runs.
const std::chrono::steady_clock::time_point kProcessStart = std::chrono::steady_clock::now();

// Long enough for a module on the store network, short enough for a person waiting.
const Poco::Timespan kModuleProbeTimeout(1, 500000);

// What the status needs from the configuration, copied under the lock.
struct ConfigView {
    std::string deviceIp;
    std::string devicePort;
    std::string cloudAddress;
    std::string cloudPort;
    std::string deviceId;
    std::string picturesFolder;
    std::uint64_t picturesBudgetBytes = 0;
};

// A configuration value as text, "" when absent (the map is not changed).
std::string textOf(const ConfigMap& config, const std::string& key) {
    auto found = config.find(key);
    if (found == config.end() || found->second.isEmpty()) {
        return {};
    }
    try {
        return found->second.convert<std::string>();
    } catch (const Poco::Exception&) {
        return {};
    }
}

ConfigView readConfigView(Server& server) {
    ConfigView view;
    server.GetContext().withConfig([&](const ConfigMap& config) {
        view.deviceIp = textOf(config, "device_ip");
        view.devicePort = textOf(config, "device_port");
        view.cloudAddress = textOf(config, "monitoring_service_address");
        view.cloudPort = textOf(config, "monitoring_service_port");
        view.deviceId = textOf(config, "velmora_monitoring_device_id");
        view.picturesFolder = textOf(config, "product_prediction_data_folder_path");
        view.picturesBudgetBytes = Utils::readStorageLimits(config).imagesFolderBudgetBytes;
    });
    return view;
}

// Whether the module accepts a TCP connection on its configured address.
bool moduleReachable(const std::string& ip, const std::string& port) {
    unsigned int number = 0;
    if (ip.empty() || !Poco::NumberParser::tryParseUnsigned(port, number) || number == 0 || number > 65535) {
        return false;
    }
    try {
        Poco::Net::StreamSocket socket;
        socket.connect(Poco::Net::SocketAddress(ip, static_cast<Poco::UInt16>(number)), kModuleProbeTimeout);
        socket.close();
        return true;
    } catch (const Poco::Exception&) {
        return false;
    } catch (const std::exception&) {
        return false;
    }
}

Poco::Dynamic::Var isoOrNull(const std::optional<SystemTime>& moment) {
    return moment ? Poco::Dynamic::Var(Utils::isoUtc(*moment)) : Poco::Dynamic::Var();
}

Object::Ptr queueObject(const Utils::Queries::QueueBacklog& backlog) {
    Object::Ptr queue = new Object;
    queue->set("count", backlog.count);
    queue->set("oldest_age_seconds",
               backlog.oldest_age_seconds
                   ? Poco::Dynamic::Var(static_cast<Poco::Int64>(*backlog.oldest_age_seconds))
                   : Poco::Dynamic::Var());
    queue->set("refused", backlog.refused);
    queue->set("oldest_refusal", backlog.oldest_refusal.empty() ? Poco::Dynamic::Var()
                                                                : Poco::Dynamic::Var(backlog.oldest_refusal));
    return queue;
}

}  // namespace

Object::Ptr agentStatusAnswer(Server& server) {
    const ConfigView view = readConfigView(server);

    Utils::Queries::QueueBacklog recognitions;
    Utils::Queries::QueueBacklog alerts;
    server.GetContext().withSession([&](Poco::Data::Session& session) {
        recognitions = Utils::Queries::getRecognitionQueueBacklog(session);
        alerts = Utils::Queries::getAlertQueueBacklog(session);
    });

    Object::Ptr module = new Object;
    module->set("address", view.deviceIp + ":" + view.devicePort);
    module->set("reachable", moduleReachable(view.deviceIp, view.devicePort));

    const std::shared_ptr<Sync::MonitoringDriver> monitoring = server.GetMonitoring();
    Object::Ptr cloud = new Object;
    cloud->set("address",
               view.cloudPort.empty() ? view.cloudAddress : view.cloudAddress + ":" + view.cloudPort);
    cloud->set("token_held", server.CheckCloudConnection() == 0);
    cloud->set("device_id", view.deviceId);
    cloud->set("last_recognition_accepted_at",
               isoOrNull(monitoring ? monitoring->lastRecognitionAccepted() : std::nullopt));
    cloud->set("last_alert_accepted_at",
               isoOrNull(monitoring ? monitoring->lastAlertAccepted() : std::nullopt));

    Object::Ptr queues = new Object;
    queues->set("recognitions", queueObject(recognitions));
    queues->set("alerts", queueObject(alerts));

    Object::Ptr pictures = new Object;
    pictures->set("path", view.picturesFolder);
    pictures->set(
        "size_bytes",
        static_cast<Poco::UInt64>(
            view.picturesFolder.empty() ? 0 : Utils::Filesystem::picturesFolderBytes(view.picturesFolder)));
    pictures->set("budget_bytes", static_cast<Poco::UInt64>(view.picturesBudgetBytes));

    std::string dataPath = Utils::Filesystem::GetAppData();
    if (dataPath.empty()) {
        dataPath = ".";  // without a home the agent keeps its files in the working directory
    }
    std::error_code spaceError;
    const std::filesystem::space_info space = std::filesystem::space(dataPath, spaceError);
    Object::Ptr dataFolder = new Object;
    dataFolder->set("path", dataPath);
    dataFolder->set("free_bytes", spaceError
                                      ? Poco::Dynamic::Var()
                                      : Poco::Dynamic::Var(static_cast<Poco::UInt64>(space.available)));

    const auto uptime = std::chrono::steady_clock::now() - kProcessStart;
    Object::Ptr data = new Object;
    data->set("version", Utils::BuildConstants::orvix_agent_version);
    data->set("build_date", Utils::utc_format(Utils::BuildConstants::orvix_agent_build_date, false));
    data->set("uptime_seconds",
              static_cast<Poco::Int64>(std::chrono::duration_cast<std::chrono::seconds>(uptime).count()));
    data->set("module", module);
    data->set("cloud", cloud);
    data->set("queues", queues);
    data->set("pictures_folder", pictures);
    data->set("data_folder", dataFolder);

    Object::Ptr answer = new Object;
    answer->set("code", 0);
    answer->set("data", data);
    return answer;
}

}  // namespace velmora::Engine::Test
