#include "server.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/URI.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include "agent-filesystem.h"
#include "config_readers.h"
#include "config_store.h"
#include "config_validation.h"
#include "db.h"
#include "device_data_provider.h"
#include "driver.h"
#include "errors.h"
#include "local_api_access.h"
#include "local_api_settings.h"
#include "local_listener.h"
#include "log_retention.h"
#include "logger.h"
#include "monitoring.h"
#include "periodic_task.h"
#include "queries.h"
#include "request_members.h"
#include "route_helpers.h"
#include "routes.h"
#include "s3client_provider.h"
#include "storage_limits.h"
#include "task_handler_provider.h"

namespace velmora::Engine::Test {
namespace {

using Logging::log;

// The watchdog's probe (Server::AnswersLocally) names itself so.
const char* const kLocalProbeAgent = "orvix-agent-watchdog";

// Method, URI, path segments, query and content type: what routing needs. A
// target that is not a URI leaves the segments empty, which no route matches.
ApiRequest readHead(const LocalRequest& request) {
    ApiRequest parsed;
    parsed.method = request.method;
    parsed.uri = request.target;
    try {
        Poco::URI uri(parsed.uri);
        uri.getPathSegments(parsed.segments);
        parsed.query = uri.getQueryParameters();
    } catch (const Poco::Exception&) {
        parsed.segments.clear();
        parsed.query.clear();
    }
    const std::string* contentType = request.header("Content-Type");
    parsed.contentType = contentType != nullptr ? *contentType : "";
    parsed.client = request.peer;
    return parsed;
}

void trace(const ApiRequest& request) {
    std::cout << "[HandleSession] Received request for endpoint: " << request.uri << std::endl;
    if (request.contentType.empty()) {
        std::cout << "[HandleSession] Content-Type: not specified" << std::endl;
    } else {
        std::cout << "[HandleSession] Content-Type: " << request.contentType << std::endl;
    }
}

bool segmentMatches(const std::string& pattern, const std::string& segment) {
    return (pattern.size() >= 2 && pattern.front() == '{' && pattern.back() == '}') || pattern == segment;
}

LocalReply toLocal(ApiReply reply) {
    LocalReply local;
    local.status = reply.status;
    local.reason = std::move(reply.reason);
    local.headers.emplace_back("Content-Type", std::move(reply.contentType));
    for (auto& header : reply.headers) {
        local.headers.push_back(std::move(header));
    }
    local.body = std::move(reply.body);
    return local;
}

}  // namespace

Server::Server(unsigned short port, const std::string& dbPath)
    : db_(std::make_unique<DB::SQLiteDB>(dbPath)), port_(port), context_(config_, config_mutex_, *db_) {
    if (port_ <= 1023) {
        log().warn("server port 1024<, server might fail by non-root launch, current port: {};", port_);
    }
    session_ = std::make_unique<Poco::Data::Session>(db_->GetSession());
    Poco::Data::Session session = db_->GetSession();
    DB::Migrator migrator(session);
    std::string imagesPath = Utils::Filesystem::GetDefaultImagesPath();
    log().info("Saved images location: {};", imagesPath);
    for (const auto& [name, sql] : DB::agentMigrations(imagesPath)) {
        migrator.addMigration(name, sql);
    }
    migrator.migrate();

    importConfigFile();

    context_.withSession([this, &imagesPath](Poco::Data::Session& configSession) {
        config_ = Utils::Queries::getAllConfigs(configSession);
        // A stored value the agent cannot run with (a database written by hand or by
        // another version) must not leave the till without its local API.
        Utils::replaceUnusableConfig(config_, DB::seededConfiguration(imagesPath));
    });

    // Bound once the configuration is loaded: it names the address to listen on.
    ListenerSettings listener;
    {
        std::lock_guard<std::mutex> lock(config_mutex_);
        listener.bindAddress = Utils::readLocalApiSettings(config_).bindAddress;
    }
    bind_address_ = listener.bindAddress;
    applyBodyLimits();
    listener.port = port_;
    try {
        listener_ = std::make_unique<LocalListener>(
            listener, [this](LocalRequest& request) { return HandleSession(request); },
            [this](const LocalRequest& head) { return BodyRulesFor(head); });
    } catch (const std::exception& e) {
        throw ListenerError("Local API cannot listen on " + listener.bindAddress + ":" +
                            std::to_string(port_) + ": " + e.what());
    }
    log().info("Local API listens on {}:{} with {} workers;", listener.bindAddress, GetListeningPort(),
               listener_->workers());
    reinit_thread_ = std::thread([this] { reinitLoop(); });
    try {
        initDriver();
        initMonitoring();
    } catch (...) {
        // No destructor runs for a server that failed to start: end its threads here.
        stopMonitoring();
        throw;
    }
    log().info("Monitoring class started;");

    housekeeping_ = std::make_unique<PeriodicTask>("Log retention", std::chrono::hours(24), [this] {
        int days = 0;
        {
            std::lock_guard<std::mutex> lock(config_mutex_);
            days = Utils::readStorageLimits(config_).logRetentionDays;
        }
        Logging::removeExpiredLogFiles(Logging::Logger::GetInstance().GetLogDirectory(), days);
    });

    AddRoutes(moduleCommandRoutes());
    AddRoutes(agentRoutes());
    AddRoutes(monitoringRoutes());
    AddRoutes(statusPageRoutes());
}

void Server::importConfigFile() {
    std::string path = Utils::Filesystem::GetDefaultConfigPath();
    if (!std::filesystem::exists(path)) {
        return;
    }
    // A file that cannot be applied stays where it is for the operator to mend;
    // it must never leave the till without its local API.
    try {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            throw std::runtime_error("cannot open " + path);
        }
        std::stringstream text;
        text << file.rdbuf();
        Poco::JSON::Parser parser;
        Poco::JSON::Object::Ptr object = parser.parse(text.str()).extract<Poco::JSON::Object::Ptr>();
        Utils::applyConfigUpdate(object, config_mutex_, *db_, config_);
    } catch (const std::exception& e) {
        log().error("Error parsing configuration file data: {};", Logging::reasonOf(e));
        return;
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    log().info("Applied configuration file {};", path);
}

namespace {

// device_port as the configuration holds it: text from the seeded rows and older
// imports, an integer when a client sent a number. A value outside 0-65535 is
// refused rather than wrapped, which would quietly talk to some other port.
std::optional<unsigned short> configuredPort(const Poco::Dynamic::Var& value) {
    long long port = 0;
    std::string shown;
    if (value.isString()) {
        shown = value.extract<std::string>();
        // Text that is no number throws.
        port = std::stoi(shown);
    } else if (value.isInteger() && !value.isBoolean()) {  // the library counts bool as an integer
        port = value.convert<Poco::Int64>();
        shown = std::to_string(port);
    } else {
        return std::nullopt;
    }
    if (port < 0 || port > 65535) {
        throw std::out_of_range("device_port out of range: " + shown);
    }
    return static_cast<unsigned short>(port);
}

}  // namespace

void Server::initDriver() {
    std::string address;
    unsigned short port = 0;
    int alertQueueCap = 0;
    {
        std::lock_guard<std::mutex> lock(runtime_mutex_);
        // Before any configuration named a usable address, the module's factory address.
        address = device_ip_.empty() ? DB::defaultDeviceAddress() : device_ip_;
        port = device_port_;
    }
    {
        std::lock_guard<std::mutex> lock(config_mutex_);
        Poco::Dynamic::Var& ip = config_["device_ip"];
        if (!ip.isEmpty() && ip.isString() && !ip.extract<std::string>().empty()) {
            address = ip.extract<std::string>();
        } else {
            // A driver without a host cannot be built, and the local API must keep one.
            log().warn("Config key device_ip is not a non-empty string; keeping module address {};", address);
        }
        Poco::Dynamic::Var& portValue = config_["device_port"];
        if (!portValue.isEmpty()) {
            if (auto configured = configuredPort(portValue)) {
                port = *configured;
            } else {
                log().warn("Config key device_port is neither text nor an integer; keeping module port {};",
                           port);
            }
        }
        alertQueueCap = Utils::readStorageLimits(config_).alertQueueCap;
    }
    auto driver = std::make_shared<Driver::OrvixDriver>(address, port, config_mutex_, *db_);
    auto deviceData = std::make_shared<Sync::DeviceDataProvider>(driver);
    driver->setAlertQueueCap(alertQueueCap);
    std::lock_guard<std::mutex> lock(runtime_mutex_);
    device_ip_ = address;
    device_port_ = port;
    driver_ = std::move(driver);
    device_data_ = std::move(deviceData);
}

namespace {

// The monitoring client's settings as read from the configuration map.
struct MonitoringSettings {
    std::string serviceType;
    std::string address;
    std::string port;
    bool gettingTasks = false;
    bool imageSending = false;
    long long requestFrequency = 0;
    std::string clientSecret;
    std::string deviceId;
    std::string imagesFolder;
    std::string storageAddress;
    std::string storageBucket;
    std::string storageLogin;
    std::string storagePassword;
    bool tlsVerify = false;
    std::int64_t pictureUploadMaxWaitSeconds = 0;
};

// Caller holds the configuration lock.
MonitoringSettings readMonitoringSettings(ConfigMap& config) {
    static const char* const required[] = {
        "monitoring_service_type",          "monitoring_service_address",
        "monitoring_service_port",          "monitoring_getting_tasks",
        "recognition_image_sending_enable", "monitoring_request_frequency",
        "velmora_monitoring_client_secret",
    };
    for (const char* key : required) {
        if (config.find(key) == config.end()) {
            throw std::runtime_error(std::string("Missing required config key: ") + key);
        }
    }
    MonitoringSettings settings;
    settings.serviceType = Utils::readConfigString(config, "monitoring_service_type");
    settings.address = Utils::readConfigString(config, "monitoring_service_address");
    settings.port = Utils::readConfigString(config, "monitoring_service_port");
    settings.gettingTasks = Utils::readConfigBool(config, "monitoring_getting_tasks");
    settings.imageSending = Utils::readConfigBool(config, "recognition_image_sending_enable");
    settings.requestFrequency = Utils::readConfigInt64(config, "monitoring_request_frequency");
    settings.clientSecret = Utils::readConfigString(config, "velmora_monitoring_client_secret");
    settings.deviceId = Utils::readConfigString(config, "velmora_monitoring_device_id");
    settings.imagesFolder = Utils::readConfigString(config, "product_prediction_data_folder_path");
    settings.storageAddress = Utils::readConfigString(config, "file_storage_service_address");
    settings.storageBucket = Utils::readConfigString(config, "file_storage_service_bucket");
    settings.storageLogin = Utils::readConfigString(config, "file_storage_service_login");
    settings.storagePassword = Utils::readConfigString(config, "file_storage_service_password");
    settings.tlsVerify = Utils::readMonitoringTlsVerify(config);
    settings.pictureUploadMaxWaitSeconds = Utils::readStorageLimits(config).pictureUploadMaxWaitSeconds;
    return settings;
}

}  // namespace

void Server::initMonitoring() {
    // One rebuild at a time, from reading the map to the last swap: two overlapping
    // ones could otherwise leave the older objects in place.
    std::lock_guard<std::mutex> reinit(reinit_mutex_);
    if (stopped_) {
        return;
    }
    log().info("initMonitoring() called;");
    applyLoggingLevel();
    applyBodyLimits();
    auto monitoring = std::make_shared<Sync::MonitoringDriver>(*session_, config_, config_mutex_);
    // The previous client's worker ends before the new one starts, so no queued
    // recognition is ever sent by two workers. Requests may still use the old
    // client's registry calls until the swap below.
    if (std::shared_ptr<Sync::MonitoringDriver> previous = GetMonitoring()) {
        previous->stop();
    }
    // The new client replaces the old one even when its settings fail: it then
    // stays idle, without a worker, until the next successful rebuild.
    struct Install {
        Server& server;
        std::shared_ptr<Sync::MonitoringDriver> monitoring;
        ~Install() {
            std::lock_guard<std::mutex> lock(server.runtime_mutex_);
            server.monitoring_ = std::move(monitoring);
        }
    } install{*this, monitoring};

    initDriver();
    MonitoringSettings settings;
    {
        std::lock_guard<std::mutex> lock(config_mutex_);
        settings = readMonitoringSettings(config_);
    }
    auto s3 = std::make_shared<Sync::S3ClientProvider>(settings.storageAddress, settings.storageBucket,
                                                       settings.storageLogin, settings.storagePassword);
    std::shared_ptr<Driver::OrvixDriver> driver;
    std::shared_ptr<Sync::DeviceDataProvider> deviceData;
    {
        std::lock_guard<std::mutex> lock(runtime_mutex_);
        driver = driver_;
        deviceData = device_data_;
    }
    auto taskHandlers = std::make_shared<Sync::TaskHandlerProvider>(s3, config_, driver, config_mutex_, *db_);
    {
        std::lock_guard<std::mutex> lock(runtime_mutex_);
        s3_ = s3;
        task_handlers_ = taskHandlers;
    }
    monitoring->setTlsVerification(settings.tlsVerify);
    monitoring->setPictureUploadMaxWait(std::chrono::seconds(settings.pictureUploadMaxWaitSeconds));
    monitoring->setMonitoringSettings(settings.serviceType, settings.address, settings.port,
                                      settings.gettingTasks, settings.imageSending, settings.requestFrequency,
                                      settings.clientSecret, settings.deviceId, settings.imagesFolder, s3,
                                      taskHandlers, deviceData, [this] { requestReinit(); });
    {
        std::lock_guard<std::mutex> lock(config_mutex_);
        last_good_config_ = config_;
    }
    log().info("Loaded monitoring settings from config;");
}

std::vector<std::string> Server::keysChangedSinceLastGood() {
    ConfigMap lastGood;
    {
        std::lock_guard<std::mutex> reinit(reinit_mutex_);
        lastGood = last_good_config_;
    }
    const auto text = [](const Poco::Dynamic::Var& value) {
        return value.isEmpty() ? std::string() : value.convert<std::string>();
    };
    std::vector<std::string> changed;
    std::lock_guard<std::mutex> lock(config_mutex_);
    for (const auto& [key, value] : lastGood) {
        auto now = config_.find(key);
        if (now == config_.end() || now->second.type() != value.type() || text(now->second) != text(value)) {
            changed.push_back(key);
        }
    }
    std::sort(changed.begin(), changed.end());
    return changed;
}

void Server::restoreLastGoodConfig() {
    const std::vector<std::string> changed = keysChangedSinceLastGood();
    Poco::JSON::Object::Ptr previous = new Poco::JSON::Object;
    {
        std::lock_guard<std::mutex> reinit(reinit_mutex_);
        for (const auto& key : changed) {
            previous->set(key, last_good_config_.at(key));
        }
    }
    // Stored the way every change is, so the secrets are encrypted again.
    Utils::jsonToConfig(previous, config_mutex_, *db_, config_);
    log().warn("Configuration restored to the settings in force before: {};", fmt::join(changed, ", "));
}

void Server::applyBodyLimits() {
    std::lock_guard<std::mutex> lock(config_mutex_);
    const Utils::LocalApiSettings settings = Utils::readLocalApiSettings(config_);
    json_body_limit_ = settings.maxJsonBodyBytes;
    upload_limit_ = settings.maxUploadBytes;
    upload_budget_ = settings.uploadBudgetBytes;
}

void Server::applyLoggingLevel() {
    std::string level;
    {
        std::lock_guard<std::mutex> lock(config_mutex_);
        auto found = config_.find("logging_level");
        if (found == config_.end() || !found->second.isString()) {
            return;
        }
        level = found->second.extract<std::string>();
    }
    try {
        Logging::Logger::GetInstance().SetLevel(level);
    } catch (const std::invalid_argument& e) {
        // Checked before it was stored; only a value written by hand gets here.
        log().warn("logging_level not applied: {};", e.what());
    }
}

void Server::reinitRuntimeParameters() {
    bool restorable = false;
    {
        std::lock_guard<std::mutex> reinit(reinit_mutex_);
        restorable = !last_good_config_.empty();
    }
    try {
        // The pictures of every sale go there: settings naming a folder that cannot
        // be made are not taken.
        std::string folder;
        {
            std::lock_guard<std::mutex> lock(config_mutex_);
            folder = Utils::readConfigString(config_, "product_prediction_data_folder_path");
        }
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error || !std::filesystem::is_directory(folder)) {
            throw Utils::InvalidConfigError("product_prediction_data_folder_path",
                                            "cannot make the folder \"" + folder +
                                                "\": " + (error ? error.message() : "not a directory"));
        }
        initMonitoring();
    } catch (const std::exception& failure) {
        if (!restorable) {
            throw;
        }
        // The key that failed, and why; for a failure that names none, the keys
        // that changed since the rebuild that worked.
        std::string key;
        std::string why = failure.what();
        if (const auto* invalid = dynamic_cast<const Utils::InvalidConfigError*>(&failure)) {
            key = invalid->key();
            if (why.rfind(key + ": ", 0) == 0) {
                why.erase(0, key.size() + 2);
            }
        } else {
            key = fmt::format("{}", fmt::join(keysChangedSinceLastGood(), ", "));
        }
        log().error("Re-initialisation failed: {}: {}; the settings in force before are restored;", key, why);
        restoreLastGoodConfig();
        initMonitoring();
        throw Utils::InvalidConfigError(key, why);
    }
    log().info("Monitoring started after reinit;");
}

