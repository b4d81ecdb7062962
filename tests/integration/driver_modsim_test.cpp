// The driver against the module simulator run as a process: the readers accept
// what a module sends, settings round-trip, the three jobs run to their end with
// the polling the task handlers use, and faults map to the driver's codes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "captured_log.h"
#include "driver.h"
#include "driver_bench.h"
#include "errors.h"
#include "test_support.h"
#include "wait_for_status.h"

namespace orvix::test {
namespace {

using velmora::Engine::Driver::OrvixDriver;
using velmora::Utils::wait_for_status;
using namespace velmora::Utils::Models;
using namespace velmora::Utils::Errors;

class DriverAgainstSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = freePort();
        sim_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{std::string(ORVIX_BINARY_DIR) + "/orvix-module-sim", "--port",
                                     std::to_string(port_), "--job-seconds", "0.5", "--sn", "SIM-SN-7"},
            std::map<std::string, std::string>{}, dir_.path());
        ASSERT_TRUE(waitForPort(port_, std::chrono::seconds(10))) << sim_->stderrText();
        driver_ = makeDriver(database_, port_);
    }

    void setFault(const std::string& json) {
        ASSERT_EQ(httpCall(port_, "POST", "/control/fault", json, "application/json").status, 200);
    }

    TempDir dir_;
    unsigned short port_ = 0;
    std::unique_ptr<ChildProcess> sim_;
    AgentDatabase database_;
    std::unique_ptr<OrvixDriver> driver_;
};

TEST_F(DriverAgainstSimulator, ReadsEveryReportAndRoundTripsSettings) {
    auto [code, info] = driver_->get_device_info();
    ASSERT_EQ(code, 0);
    EXPECT_EQ(info.sn, "SIM-SN-7");
    EXPECT_EQ(driver_->get_board_info().second.sn, "SIM-SN-7");

    EXPECT_EQ(driver_->set_learnmode({1}), 0);
    EXPECT_EQ(driver_->get_learnmode(), std::make_pair(0, 1));
    EXPECT_EQ(driver_->set_calib({5, 6, 700, 500}), 0);
    EXPECT_EQ(driver_->get_calib(), std::make_tuple(0, 5, 6, 700, 500));
    EXPECT_EQ(driver_->set_max_result({4}), 0);
    EXPECT_EQ(driver_->get_device_info().second.max_result_num, 4);
    EXPECT_EQ(driver_->set_extra_info({"Shop", std::nullopt, "Dep"}), 0);
    const auto extra = driver_->get_extra_info().second;
    EXPECT_EQ(extra.store_name, std::optional<std::string>("Shop"));
    EXPECT_EQ(extra.store_dep, std::optional<std::string>("Dep"));

    const auto [itemsCode, items] = driver_->get_item_list();
    EXPECT_EQ(itemsCode, 0);
    EXPECT_FALSE(items.empty());
    EXPECT_EQ(driver_->get_result().first, 0);
    EXPECT_EQ(driver_->get_sync_status().first, 0);
    EXPECT_EQ(driver_->get_sync_limit().first, 0);
    const auto [templatesCode, ids, max] = driver_->get_item_template_list({items.front().id});
    EXPECT_EQ(templatesCode, 0);
    EXPECT_EQ(static_cast<int>(ids.size()), items.front().count);

    const auto [imageCode, picture] = driver_->get_image();
    EXPECT_EQ(imageCode, 0);
    ASSERT_GE(picture.size(), 2u);
    EXPECT_EQ(picture[0], 0xFF);  // a JPEG
    EXPECT_EQ(picture[1], 0xD8);

    EXPECT_EQ(driver_->set_learnmode({-5}), static_cast<int>(CameraError::ParameterError));
    EXPECT_TRUE(driver_->is_connected());
    EXPECT_TRUE(database_.alerts().empty());
}

