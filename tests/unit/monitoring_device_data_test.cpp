// The device attributes built from what the module simulator reports through a
// real driver, and the send state that decides when they travel.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "agent-filesystem.h"
#include "agent-utils.h"
#include "build_constants.h"
#include "device_data_provider.h"
#include "driver.h"
#include "module_sim_peer.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace orvix::test {
namespace {

using velmora::Engine::Driver::OrvixDriver;
using velmora::Engine::Sync::DeviceDataProvider;

const std::vector<std::string> kDeviceKeys = {
    "app",          "engine",         "firmware",      "item_count", "learnMode", "masterIP",  "masterSN",
    "soldOutLimit", "max_result_num", "predict_speed", "sn",         "sync",      "sync_mode", "sync_limit",
    "upload",       "download",       "mastersyncPort"};
const std::vector<std::string> kExtraKeys = {"store_name", "store_id", "store_dep"};
const std::vector<std::string> kServiceKeys = {"Ip",           "Port", "ServiceVersion", "ServiceBuildDate",
                                               "Manufacturer", "OS"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::vector<std::string> keysOf(const boost::json::array& list) {
    std::vector<std::string> keys;
    for (const auto& entry : list) {
        const auto& object = entry.as_object();
        EXPECT_EQ(object.size(), 2u);
        EXPECT_EQ(object.begin()->key(), "key");
        EXPECT_EQ((object.begin() + 1)->key(), "value");
        keys.emplace_back(object.at("key").as_string());
    }
    return keys;
}

const boost::json::value& valueOf(const boost::json::array& list, const std::string& key) {
    for (const auto& entry : list) {
        if (entry.as_object().at("key").as_string() == key) {
            return entry.as_object().at("value");
        }
    }
    throw std::out_of_range("no attribute " + key);
}

class DeviceData : public ::testing::Test {
protected:
    DeviceData()
        : sim_(dir_.path()),
          driver_(std::make_shared<OrvixDriver>("127.0.0.1", sim_.port(), lock_, database_.db())),
          provider_(driver_) {}

    TempDir dir_;
    ModuleSimPeer sim_;
    MigratedDatabase database_;
    std::mutex lock_;
    std::shared_ptr<OrvixDriver> driver_;
    DeviceDataProvider provider_;
};

TEST_F(DeviceData, FirstListCarriesTheModuleAndTheServiceInCatalogueOrder) {
    sim_.fault(R"({"mode":"none"})");
    ASSERT_EQ(driver_->set_extra_info({"Shop 1", std::nullopt, "Dairy"}), 0);
    const auto list = provider_.get_attributes();
    EXPECT_EQ(keysOf(list), join({kDeviceKeys, kExtraKeys, {"clientID", "board"}, kServiceKeys}));

    const auto [code, info] = driver_->get_device_info();
    ASSERT_EQ(code, 0);
    EXPECT_EQ(valueOf(list, "sn").as_string(), info.sn);
    EXPECT_EQ(valueOf(list, "item_count").as_int64(), info.item_count);
    EXPECT_EQ(valueOf(list, "learnMode").as_int64(), info.learnMode);
    EXPECT_EQ(valueOf(list, "upload").as_bool(), info.upload);
    EXPECT_EQ(valueOf(list, "download").as_bool(), info.download);
    EXPECT_EQ(valueOf(list, "mastersyncPort").as_string(), info.mastersyncPort);
    EXPECT_EQ(valueOf(list, "board").as_string(), info.board);
    EXPECT_EQ(valueOf(list, "store_name").as_string(), "Shop 1");
    EXPECT_EQ(valueOf(list, "store_id").as_string(), "");  // unset
    EXPECT_EQ(valueOf(list, "store_dep").as_string(), "Dairy");
    EXPECT_EQ(valueOf(list, "clientID").as_string(), driver_->get_board_info().second.clientID);
    EXPECT_EQ(valueOf(list, "Ip").as_string(), velmora::Utils::getLocalIP());
    EXPECT_EQ(valueOf(list, "Port").as_string(), "5555");
    EXPECT_EQ(valueOf(list, "ServiceVersion").as_string(),
              velmora::Utils::BuildConstants::orvix_agent_version);
    EXPECT_EQ(valueOf(list, "ServiceBuildDate").as_string(),
              velmora::Utils::utc_format(velmora::Utils::BuildConstants::orvix_agent_build_date, false));
    EXPECT_EQ(valueOf(list, "Manufacturer").as_string(), "Velmora");
    EXPECT_EQ(valueOf(list, "OS").as_string(), "GNU/Linux");

    EXPECT_TRUE(provider_.need_sending_attributes());
    provider_.attributes_send();
    EXPECT_FALSE(provider_.need_sending_attributes());
}

// Which module commands answer decides how far the list goes.
struct ModuleCase {
    const char* name;
    std::string fault;  // module simulator fault while the list is built
    std::vector<std::string> firstList;
    std::vector<std::string> nextList;  // after the first list was accepted
    bool sentAfterAcceptance;
};

class DeviceDataModule : public DeviceData, public ::testing::WithParamInterface<ModuleCase> {};

TEST_P(DeviceDataModule, ListFollowsTheCommandsThatAnswer) {
    const ModuleCase& c = GetParam();
    sim_.fault(c.fault);
    const auto first = provider_.get_attributes();
    EXPECT_EQ(keysOf(first), c.firstList);
    provider_.attributes_send();
    EXPECT_EQ(provider_.need_sending_attributes(), !c.sentAfterAcceptance);
    EXPECT_EQ(keysOf(provider_.get_attributes()), c.nextList);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeviceDataModule,
    ::testing::Values(
        ModuleCase{"AllAnswer", R"({"mode":"none"})",
                   join({kDeviceKeys, kExtraKeys, {"clientID", "board"}, kServiceKeys}),
                   join({kDeviceKeys, kExtraKeys, {"clientID", "board"}}), true},
        ModuleCase{"ExtraInfoRefused", R"({"mode":"refuse","commands":["get_extra_info"]})",
                   join({kDeviceKeys, {"board"}, kServiceKeys}), join({kDeviceKeys, {"board"}}), false},
        ModuleCase{"BoardInfoFails", R"({"mode":"http500","commands":["get_board_info"]})",
                   join({kDeviceKeys, kExtraKeys, {"board"}, kServiceKeys}),
                   join({kDeviceKeys, kExtraKeys, {"board"}}), false},
        ModuleCase{"DeviceInfoNotJson",
                   R"({"mode":"nonjson","commands":["get_device_info"]})",
                   kServiceKeys,
                   {},
                   false},
        ModuleCase{"ModuleClosesEveryConnection", R"({"mode":"close"})", kServiceKeys, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceData, UnreachableModuleSendsTheServiceFirstAndTheModuleWhenItAnswers) {
    sim_.fault(R"({"mode":"close"})");
    EXPECT_EQ(keysOf(provider_.get_attributes()), kServiceKeys);
    provider_.attributes_send();
    EXPECT_TRUE(provider_.get_attributes().empty());
    EXPECT_TRUE(provider_.need_sending_attributes());

    sim_.fault(R"({"mode":"none"})");
    EXPECT_EQ(keysOf(provider_.get_attributes()), join({kDeviceKeys, kExtraKeys, {"clientID", "board"}}));
    provider_.attributes_send();
    EXPECT_FALSE(provider_.need_sending_attributes());
}

TEST_F(DeviceData, AChangeAfterAcceptanceSendsOnceMore) {
    provider_.get_attributes();
    provider_.attributes_send();
    ASSERT_FALSE(provider_.need_sending_attributes());
    provider_.attributes_update();
    EXPECT_TRUE(provider_.need_sending_attributes());
    EXPECT_EQ(keysOf(provider_.get_attributes()), join({kDeviceKeys, kExtraKeys, {"clientID", "board"}}));
    provider_.attributes_send();
    EXPECT_FALSE(provider_.need_sending_attributes());
}

TEST_F(DeviceData, SerialNumberComesFromTheModuleOrIsEmpty) {
    EXPECT_EQ(provider_.get_serial_number(), driver_->get_device_info().second.sn);
    EXPECT_FALSE(provider_.get_serial_number().empty());
    sim_.stop();
    EXPECT_EQ(provider_.get_serial_number(), "");
}

TEST(DeviceDataWithoutDriver, GivesNothing) {
    MigratedDatabase database;
    std::mutex lock;
    auto driver = std::make_shared<OrvixDriver>("127.0.0.1", 9, lock, database.db());
    DeviceDataProvider provider(driver);
    driver.reset();
    EXPECT_TRUE(provider.get_attributes().empty());
    EXPECT_EQ(provider.get_serial_number(), "");
}

}  // namespace
}  // namespace orvix::test