void Server::requestReinit() {
    {
        std::lock_guard<std::mutex> lock(reinit_queue_mutex_);
        reinit_requested_ = true;
    }
    reinit_wake_.notify_one();
}

void Server::reinitLoop() {
    std::unique_lock<std::mutex> lock(reinit_queue_mutex_);
    for (;;) {
        reinit_wake_.wait(lock, [this] { return reinit_requested_ || reinit_quit_; });
        if (reinit_quit_) {
            return;
        }
        reinit_requested_ = false;
        lock.unlock();
        try {
            reinitRuntimeParameters();
        } catch (const Utils::InvalidConfigError& e) {
            // Asked for by an uploaded configuration: the cloud learns at its next
            // iteration that it was not taken, and which key failed.
            log().error("Re-initialisation undone: {};", e.what());
            try {
                context_.withSession([&](Poco::Data::Session& session) {
                    Utils::Queries::addAlertQueue(
                        session, static_cast<int>(Utils::Errors::CameraError::UnknownMistake),
                        "Загруженная конфигурация не применена, восстановлены прежние "
                        "настройки: " +
                            std::string(e.what()));
                });
            } catch (const std::exception& stored) {
                log().error("Alert of the undone configuration not stored: {};", stored.what());
            }
        } catch (const std::exception& e) {
            // The configuration is stored; the new client stays idle until the next rebuild.
            log().error("Re-initialisation failed: {};", Logging::reasonOf(e));
        }
        lock.lock();
    }
}

