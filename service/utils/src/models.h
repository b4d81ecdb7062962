#pragma once

// Request and result records of the recognition module's commands. Plain values:
// the converters, the device data provider and the task handlers take them by copy.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::Utils::Models {

// Requests

struct GetItemTemplateListReq {
    std::string id;
};

struct DeleteItemTemplateReq {
    std::string id;
    std::string sid;
};

struct AddItemTemplateReq {
    std::string id;
};

struct DeleteItemReq {
    std::string id;
};

struct ExportTemplateReq {
    std::vector<std::string> ids;
};

struct ImportTemplateReq {
    std::vector<uint8_t> data;  // the package file
};

struct OfflineUpgradeReq {
    std::vector<uint8_t> data;  // the upgrade file
};

struct SetSyncMasterReq {
    bool upload = false;
    bool download = false;
};

struct SetSyncNormalReq {
    bool upload = false;
    bool download = false;
};

struct SetSyncSlaveReq {
    bool upload = false;
    bool download = false;
    std::string masterIP;
    std::optional<std::string> mastersyncPort;
};

struct SetSyncLimitReq {
    int limit = 0;
};

struct SetSoldOutLimitReq {
    int day = 0;
};

struct SetMaxResultReq {
    int num = 0;
};

struct SetLearnmodeReq {
    int mode = 0;
};

struct SetPredictSpeedReq {
    std::string speed;
};

struct SetTimeReq {
    int sec = 0;
    int usec = 0;
};

struct SetCalibReq {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct SetExtraInfoReq {
    std::optional<std::string> store_name;
    std::optional<std::string> store_id;
    std::optional<std::string> store_dep;
};

// One candidate as the cash-register software reports it with the operator's
// choice; kept locally, never sent to the module.
struct SingleRecognition {
    std::string product_code;
    std::string product_name;
    std::string product_category;
    double product_rate = 0.0;
};

// The operator's choice for one recognition. Only sid and id go to the module.
struct RecognitionInfo {
    std::string sid;  // the module's session id of the recognition
    std::string id;   // the chosen product code
    std::optional<std::string> product_name;
    std::optional<int64_t> response_time_ms;
    std::optional<std::string> method_of_selection;
    std::optional<std::string> position_relevance;
    std::optional<std::string> product_category;
    std::optional<double> product_weight;
    std::optional<std::vector<SingleRecognition>> top_recognition;
};

// Results

struct GetItemRes {
    std::string id;
    int count = 0;
};

struct GetResultItemRes {
    std::string id;
    double score = 0.0;
};

struct GetResultRes {
    std::vector<GetResultItemRes> items;
    std::string sid;
};

struct GetDeviceInfoRes {
    std::string app;
    std::string engine;
    std::string firmware;
    int item_count = 0;
    int learnMode = 0;
    std::string masterIP;
    std::string masterSN;
    int soldOutLimit = 0;
    int max_result_num = 0;
    std::string predict_speed;
    std::string sn;
    std::string sync;
    std::string sync_mode;
    bool upload = false;
    bool download = false;
    int sync_limit = 0;
    std::string board;
    std::string mastersyncPort;
};

struct GetExtraInfoRes {
    std::optional<std::string> store_name;
    std::optional<std::string> store_id;
    std::optional<std::string> store_dep;
};

struct GetBoardInfoRes {
    std::string board;
    std::string clientID;
    std::string engine;
    std::string firmware;
    std::string sn;
    std::string syncMode;
};

struct GetSyncStatusRes {
    int count = 0;
    std::string message;
    std::string synctime;
};

struct AddItemTemplateRes {
    std::string sid;
    std::string image;
};

// A job status that no reply has set yet. It is neither the success nor a failure
// status of any job, so a status query that failed keeps a wait going instead of
// passing for an outcome.
inline constexpr int kJobStatusUnset = -1;

struct ExportTemplateStatusRes {
    std::string msg;
    std::string filename;
    int status = kJobStatusUnset;  // an Errors::ExportStatus
};

struct ImportTemplateStatusRes {
    std::string msg;
    int status = kJobStatusUnset;  // an Errors::ImportStatus
};

struct OfflineUpgradeStatusRes {
    std::string msg;
    int status = kJobStatusUnset;  // an Errors::UpgradeStatus
};

}  // namespace velmora::Utils::Models
