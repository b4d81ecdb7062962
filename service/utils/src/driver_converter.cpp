#include "driver_converter.h"
#include "multipart.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <tuple>

#include <Poco/Data/Session.h>
#include <Poco/Dynamic/Var.h>
#include <Poco/SharedPtr.h>

#include "db.h"
#include "driver.h"
#include "errors.h"
#include "logger.h"
#include "models.h"
#include "queries.h"
#include "request_members.h"
#include "service_context.h"

namespace velmora::Utils {

using Engine::Driver::OrvixDriver;
using Engine::Logging::log;
using Poco::JSON::Array;
using Poco::JSON::Object;
using namespace Models;

namespace {

const int kUnknownMistake = static_cast<int>(Errors::CameraError::UnknownMistake);

// Input keys are read with the JSON library's own conversions, so a client may send
// {"limit": "3"} for {"limit": 3} or a number where text is expected. A missing key
// or a null value is refused, naming the key, before the module is asked.
int readInt(const Object::Ptr& body, const std::string& key) {
    return memberInt(body, key);
}

bool readBool(const Object::Ptr& body, const std::string& key) {
    return memberBool(body, key);
}

std::string readString(const Object::Ptr& body, const std::string& key) {
    return memberString(body, key);
}

std::optional<std::string> readOptionalString(const Object::Ptr& body, const std::string& key) {
    if (!body->has(key)) {
        return std::nullopt;
    }
    return readString(body, key);
}

Object::Ptr newObject() {
    return Poco::makeShared<Object>();
}

// {"code": 0, "data": payload}
Object::Ptr dataResponse(const Poco::Dynamic::Var& payload) {
    Object::Ptr reply = newObject();
    reply->set("code", 0);
    reply->set("data", payload);
    return reply;
}

// Settings that the cloud shows as device attributes: only a change the module
// accepted is worth reporting again.
Object::Ptr settingResponse(int code, const std::function<void()>& action) {
    if (code == 0 && action) {
        action();
    }
    return get_empty_response(code);
}

std::int64_t epochMilliseconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace

Object::Ptr get_empty_response(int code) {
    Object::Ptr reply = newObject();
    reply->set("code", code);
    reply->set("data", Poco::Dynamic::Var());
    return reply;
}

std::vector<std::string> jsonArrayToVector(Object::Ptr object, std::string key) {
    std::vector<std::string> values;
    if (!object->has(key)) {
        return values;
    }
    Array::Ptr array = memberArray(object, key);
    values.reserve(array->size());
    for (std::size_t i = 0; i < array->size(); ++i) {
        try {
            values.push_back(array->get(static_cast<unsigned int>(i)).convert<std::string>());
        } catch (const Poco::Exception&) {
            throw BadRequestError(key, "expected an array of texts");
        }
    }
    return values;
}

Array::Ptr vectorToJsonArray(const std::vector<std::string>& values) {
    Array::Ptr array = Poco::makeShared<Array>();
    for (const auto& value : values) {
        array->add(value);
    }
    return array;
}

// ---- commands without input ----

std::pair<int, std::string> process_get_image(std::shared_ptr<OrvixDriver> driver) {
    auto [code, bytes] = driver->get_image();
    if (code != 0) {
        return {code, std::string()};
    }
    return {code, std::string(bytes.begin(), bytes.end())};
}

Object::Ptr process_clear_all_template(std::shared_ptr<OrvixDriver> driver) {
    return get_empty_response(driver->clear_all_template());
}

Object::Ptr process_manual_sync(std::shared_ptr<OrvixDriver> driver) {
    return get_empty_response(driver->manual_sync());
}

Object::Ptr process_reset_device(std::shared_ptr<OrvixDriver> driver) {
    return get_empty_response(driver->reset_device());
}

Object::Ptr process_reboot(std::shared_ptr<OrvixDriver> driver) {
    return get_empty_response(driver->reboot());
}

Object::Ptr process_enable_internet_once(std::shared_ptr<OrvixDriver> driver) {
    return get_empty_response(driver->enable_internet_once());
}

Object::Ptr process_get_sync_limit(std::shared_ptr<OrvixDriver> driver) {
    auto [code, limit] = driver->get_sync_limit();
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr data = newObject();
    data->set("limit", limit);
    return dataResponse(data);
}

Object::Ptr process_get_calib(std::shared_ptr<OrvixDriver> driver) {
    auto [code, left, top, width, height] = driver->get_calib();
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr data = newObject();
    data->set("left", left);
    data->set("top", top);
    data->set("width", width);
    data->set("height", height);
    return dataResponse(data);
}

Object::Ptr process_get_learnmode(std::shared_ptr<OrvixDriver> driver) {
    auto [code, mode] = driver->get_learnmode();
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr data = newObject();
    data->set("mode", mode);
    return dataResponse(data);
}

Object::Ptr process_get_sync_status(std::shared_ptr<OrvixDriver> driver) {
    auto [code, status] = driver->get_sync_status();
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr data = newObject();
    data->set("count", status.count);
    data->set("message", status.message);
    data->set("synctime", status.synctime);
    return dataResponse(data);
}

Object::Ptr process_get_extra_info(std::shared_ptr<OrvixDriver> driver) {
    auto [code, info] = driver->get_extra_info();
    if (code != 0) {
        return get_empty_response(code);
    }
    // Only what the module has: an unset store field is absent, not empty.
    Object::Ptr data = newObject();
    if (info.store_name) {
        data->set("store_name", *info.store_name);
    }
    if (info.store_id) {
        data->set("store_id", *info.store_id);
    }
    if (info.store_dep) {
        data->set("store_dep", *info.store_dep);
    }
    return dataResponse(data);
}

Object::Ptr process_get_device_info(std::shared_ptr<OrvixDriver> driver) {
    auto [code, info] = driver->get_device_info();
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr data = newObject();
    data->set("app", info.app);
    data->set("engine", info.engine);
    data->set("firmware", info.firmware);
    data->set("item_count", info.item_count);
    data->set("learnMode", info.learnMode);
    data->set("masterIP", info.masterIP);
    data->set("masterSN", info.masterSN);
    data->set("soldOutLimit", info.soldOutLimit);
    data->set("max_result_num", info.max_result_num);
    data->set("predict_speed", info.predict_speed);
    data->set("sn", info.sn);
    data->set("sync", info.sync);
    data->set("sync_mode", info.sync_mode);
    data->set("upload", info.upload);
    data->set("download", info.download);
    data->set("sync_limit", info.sync_limit);
    data->set("board", info.board);
    data->set("mastersyncPort", info.mastersyncPort);
    return dataResponse(data);
}

Object::Ptr process_get_board_info(std::shared_ptr<OrvixDriver> driver) {
    auto [code, info] = driver->get_board_info();
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr data = newObject();
    data->set("board", info.board);
    data->set("clientID", info.clientID);
    data->set("engine", info.engine);
    data->set("firmware", info.firmware);
    data->set("sn", info.sn);
    data->set("syncMode", info.syncMode);
    return dataResponse(data);
}

Object::Ptr process_get_item_list(std::shared_ptr<OrvixDriver> driver) {
    auto [code, items] = driver->get_item_list();
    if (code != 0) {
        return get_empty_response(code);
    }
    Array::Ptr data = Poco::makeShared<Array>();
    for (const auto& item : items) {
        Object::Ptr entry = newObject();
        entry->set("id", item.id);
        entry->set("count", item.count);
        data->add(entry);
    }
    return dataResponse(data);
}

Object::Ptr process_get_result(std::shared_ptr<OrvixDriver> driver, std::mutex& configurationLock,
                               Engine::DB::SQLiteDB& database) {
    const auto t0 = std::chrono::system_clock::now();
    auto [code, result] = driver->get_result();
    if (code != 0) {
        return get_empty_response(code);
    }

    Array::Ptr items = Poco::makeShared<Array>();
    std::vector<std::string> ids;
    std::vector<double> scores;
    ids.reserve(result.items.size());
    scores.reserve(result.items.size());
    for (const auto& item : result.items) {
        Object::Ptr entry = newObject();
        entry->set("id", item.id);
        entry->set("score", item.score);
        items->add(entry);
        ids.push_back(item.id);
        scores.push_back(item.score);
    }
    Object::Ptr data = newObject();
    data->set("items", items);
    data->set("sid", result.sid);
    Object::Ptr reply = dataResponse(data);

    // The operator's choice for this sid arrives later and is matched against what
    // is stored here; nothing of it stays when the database refuses a part.
    const std::string& sid = result.sid;
    Engine::runInTransaction(configurationLock, database, [&](Poco::Data::Session& session) {
        Queries::deletePrediction(session);
        const auto t1 = std::chrono::system_clock::now();
        const int responseTimeMs = static_cast<int>(epochMilliseconds(t1) - epochMilliseconds(t0));
        Queries::addPrediction(session, sid, responseTimeMs, ids, scores);
    });
    return reply;
}

// ---- long-running jobs ----

Object::Ptr process_export_template_status(std::shared_ptr<OrvixDriver> driver) {
    auto [code, status] = driver->export_template_status();
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr reply = newObject();
    reply->set("code", 0);
    reply->set("msg", status.msg);
    reply->set("filename", status.filename);
    reply->set("status", status.status);
    return reply;
}

Object::Ptr process_import_template_status(std::shared_ptr<OrvixDriver> driver) {
    auto [code, status] = driver->import_template_status();
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr reply = newObject();
    reply->set("code", 0);
    reply->set("msg", status.msg);
    reply->set("status", status.status);
    return reply;
}

Object::Ptr process_offline_upgrade_status(std::shared_ptr<OrvixDriver> driver) {
    auto [code, status] = driver->offline_upgrade_status();
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr reply = newObject();
    reply->set("code", 0);
    reply->set("msg", status.msg);
    reply->set("status", status.status);
    return reply;
}

Object::Ptr process_import_template(const std::string& body, const std::string& delimiter,
                                    std::shared_ptr<OrvixDriver> driver) {
    auto file = extractFirstPart(body, delimiter);
    if (!file) {
        return get_empty_response(kUnknownMistake);
    }
    ImportTemplateReq request;
    request.data = std::move(*file);
    return get_empty_response(driver->import_template(request));
}

Object::Ptr process_offline_upgrade(const std::string& body, const std::string& delimiter,
                                    std::shared_ptr<OrvixDriver> driver) {
    auto file = extractFirstPart(body, delimiter);
    if (!file) {
        return get_empty_response(kUnknownMistake);
    }
    OfflineUpgradeReq request;
    request.data = std::move(*file);
    return get_empty_response(driver->offline_upgrade(request));
}

Object::Ptr process_export_template(Object::Ptr body, std::shared_ptr<OrvixDriver> driver) {
    ExportTemplateReq request;
    request.ids = jsonArrayToVector(body, "ids");
    return get_empty_response(driver->export_template(request));
}

// ---- templates and items ----

Object::Ptr process_get_item_template_list(Object::Ptr body, std::shared_ptr<OrvixDriver> driver) {
    GetItemTemplateListReq request;
    request.id = readString(body, "id");
    auto [code, ids, max] = driver->get_item_template_list(request);
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr reply = dataResponse(vectorToJsonArray(ids));
    reply->set("max", max);
    return reply;
}

Object::Ptr process_add_item_template(Object::Ptr body, std::shared_ptr<OrvixDriver> driver) {
    AddItemTemplateReq request;
    request.id = readString(body, "id");
    auto [code, added] = driver->add_item_template(request);
    if (code != 0) {
        return get_empty_response(code);
    }
    Object::Ptr data = newObject();
    data->set("sid", added.sid);
    data->set("image", added.image);
    return dataResponse(data);
}

Object::Ptr process_delete_item_template(Object::Ptr body, std::shared_ptr<OrvixDriver> driver) {
    DeleteItemTemplateReq request;
    request.id = readString(body, "id");
    request.sid = readString(body, "sid");
    return get_empty_response(driver->delete_item_template(request));
}

Object::Ptr process_delete_item(Object::Ptr body, std::shared_ptr<OrvixDriver> driver) {
    DeleteItemReq request;
    request.id = readString(body, "id");
    return get_empty_response(driver->delete_item(request));
}

// ---- settings without an attribute report ----

Object::Ptr process_set_time(Object::Ptr body, std::shared_ptr<OrvixDriver> driver) {
    SetTimeReq request;
    request.sec = readInt(body, "sec");
    request.usec = readInt(body, "usec");
    return get_empty_response(driver->set_time(request));
}

Object::Ptr process_set_calib(Object::Ptr body, std::shared_ptr<OrvixDriver> driver) {
    SetCalibReq request;
    request.left = readInt(body, "left");
    request.top = readInt(body, "top");
    request.width = readInt(body, "width");
    request.height = readInt(body, "height");
    return get_empty_response(driver->set_calib(request));
}

// ---- settings reported to the cloud as device attributes ----

Object::Ptr process_set_sync_normal(Object::Ptr body, std::shared_ptr<OrvixDriver> driver,
                                    std::function<void()> action) {
    SetSyncNormalReq request;
    request.upload = readBool(body, "upload");
    request.download = readBool(body, "download");
    return settingResponse(driver->set_sync_normal(request), action);
}

Object::Ptr process_set_sync_master(Object::Ptr body, std::shared_ptr<OrvixDriver> driver,
                                    std::function<void()> action) {
    SetSyncMasterReq request;
    request.upload = readBool(body, "upload");
    request.download = readBool(body, "download");
    return settingResponse(driver->set_sync_master(request), action);
}

Object::Ptr process_set_sync_slave(Object::Ptr body, std::shared_ptr<OrvixDriver> driver,
                                   std::function<void()> action) {
    SetSyncSlaveReq request;
    request.upload = readBool(body, "upload");
    request.download = readBool(body, "download");
    request.masterIP = readString(body, "masterIP");
    request.mastersyncPort = readOptionalString(body, "mastersyncPort");
    return settingResponse(driver->set_sync_slave(request), action);
}

Object::Ptr process_set_sync_limit(Object::Ptr body, std::shared_ptr<OrvixDriver> driver,
                                   std::function<void()> action) {
    SetSyncLimitReq request;
    request.limit = readInt(body, "limit");
    return settingResponse(driver->set_sync_limit(request), action);
}

Object::Ptr process_set_sold_out_limit(Object::Ptr body, std::shared_ptr<OrvixDriver> driver,
                                       std::function<void()> action) {
    SetSoldOutLimitReq request;
    request.day = readInt(body, "day");
    return settingResponse(driver->set_sold_out_limit(request), action);
}

Object::Ptr process_set_max_result(Object::Ptr body, std::shared_ptr<OrvixDriver> driver,
                                   std::function<void()> action) {
    SetMaxResultReq request;
    request.num = readInt(body, "num");
    return settingResponse(driver->set_max_result(request), action);
}

Object::Ptr process_set_learnmode(Object::Ptr body, std::shared_ptr<OrvixDriver> driver,
                                  std::function<void()> action) {
    SetLearnmodeReq request;
    request.mode = readInt(body, "mode");
    return settingResponse(driver->set_learnmode(request), action);
}

Object::Ptr process_set_predict_speed(Object::Ptr body, std::shared_ptr<OrvixDriver> driver,
                                      std::function<void()> action) {
    SetPredictSpeedReq request;
    request.speed = readString(body, "speed");
    return settingResponse(driver->set_predict_speed(request), action);
}

Object::Ptr process_set_extra_info(Object::Ptr body, std::shared_ptr<OrvixDriver> driver,
                                   std::function<void()> action) {
    SetExtraInfoReq request;
    request.store_name = readOptionalString(body, "store_name");
    request.store_id = readOptionalString(body, "store_id");
    request.store_dep = readOptionalString(body, "store_dep");
    return settingResponse(driver->set_extra_info(request), action);
}

}  // namespace velmora::Utils