ConfigMap Server::GetConfigCopy() {
    return context_.copyConfig();
}

std::shared_ptr<Driver::OrvixDriver> Server::GetDriver() const {
    std::lock_guard<std::mutex> lock(runtime_mutex_);
    return driver_;
}

std::shared_ptr<Sync::MonitoringDriver> Server::GetMonitoring() const {
    std::lock_guard<std::mutex> lock(runtime_mutex_);
    return monitoring_;
}

std::function<void()> Server::AttributesChangedAction() {
    // Whichever client is current when the module accepted the change.
    return [this] {
        if (std::shared_ptr<Sync::MonitoringDriver> monitoring = GetMonitoring()) {
            monitoring->attributes_update();
        }
    };
}

int Server::CheckCloudConnection() {
    std::shared_ptr<Sync::MonitoringDriver> monitoring = GetMonitoring();
    return monitoring ? monitoring->check_connect() : -10002;
}

Server::~Server() {
    Stop();
}

void Server::Run() {
    try {
        listener_->start();
    } catch (const Poco::Exception& e) {
        log().error("Failed to start server: {};", e.displayText());
        throw;
    }
    log().info("Server started on port {};", port_);
}

void Server::stopMonitoring() {
    // No rebuild may start a new worker once the service is going down.
    {
        std::lock_guard<std::mutex> lock(reinit_queue_mutex_);
        reinit_quit_ = true;
    }
    reinit_wake_.notify_one();
    if (reinit_thread_.joinable()) {
        reinit_thread_.join();
    }
    std::shared_ptr<Sync::MonitoringDriver> monitoring;
    {
        std::lock_guard<std::mutex> reinit(reinit_mutex_);
        stopped_ = true;
        std::lock_guard<std::mutex> lock(runtime_mutex_);
        monitoring = std::move(monitoring_);
    }
    if (monitoring) {
        monitoring->stop();
        monitoring.reset();
    }
}

