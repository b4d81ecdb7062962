#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "models.h"
#include "restclient.h"

namespace velmora::Engine::DB {
class SQLiteDB;
}

namespace velmora::Engine::Driver {

// The agent's client of the recognition module. Each command is one HTTP exchange
// with the module and returns a result code (alone or with its record):
//   0            the module answered 200 with "code" 0
//   module code  the module answered 200 but refused the command
//   HTTP status  the module answered with another status (body ignored)
//   -6103        no reply, or a reply that is not the expected JSON
// No command throws for an exchange failure. The first failure after a reply that
// was read stores one lost-connection alert in the database; a module that keeps
// sending replies that cannot be read is one loss, not one per reply.
//
// Commands may run on several threads at once: nothing is held during an
// exchange, and the client opens a session per call.
class OrvixDriver {
public:
    // The lock and the database belong to the server and outlive the driver.
    OrvixDriver(const std::string& address, int port, std::mutex& configurationLock, DB::SQLiteDB& database);
    OrvixDriver(const OrvixDriver&) = delete;
    OrvixDriver& operator=(const OrvixDriver&) = delete;

    // Records the outcome of an exchange: `state` true after any HTTP reply, false
    // after a failed exchange. The step from connected to lost stores an alert.
    // Only a database failure of that alert leaves this as an exception.
    void save_connect_state(const std::string& command, bool state);
    // Whether the last exchange produced a reply (true for a new driver).
    bool is_connected() const;
    // How many lost-connection alerts the queue keeps (the oldest beyond go). Set
    // before the driver is shared; the default is alert_queue_cap's.
    void setAlertQueueCap(int cap);

    // The current camera picture. The HTTP status is not examined and the
    // connection flag is not touched; a JSON envelope instead of a picture gives
    // its "code".
    std::pair<int, std::vector<uint8_t>> get_image();

    std::pair<int, std::vector<Utils::Models::GetItemRes>> get_item_list();
    int clear_all_template();
    int manual_sync();
    std::pair<int, int> get_sync_limit();
    std::pair<int, Utils::Models::GetResultRes> get_result();
    std::pair<int, Utils::Models::GetDeviceInfoRes> get_device_info();
    std::pair<int, Utils::Models::GetExtraInfoRes> get_extra_info();
    // code, left, top, width, height; the four values mean something only for code 0.
    std::tuple<int, int, int, int, int> get_calib();
    int reset_device();
    int reboot();
    int enable_internet_once();
    std::pair<int, int> get_learnmode();
    std::pair<int, Utils::Models::GetBoardInfoRes> get_board_info();
    // code, template ids, "max".
    std::tuple<int, std::vector<std::string>, int> get_item_template_list(
        const Utils::Models::GetItemTemplateListReq& request);
    int delete_item_template(const Utils::Models::DeleteItemTemplateReq& request);
    int set_sync_master(const Utils::Models::SetSyncMasterReq& request);
    int set_sync_slave(const Utils::Models::SetSyncSlaveReq& request);
    std::pair<int, Utils::Models::GetSyncStatusRes> get_sync_status();
    int set_sold_out_limit(const Utils::Models::SetSoldOutLimitReq& request);
    int set_time(const Utils::Models::SetTimeReq& request);
    int set_extra_info(const Utils::Models::SetExtraInfoReq& request);
    int set_calib(const Utils::Models::SetCalibReq& request);
    int set_sync_normal(const Utils::Models::SetSyncNormalReq& request);
    int result_feedback(const Utils::Models::RecognitionInfo& request);
    int set_sync_limit(const Utils::Models::SetSyncLimitReq& request);
    int set_max_result(const Utils::Models::SetMaxResultReq& request);
    int set_learnmode(const Utils::Models::SetLearnmodeReq& request);
    int delete_item(const Utils::Models::DeleteItemReq& request);
    int set_predict_speed(const Utils::Models::SetPredictSpeedReq& request);
    std::pair<int, Utils::Models::AddItemTemplateRes> add_item_template(
        const Utils::Models::AddItemTemplateReq& request);

    // Long-running jobs: a start command, then its status command until the
    // module reports an outcome (see wait_for_status.h).
    int export_template(const Utils::Models::ExportTemplateReq& request);
    std::pair<int, Utils::Models::ExportTemplateStatusRes> export_template_status();
    int import_template(const Utils::Models::ImportTemplateReq& request);
    std::pair<int, Utils::Models::ImportTemplateStatusRes> import_template_status();
    int offline_upgrade(const Utils::Models::OfflineUpgradeReq& request);
    std::pair<int, Utils::Models::OfflineUpgradeStatusRes> offline_upgrade_status();
    // GET /download/<file>: 0 with the reply for status 200, otherwise -6207 with
    // the reply (empty when there was none). Never touches the connection flag.
    // The name is sent percent-encoded; one that is not a file name of the module's
    // download folder ("", ".", "..", "/", "\\", NUL) gives -6207 without a request.
    std::pair<int, REST::RawResponse> download_template(const std::string& file);

private:
    // What one command sends, and how its reply is read (driver_exchange.h).
    struct Command;
    class Reply;

    // The common exchange: logs, calls the module, judges status and "code",
    // hands the envelope to `readPayload` (when given) and maps every failure to
    // a result code. A command with a reader counts as one that returns data.
    int exchange(const Command& command, const std::function<void(const Reply&)>& readPayload);

    // exchange() for a command with a result record, which stays in its initial
    // state unless the whole reply was read.
    template <typename Record, typename Read>
    std::pair<int, Record> fetch(const Command& command, Read read);

    std::string address_;
    int port_;
    REST::RestClient client_;
    // Exported packages can be large: the same per-receive timeout, a longer whole.
    REST::RestClient download_client_;
    std::mutex& configurationLock_;
    DB::SQLiteDB& database_;
    mutable std::mutex stateMutex_;
    bool connected_ = true;
    int alertQueueCap_;
};

}  // namespace velmora::Engine::Driver
