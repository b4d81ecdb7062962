#include "driver.h"

#include <array>
#include <stdexcept>

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include "db.h"
#include "driver_exchange.h"
#include "errors.h"
#include "logger.h"
#include "queries.h"
#include "storage_limits.h"

namespace velmora::Engine::Driver {

using Engine::Logging::log;
using namespace Utils::Models;

namespace {

// A command that waits longer than this for the module has lost it: for any one
// receive, and for its whole answer however the module paces it.
constexpr int kClientTimeoutSeconds = 6;
// A package of a few hundred MiB over a slow link still arrives; a module that
// trickles it cannot hold the worker for longer.
constexpr int kDownloadDeadlineSeconds = 300;
// Alert code of a lost module connection in the alert queue.
constexpr int kLostConnectionAlertCode = 400;
const int kCameraLost = static_cast<int>(Utils::Errors::CameraError::CameraLost);

std::string orNull(const std::optional<std::string>& value) {
    return value ? *value : "null";
}

}  // namespace

namespace Json {

const boost::json::value& member(const boost::json::object& object, std::string_view key) {
    static const boost::json::value kNull;
    const auto* found = object.if_contains(key);
    return found != nullptr ? *found : kNull;
}

const boost::json::object& asObject(const boost::json::value& value, std::string_view what) {
    if (!value.is_object()) {
        throw std::runtime_error(fmt::format("field {} is not an object", what));
    }
    return value.get_object();
}

std::string string(const boost::json::object& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_string()) {
        throw std::runtime_error(fmt::format("field {} is not a string", key));
    }
    return std::string(value.get_string());
}

int integer(const boost::json::object& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_int64()) {
        throw std::runtime_error(fmt::format("field {} is not an integer", key));
    }
    return static_cast<int>(value.get_int64());
}

double number(const boost::json::object& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_number()) {
        throw std::runtime_error(fmt::format("field {} is not a number", key));
    }
    return value.to_number<double>();
}

bool boolean(const boost::json::object& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_bool()) {
        throw std::runtime_error(fmt::format("field {} is not a boolean", key));
    }
    return value.get_bool();
}

std::optional<std::string> optionalString(const boost::json::object& object, std::string_view key) {
    if (member(object, key).is_null()) {
        return std::nullopt;
    }
    return string(object, key);
}

}  // namespace Json

OrvixDriver::OrvixDriver(const std::string& address, int port, std::mutex& configurationLock,
                         DB::SQLiteDB& database)
    : address_(address),
      port_(port),
      client_(address, port),
      download_client_(address, port),
      configurationLock_(configurationLock),
      database_(database),
      alertQueueCap_(Utils::readStorageLimits({}).alertQueueCap) {
    client_.setTimeout(kClientTimeoutSeconds);
    client_.setExchangeDeadline(kClientTimeoutSeconds);
    download_client_.setTimeout(kClientTimeoutSeconds);
    download_client_.setExchangeDeadline(kDownloadDeadlineSeconds);
}

void OrvixDriver::setAlertQueueCap(int cap) {
    alertQueueCap_ = cap;
}

void OrvixDriver::save_connect_state(const std::string& command, bool state) {
    std::lock_guard<std::mutex> stateLock(stateMutex_);
    if (connected_ && !state) {
        std::string message = "Потеряна связь с устройством при выполнении команды " + command;
        log().error("{}", message);
        // The configuration lock serialises every use of the one database session;
        // it is always taken after the state mutex.
        std::lock_guard<std::mutex> configurationLock(configurationLock_);
        Poco::Data::Session session = database_.GetSession();
        DB::Transaction transaction(session);
        Utils::Queries::addAlertQueue(session, kLostConnectionAlertCode, message);
        // Past the cap the oldest alerts make room, so the newest survive an outage.
        if (int dropped = Utils::Queries::trimAlertQueue(session, alertQueueCap_); dropped > 0) {
            log().warn("Alert queue is over its cap of {}: dropped the {} oldest alerts;", alertQueueCap_,
                       dropped);
        }
        transaction.commit();
    }
    connected_ = state;
}