void Server::Stop() {
    // Clients are cut off first, so requests and the monitoring worker wind down
    // side by side; each waits on the module for at most an exchange's deadline.
    if (listener_) {
        listener_->stopAccepting();
    }
    stopMonitoring();
    if (housekeeping_) {
        housekeeping_->stop();
    }
    if (listener_ && !listener_->waitIdle(std::chrono::seconds(8))) {
        log().warn("Requests still in flight at shutdown;");
    }
    log().info("Server stopped;");
}

int Server::RequestsInFlight() const {
    return listener_ && !listener_->waitIdle(std::chrono::milliseconds(0)) ? 1 : 0;
}

void Server::AddRoutes(std::vector<Route> routes) {
    for (auto& route : routes) {
        std::vector<std::string> shape;
        Poco::URI(route.path).getPathSegments(shape);
        route_shapes_.push_back(std::move(shape));
        routes_.push_back(std::move(route));
    }
}

unsigned short Server::GetListeningPort() const {
    return listener_->port();
}

std::optional<ApiReply> Server::refusedCaller(const LocalRequest& request) {
    CallerHeaders caller;
    caller.method = request.method;
    auto header = [&request](const char* name) -> std::optional<std::string> {
        const std::string* value = request.header(name);
        return value != nullptr ? std::optional<std::string>(*value) : std::nullopt;
    };
    caller.origin = header("Origin");
    caller.fetchSite = header("Sec-Fetch-Site");
    caller.authorization = header("Authorization");
    caller.host = header("Host");
    Utils::LocalApiSettings settings;
    {
        std::lock_guard<std::mutex> lock(config_mutex_);
        settings = Utils::readLocalApiSettings(config_);
    }
    const AccessDecision decision =
        decideAccess(caller, settings.allowedOrigins, settings.token, hostNamesThisMachine);
    switch (decision.access) {
        case Access::Allowed:
            return std::nullopt;
        case Access::Forbidden:
            return errorReply(403, decision.reason);
        case Access::Unauthorized: {
            ApiReply reply = errorReply(401, decision.reason);
            reply.headers.emplace_back("WWW-Authenticate", "Bearer");
            return reply;
        }
    }
    return std::nullopt;
}

