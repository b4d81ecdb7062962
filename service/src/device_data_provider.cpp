#include "device_data_provider.h"

#include <boost/json.hpp>

#include "agent-filesystem.h"
#include "agent-utils.h"
#include "build_constants.h"
#include "driver.h"

namespace velmora::Engine::Sync {
namespace {

void append(boost::json::array& list, const char* key, boost::json::value value) {
    boost::json::object entry;
    entry["key"] = key;
    entry["value"] = std::move(value);
    list.push_back(std::move(entry));
}

// What the module reports of itself, in the order the service expects.
void appendDeviceInfo(boost::json::array& list, const Utils::Models::GetDeviceInfoRes& info) {
    append(list, "app", boost::json::string(info.app));
    append(list, "engine", boost::json::string(info.engine));
    append(list, "firmware", boost::json::string(info.firmware));
    append(list, "item_count", info.item_count);
    append(list, "learnMode", info.learnMode);
    append(list, "masterIP", boost::json::string(info.masterIP));
    append(list, "masterSN", boost::json::string(info.masterSN));
    append(list, "soldOutLimit", info.soldOutLimit);
    append(list, "max_result_num", info.max_result_num);
    append(list, "predict_speed", boost::json::string(info.predict_speed));
    append(list, "sn", boost::json::string(info.sn));
    append(list, "sync", boost::json::string(info.sync));
    append(list, "sync_mode", boost::json::string(info.sync_mode));
    append(list, "sync_limit", info.sync_limit);
    append(list, "upload", info.upload);
    append(list, "download", info.download);
    append(list, "mastersyncPort", boost::json::string(info.mastersyncPort));
}

void appendExtraInfo(boost::json::array& list, const Utils::Models::GetExtraInfoRes& extra) {
    append(list, "store_name", boost::json::string(extra.store_name.value_or("")));
    append(list, "store_id", boost::json::string(extra.store_id.value_or("")));
    append(list, "store_dep", boost::json::string(extra.store_dep.value_or("")));
}

// The agent's own attributes, sent until the service accepted a first list.
void appendServiceInfo(boost::json::array& list) {
    using namespace Utils::BuildConstants;
    append(list, "Ip", boost::json::string(Utils::getLocalIP()));
    append(list, "Port", boost::json::string(orvix_agent_port));
    append(list, "ServiceVersion", boost::json::string(orvix_agent_version));
    append(list, "ServiceBuildDate", boost::json::string(Utils::utc_format(orvix_agent_build_date, false)));
    append(list, "Manufacturer", "Velmora");
    append(list, "OS", boost::json::string(orvix_agent_os_type));
}

}  // namespace

DeviceDataProvider::DeviceDataProvider(std::shared_ptr<Driver::OrvixDriver> driver) : driver_(driver) {}

bool DeviceDataProvider::need_sending_attributes() {
    return !sent_;
}

void DeviceDataProvider::attributes_update() {
    sent_ = false;
}

void DeviceDataProvider::attributes_send() {
    first_send_ = true;
    if (complete_) {
        sent_ = true;
    }
}

boost::json::array DeviceDataProvider::get_attributes() {
    complete_ = false;
    boost::json::array list;
    auto driver = driver_.lock();
    if (!driver) {
        return list;
    }
    const auto [infoCode, info] = driver->get_device_info();
    if (infoCode == 0) {
        appendDeviceInfo(list, info);
        std::string board = info.board;
        const auto [extraCode, extra] = driver->get_extra_info();
        if (extraCode == 0) {
            appendExtraInfo(list, extra);
            const auto [boardCode, boardInfo] = driver->get_board_info();
            if (boardCode == 0) {
                if (board.empty()) {
                    board = boardInfo.board;
                }
                append(list, "clientID", boost::json::string(boardInfo.clientID));
                complete_ = true;
            }
        }
        if (!board.empty()) {
            append(list, "board", boost::json::string(board));
        }
    }
    if (!first_send_) {
        appendServiceInfo(list);
    }
    return list;
}

std::string DeviceDataProvider::get_serial_number() {
    auto driver = driver_.lock();
    if (!driver) {
        return "";
    }
    const auto [code, info] = driver->get_device_info();
    return code == 0 ? info.sn : "";
}

}  // namespace velmora::Engine::Sync