bool OrvixDriver::is_connected() const {
    std::lock_guard<std::mutex> stateLock(stateMutex_);
    return connected_;
}

int OrvixDriver::exchange(const Command& command, const std::function<void(const Reply&)>& readPayload) {
    const std::string& name = command.name;
    if (command.callMessage.empty()) {
        log().info("{}() called;", name);
    } else {
        log().info("{}", command.callMessage);
    }
    std::string failure;
    try {
        REST::RawResponse response;
        switch (command.verb) {
            case Command::Verb::Get:
                response = client_.Get(command.path());
                break;
            case Command::Verb::Post:
                response = client_.Post(command.path(), command.body);
                break;
            case Command::Verb::Upload:
                response = client_.PostFormData(command.path(), "file", command.fileName, command.bytes);
                break;
        }
        // The module counts as reachable only once its reply was read: a reply that
        // cannot be read is a lost exchange, and marking the module reachable before
        // finding that out would store a new alert for every such reply.
        if (response.status != 200) {
            save_connect_state(name, true);
            log().error("{}() network failed: code = {};", name, response.status);
            return response.status;
        }
        const boost::json::value parsed = boost::json::parse(response.body);
        const Reply reply(Json::asObject(parsed, "envelope"));
        const int code = Json::integer(reply.envelope(), "code");
        if (code != 0) {
            save_connect_state(name, true);
            if (readPayload) {
                log().error("{}() failed: code = {};", name, code);
            }
            return code;
        }
        if (readPayload) {
            readPayload(reply);
        }
        save_connect_state(name, true);
        return 0;
    } catch (const Poco::Exception& e) {
        failure = e.displayText();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    log().error("{}() exception: {};", name, failure);
    save_connect_state(name, false);
    return kCameraLost;
}

std::pair<int, std::vector<uint8_t>> OrvixDriver::get_image() {
    log().info("get_image() called;");
    try {
        const REST::RawResponse response = client_.PostRaw("/api/get_image", nullptr);
        const auto contentType = response.headers.find("Content-Type");
        if (contentType != response.headers.end() &&
            contentType->second.find("application/json") != std::string::npos) {
            // The module sent its envelope instead of a picture.
            const boost::json::value parsed = boost::json::parse(response.body);
            const int code = Json::integer(Json::asObject(parsed, "envelope"), "code");
            log().error("get_image() failed: error code = {};", code);
            return {code, {}};
        }
        std::vector<uint8_t> bytes(response.body.begin(), response.body.end());
        log().info("get_image() completed: {} bytes received;", bytes.size());
        return {0, std::move(bytes)};
    } catch (const Poco::Exception& e) {
        log().error("get_image() exception: {};", e.displayText());
    } catch (const std::exception& e) {
        log().error("get_image() exception: {};", Logging::reasonOf(e));
    }
    return {kCameraLost, {}};
}

std::pair<int, std::vector<GetItemRes>> OrvixDriver::get_item_list() {
    return fetch<std::vector<GetItemRes>>(Command::get("get_item_list"), [](const Reply& reply, auto& items) {
        const auto& data = reply.data();
        if (data.is_null()) {
            log().info("get_item_list(): data is null, returning empty list");
            return;
        }
        if (!data.is_array()) {
            log().error("get_item_list(): unexpected type for field data");
            throw std::runtime_error("unexpected type for field data");
        }
        for (const auto& element : data.get_array()) {
            const auto& item = Json::asObject(element, "data[]");
            items.push_back({Json::string(item, "id"), Json::integer(item, "count")});
        }
    });
}

int OrvixDriver::clear_all_template() {
    return exchange(Command::post("clear_all_template"), nullptr);
}

int OrvixDriver::manual_sync() {
    return exchange(Command::post("manual_sync"), nullptr);
}

std::pair<int, int> OrvixDriver::get_sync_limit() {
    return fetch<int>(Command::post("get_sync_limit"), [](const Reply& reply, int& limit) {
        limit = Json::integer(reply.dataObject(), "limit");
        log().info("get_sync_limit() completed; limit: {};", limit);
    });
}

std::pair<int, GetResultRes> OrvixDriver::get_result() {
    return fetch<GetResultRes>(Command::get("get_result"), [](const Reply& reply, GetResultRes& result) {
        const auto& data = reply.dataObject();
        const auto& items = Json::member(data, "items");
        if (items.is_null()) {
            log().info("get_result(): items is null, returning empty item list");
        } else if (items.is_array()) {
            for (const auto& element : items.get_array()) {
                const auto& item = Json::asObject(element, "items[]");
                result.items.push_back({Json::string(item, "id"), Json::number(item, "score")});
            }
        } else {
            log().error("get_result(): unexpected type for field items");
            throw std::runtime_error("unexpected type for field items");
        }
        result.sid = Json::string(data, "sid");
    });
}

std::pair<int, GetDeviceInfoRes> OrvixDriver::get_device_info() {
    return fetch<GetDeviceInfoRes>(
        Command::get("get_device_info"), [](const Reply& reply, GetDeviceInfoRes& info) {
            const auto& data = reply.dataObject();
            info.app = Json::string(data, "app");
            info.engine = Json::string(data, "engine");
            info.firmware = Json::string(data, "firmware");
            info.item_count = Json::integer(data, "item_count");
            info.learnMode = Json::integer(data, "learnMode");
            info.masterIP = Json::string(data, "masterIP");
            info.masterSN = Json::string(data, "masterSN");
            info.soldOutLimit = Json::integer(data, "soldOutLimit");
            info.max_result_num = Json::integer(data, "max_result_num");
            info.predict_speed = Json::string(data, "predict_speed");
            info.sn = Json::string(data, "sn");
            info.sync = Json::string(data, "sync");
            info.sync_mode = Json::string(data, "sync_mode");
            info.sync_limit = Json::integer(data, "sync_limit");
            info.upload = Json::boolean(data, "upload");
            info.download = Json::boolean(data, "download");
            // Older firmware does not report these two.
            info.board = Json::optionalString(data, "board").value_or("");
            info.mastersyncPort = Json::optionalString(data, "mastersyncPort").value_or("");
        });
}

std::pair<int, GetExtraInfoRes> OrvixDriver::get_extra_info() {
    return fetch<GetExtraInfoRes>(Command::get("get_extra_info"),
                                  [](const Reply& reply, GetExtraInfoRes& info) {
                                      if (!reply.data().is_object()) {
                                          return;  // no store details configured
                                      }
                                      const auto& data = reply.data().get_object();
                                      info.store_name = Json::optionalString(data, "store_name");
                                      info.store_id = Json::optionalString(data, "store_id");
                                      info.store_dep = Json::optionalString(data, "store_dep");
                                  });
}

std::tuple<int, int, int, int, int> OrvixDriver::get_calib() {
    const auto [code, area] = fetch<std::array<int, 4>>(
        Command::get("get_calib"), [](const Reply& reply, std::array<int, 4>& area) {
            const auto& data = reply.dataObject();
            area = {Json::integer(data, "left"), Json::integer(data, "top"), Json::integer(data, "width"),
                    Json::integer(data, "height")};
        });
    return {code, area[0], area[1], area[2], area[3]};
}

int OrvixDriver::reset_device() {
    return exchange(Command::post("reset_device"), nullptr);
}

int OrvixDriver::reboot() {
    return exchange(Command::post("reboot"), nullptr);
}

int OrvixDriver::enable_internet_once() {
    return exchange(Command::post("enable_internet_once"), nullptr);
}

std::pair<int, int> OrvixDriver::get_learnmode() {
    return fetch<int>(Command::get("get_learnmode"), [](const Reply& reply, int& mode) {
        mode = Json::integer(reply.dataObject(), "mode");
    });
}

std::pair<int, GetBoardInfoRes> OrvixDriver::get_board_info() {
    return fetch<GetBoardInfoRes>(Command::get("get_board_info"),
                                  [](const Reply& reply, GetBoardInfoRes& info) {
                                      const auto& data = reply.dataObject();
                                      info.board = Json::string(data, "board");
                                      info.clientID = Json::string(data, "clientID");
                                      info.engine = Json::string(data, "engine");
                                      info.firmware = Json::string(data, "firmware");
                                      info.sn = Json::string(data, "sn");
                                      info.syncMode = Json::string(data, "syncMode");
                                  });
}

std::tuple<int, std::vector<std::string>, int> OrvixDriver::get_item_template_list(
    const GetItemTemplateListReq& request) {
    struct Templates {
        std::vector<std::string> ids;
        int max = 0;
    };
    const auto command =
        Command::post("get_item_template_list", {{"id", request.id}},
                      fmt::format("get_item_template_list() called with id: {};", request.id));
    auto [code, templates] = fetch<Templates>(command, [](const Reply& reply, Templates& templates) {
        const auto& data = reply.data();
        if (data.is_array()) {
            for (const auto& element : data.get_array()) {
                if (!element.is_string()) {
                    log().error("get_item_template_list() unexpected data type;");
                    throw std::runtime_error("get_item_template_list() unexpected data type");
                }
                templates.ids.emplace_back(element.get_string());
            }
        } else if (!data.is_null()) {
            log().error("get_item_template_list() unexpected data type;");
            throw std::runtime_error("get_item_template_list() unexpected data type");
        }
        templates.max = Json::integer(reply.envelope(), "max");
        log().info("get_item_template_list() completed, max={}, data=[{}];", templates.max,
                   fmt::join(templates.ids, ", "));
    });
    return {code, std::move(templates.ids), templates.max};
}

int OrvixDriver::delete_item_template(const DeleteItemTemplateReq& request) {
    return exchange(Command::post("delete_item_template", {{"id", request.id}, {"sid", request.sid}},
                                  fmt::format("delete_item_template() called with id: {}, sid: {};",
                                              request.id, request.sid)),
                    nullptr);
}

int OrvixDriver::set_sync_master(const SetSyncMasterReq& request) {
    return exchange(
        Command::post("set_sync_master", {{"upload", request.upload}, {"download", request.download}},
                      fmt::format("set_sync_master() called with upload: {}, download: {};", request.upload,
                                  request.download)),
        nullptr);
}

int OrvixDriver::set_sync_slave(const SetSyncSlaveReq& request) {
    boost::json::object body{
        {"upload", request.upload}, {"download", request.download}, {"masterIP", request.masterIP}};
    if (request.mastersyncPort) {
        body["mastersyncPort"] = *request.mastersyncPort;
    }
    return exchange(
        Command::post(
            "set_sync_slave", std::move(body),
            fmt::format(
                "set_sync_slave() called with upload: {}, download: {}, masterIP: {}; mastersyncPort:{}",
                request.upload, request.download, request.masterIP, orNull(request.mastersyncPort))),
        nullptr);
}

std::pair<int, GetSyncStatusRes> OrvixDriver::get_sync_status() {
    return fetch<GetSyncStatusRes>(
        Command::get("get_sync_status"), [](const Reply& reply, GetSyncStatusRes& status) {
            const auto& data = reply.dataObject();
            status.count = Json::integer(data, "count");
            status.message = Json::string(data, "message");
            status.synctime = Json::string(data, "synctime");
            log().info("get_sync_status() completed; count: {}, message: {}, synctime: {};", status.count,
                       status.message, status.synctime);
        });
}

int OrvixDriver::set_sold_out_limit(const SetSoldOutLimitReq& request) {
    return exchange(Command::post("set_sold_out_limit", {{"day", request.day}},
                                  fmt::format("set_sold_out_limit() called with day: {};", request.day)),
                    nullptr);
}

int OrvixDriver::set_time(const SetTimeReq& request) {
    return exchange(
        Command::post("set_time", {{"sec", request.sec}, {"usec", request.usec}},
                      fmt::format("set_time() called with sec: {}, usec: {};", request.sec, request.usec)),
        nullptr);
}

int OrvixDriver::set_extra_info(const SetExtraInfoReq& request) {
    boost::json::object body;
    if (request.store_name) {
        body["store_name"] = *request.store_name;
    }
    if (request.store_id) {
        body["store_id"] = *request.store_id;
    }
    if (request.store_dep) {
        body["store_dep"] = *request.store_dep;
    }
    return exchange(
        Command::post(
            "set_extra_info", std::move(body),
            fmt::format("set_extra_info() called with store_name: {}, store_id: {}, store_dep: {};",
                        orNull(request.store_name), orNull(request.store_id), orNull(request.store_dep))),
        nullptr);
}

int OrvixDriver::set_calib(const SetCalibReq& request) {
    return exchange(
        Command::post("set_calib",
                      {{"left", request.left},
                       {"top", request.top},
                       {"width", request.width},
                       {"height", request.height}},
                      fmt::format("set_calib() called with left: {}, top: {}, width: {}, height: {};",
                                  request.left, request.top, request.width, request.height)),
        nullptr);
}

int OrvixDriver::set_sync_normal(const SetSyncNormalReq& request) {
    return exchange(
        Command::post("set_sync_normal", {{"upload", request.upload}, {"download", request.download}},
                      fmt::format("set_sync_normal() called with upload: {}, download: {};", request.upload,
                                  request.download)),
        nullptr);
}

int OrvixDriver::result_feedback(const RecognitionInfo& request) {
    return exchange(
        Command::post("result_feedback", {{"sid", request.sid}, {"id", request.id}},
                      fmt::format("result_feedback() called with sid: {},id: {};", request.sid, request.id)),
        nullptr);
}

int OrvixDriver::set_sync_limit(const SetSyncLimitReq& request) {
    return exchange(Command::post("set_sync_limit", {{"limit", request.limit}},
                                  fmt::format("set_sync_limit() called with limit: {};", request.limit)),
                    nullptr);
}

int OrvixDriver::set_max_result(const SetMaxResultReq& request) {
    return exchange(Command::post("set_max_result", {{"num", request.num}},
                                  fmt::format("set_max_result() called with num: {};", request.num)),
                    nullptr);
}

int OrvixDriver::set_learnmode(const SetLearnmodeReq& request) {
    return exchange(Command::post("set_learnmode", {{"mode", request.mode}},
                                  fmt::format("set_learnmode() called with mode: {};", request.mode)),
                    nullptr);
}

int OrvixDriver::delete_item(const DeleteItemReq& request) {
    return exchange(Command::post("delete_item", {{"id", request.id}},
                                  fmt::format("delete_item() called with id: {};", request.id)),
                    nullptr);
}

int OrvixDriver::set_predict_speed(const SetPredictSpeedReq& request) {
    return exchange(Command::post("set_predict_speed", {{"speed", request.speed}},
                                  fmt::format("set_predict_speed() called with speed: {};", request.speed)),
                    nullptr);
}

std::pair<int, AddItemTemplateRes> OrvixDriver::add_item_template(const AddItemTemplateReq& request) {
    return fetch<AddItemTemplateRes>(
        Command::post("add_item_template", {{"id", request.id}},
                      fmt::format("add_item_template() called with id: {};", request.id)),
        [](const Reply& reply, AddItemTemplateRes& result) {
            const auto& data = reply.dataObject();
            result.sid = Json::string(data, "sid");
            result.image = Json::string(data, "image");
            log().info("add_item_template() completed; sid={};", result.sid);
        });
}

}  // namespace velmora::Engine::Driver