bool Server::AnswersLocally(std::chrono::milliseconds timeout) const {
    try {
        Poco::Net::IPAddress bound(bind_address_);
        std::string host = bind_address_;
        if (bound.isWildcard() || bound.isLoopback()) {
            host = bound.family() == Poco::Net::IPAddress::IPv6 ? "::1" : "127.0.0.1";
        }
        Poco::Net::HTTPClientSession session(Poco::Net::SocketAddress(host, GetListeningPort()));
        session.setTimeout(
            Poco::Timespan(std::chrono::duration_cast<std::chrono::microseconds>(timeout).count()));
        Poco::Net::HTTPRequest probe(Poco::Net::HTTPRequest::HTTP_GET, "/api",
                                     Poco::Net::HTTPMessage::HTTP_1_1);
        probe.set("User-Agent", kLocalProbeAgent);
        session.sendRequest(probe);
        Poco::Net::HTTPResponse answer;
        session.receiveResponse(answer);
        return answer.getStatus() == Poco::Net::HTTPResponse::HTTP_NO_CONTENT;
    } catch (const std::exception&) {
        return false;
    }
}

BodyRules Server::BodyRulesFor(const LocalRequest& head) {
    const Route* route = findRoute(readHead(head));
    BodyRules rules;
    rules.limit = route != nullptr && route->upload ? upload_limit_.load() : json_body_limit_.load();
    rules.budget = upload_budget_;
    return rules;
}