TEST_F(DriverAgainstSimulator, ExportDownloadAndImportBackup) {
    ASSERT_EQ(driver_->export_template({}), 0);
    const auto [exported, exportStatus] = wait_for_status<ExportStatus, ExportTemplateStatusRes>(
        [&] { return driver_->export_template_status(); }, ExportStatus::Completed, is_export_failure,
        [](ExportStatus s) { return to_string(s); }, "export template", 50, 200);
    ASSERT_TRUE(exported) << exportStatus.status;
    ASSERT_FALSE(exportStatus.filename.empty());

    const auto [downloadCode, archive] = driver_->download_template(exportStatus.filename);
    ASSERT_EQ(downloadCode, 0);
    EXPECT_EQ(archive.body.substr(0, 2), "PK");
    EXPECT_EQ(driver_->download_template("no-such.evom").first, -6207);

    ASSERT_EQ(driver_->import_template({std::vector<uint8_t>(archive.body.begin(), archive.body.end())}), 0);
    const auto [imported, importStatus] = wait_for_status<ImportStatus, ImportTemplateStatusRes>(
        [&] { return driver_->import_template_status(); }, ImportStatus::Completed, is_terminal_failure,
        [](ImportStatus s) { return to_string(s); }, "import template", 50, 200);
    EXPECT_TRUE(imported) << importStatus.status << " " << importStatus.msg;
}

TEST_F(DriverAgainstSimulator, FailedUpgradeEndsTheWait) {
    setFault(R"({"fail_jobs":["upgrade"]})");
    ASSERT_EQ(driver_->offline_upgrade({std::vector<uint8_t>(1000, 0x5A)}), 0);
    CapturedLog log;
    const auto [ok, last] = wait_for_status<UpgradeStatus, OfflineUpgradeStatusRes>(
        [&] { return driver_->offline_upgrade_status(); }, UpgradeStatus::Completed, is_upgrade_failure,
        [](UpgradeStatus s) { return to_string(s); }, "offline upgrade", 50, 200);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(is_upgrade_failure(static_cast<UpgradeStatus>(last.status))) << last.status;
    EXPECT_EQ(log.countContaining("offline upgrade failed with status "), 1u);
}

TEST_F(DriverAgainstSimulator, FaultsBecomeResultCodesAndOneAlert) {
    setFault(R"({"mode":"http500"})");
    EXPECT_EQ(driver_->reboot(), 500);
    setFault(R"({"mode":"refuse","code":-6210})");
    EXPECT_EQ(driver_->get_learnmode().first, -6210);
    setFault(R"({"mode":"nonjson"})");
    EXPECT_EQ(driver_->get_learnmode().first, -6103);
    setFault(R"({"mode":"close"})");
    EXPECT_EQ(driver_->get_calib(), std::make_tuple(-6103, 0, 0, 0, 0));
    EXPECT_EQ(driver_->get_image().first, -6103);
    auto alerts = database_.alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].description, "Потеряна связь с устройством при выполнении команды get_learnmode");

    setFault(R"({"mode":"none"})");
    EXPECT_EQ(driver_->get_learnmode().first, 0);
    EXPECT_TRUE(driver_->is_connected());
    EXPECT_EQ(database_.alerts().size(), 1u);
}

// A module that keeps answering garbage has lost its connection once, not once per command.
TEST_F(DriverAgainstSimulator, AModuleAnsweringGarbageWritesOneAlertPerLoss) {
    setFault(R"({"mode":"nonjson"})");
    const std::function<int()> commands[] = {
        [&] { return driver_->get_learnmode().first; },    [&] { return driver_->get_board_info().first; },
        [&] { return std::get<0>(driver_->get_calib()); }, [&] { return driver_->get_device_info().first; },
        [&] { return driver_->get_result().first; },       [&] { return driver_->get_learnmode().first; },
        [&] { return driver_->get_sync_status().first; },  [&] { return driver_->get_item_list().first; },
        [&] { return driver_->get_extra_info().first; },   [&] { return driver_->get_sync_limit().first; },
    };
    for (const auto& command : commands) {
        EXPECT_EQ(command(), -6103);
    }
    auto alerts = database_.alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].description, "Потеряна связь с устройством при выполнении команды get_learnmode");

    // Back to sense, then garbage again: a second loss.
    setFault(R"({"mode":"none"})");
    EXPECT_EQ(driver_->get_learnmode().first, 0);
    setFault(R"({"mode":"nonjson"})");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(driver_->get_sync_status().first, -6103);
    }
    EXPECT_EQ(database_.alerts().size(), 2u);
}

}  // namespace
}  // namespace orvix::test