const Route* Server::findRoute(const ApiRequest& request) const {
    for (size_t r = 0; r < routes_.size(); ++r) {
        const Route& route = routes_[r];
        const std::vector<std::string>& shape = route_shapes_[r];
        if (route.method != "*" && route.method != request.method) {
            continue;
        }
        bool countFits = route.ignoreExtraSegments ? request.segments.size() >= shape.size()
                                                   : request.segments.size() == shape.size();
        if (!countFits) {
            continue;
        }
        bool matches = true;
        for (size_t i = 0; i < shape.size() && matches; ++i) {
            matches = segmentMatches(shape[i], request.segments[i]);
        }
        if (matches) {
            return &route;
        }
    }
    return nullptr;
}

LocalReply Server::HandleSession(LocalRequest& request) {
    const std::string* agent = request.header("User-Agent");
    if (agent != nullptr && *agent == kLocalProbeAgent && request.peerIsLoopback) {
        LocalReply probe;
        probe.status = 204;
        return probe;
    }
    log().info("Incoming {} request to {};", request.method, Logging::shortened(request.target));
    ApiRequest parsed = readHead(request);
    parsed.body = std::move(request.body);

    if (std::optional<ApiReply> refused = refusedCaller(request)) {
        log().warn("Request {} {} from {} refused: {};", parsed.method, parsed.uri, parsed.client,
                   refused->body);
        return toLocal(std::move(*refused));
    }

    const Route* route = findRoute(parsed);
    if (route != nullptr) {
        ApiReply reply;
        // Nothing was sent yet, so the client gets a clean error instead of a
        // truncated answer.
        try {
            reply = route->handler(*this, parsed);
        } catch (const Utils::BadRequestError& e) {
            log().warn("Request to {} refused: {};", parsed.uri, e.message());
            reply = errorReply(400, e.problem(), e.member());
        } catch (const Poco::Exception& e) {
            log().error("HandleSession() exception: {};", e.displayText());
            reply = errorReply(500, "internal error: " + e.displayText());
        } catch (const std::exception& e) {
            log().error("HandleSession() exception: {};", e.what());
            reply = errorReply(500, std::string("internal error: ") + e.what());
        }
        return toLocal(std::move(reply));
    }

    trace(parsed);
    bool underApi = !parsed.segments.empty() && parsed.segments.front() == "api";
    if (underApi) {
        return toLocal(ApiReply{404, "Not Found", "application/octet-stream", {}, {}});
    }
    // Nothing answers here; close the connection so a keep-alive client is not
    // left waiting for an answer that never comes.
    LocalReply none;
    none.answer = false;
    return none;
}

}  // namespace velmora::Engine::Test
