// The schema of the agent's database and its first-start configuration, as the
// ordered list of migrations the server applies at every start.
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "build_constants.h"
#include "db.h"

namespace velmora::Engine::DB {
namespace {

const char* const kDbInitials = R"sql(
CREATE TABLE IF NOT EXISTS configurations (
    key TEXT PRIMARY KEY,
    type TEXT NOT NULL,
    value TEXT NOT NULL,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE TABLE recognition_queue (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    sid TEXT NOT NULL,
    method_of_selection TEXT NOT NULL,
    position_relevance TEXT NOT NULL,
    product_code INTEGER NOT NULL,
    product_category TEXT NOT NULL,
    product_name TEXT NOT NULL,
    product_weight REAL NOT NULL,
    response_time_ms INTEGER NOT NULL,
    image_url TEXT NULL
);
CREATE TABLE recognition_values (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    product_code TEXT NOT NULL,
    product_category TEXT NOT NULL,
    product_name TEXT NOT NULL,
    product_rate REAL NOT NULL,
    rid INTEGER NOT NULL,
    top INTEGER NOT NULL,
    CONSTRAINT recognition_values_recognition_queue_FK FOREIGN KEY (rid) REFERENCES recognition_queue(id) ON DELETE CASCADE,
    UNIQUE(rid,top)
);
CREATE TABLE predictions (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    sid TEXT NOT NULL,
    response_time_ms INTEGER NOT NULL,
    top1 TEXT NULL,
    top2 TEXT NULL,
    top3 TEXT NULL,
    top4 TEXT NULL,
    top5 TEXT NULL
);
)sql";

// The seed rows every installation starts with, in the order they are inserted.
// The two URLs and the storage login are deployment values: the ones here resolve
// nowhere and say so, until a deployment sets them through set_config or a
// config.json. The last three rows depend on the machine and are filled in by
// seededConfiguration().
const SeedRow kConfigSeed[] = {
    {"monitoring_service_type", "string", "VELMORA_MONITORING"},
    {"monitoring_service_address", "string", "https://monitoring.set-me.invalid"},
    {"monitoring_service_port", "string", "443"},
    {"monitoring_getting_tasks", "bool", "true"},
    {"monitoring_request_frequency", "int", "20000"},
    {"velmora_monitoring_client_secret", "encrypted_string", ""},
    {"velmora_monitoring_device_id", "string", ""},
    {"file_storage_service_address", "string", "https://storage.set-me.invalid"},
    {"file_storage_service_bucket", "string", "develop"},
    {"file_storage_service_login", "encrypted_string", "set-me-login"},
    {"file_storage_service_password", "encrypted_string", ""},
    {"logging_level", "string", "info"},
    {"device_port", "string", "80"},
};

const char* const kDbAddStatistic = R"sql(
CREATE TABLE prediction_daily (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    date INTEGER NOT NULL,
    product_id TEXT NOT NULL,
    weightings_count INTEGER NOT NULL,
    top_1_count INTEGER NOT NULL,
    top_2_count INTEGER NOT NULL,
    top_3_count INTEGER NOT NULL,
    top_4_count INTEGER NOT NULL,
    top_5_count INTEGER NOT NULL,
    processed_with_prediction_count INTEGER NOT NULL,
    processed_without_prediction_count INTEGER NOT NULL,
    processed_unknown_prediction_count INTEGER NOT NULL
);
CREATE TABLE prediction_monthly (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    date INTEGER NOT NULL,
    product_id TEXT NOT NULL,
    weightings_count INTEGER NOT NULL,
    top_1_count INTEGER NOT NULL,
    top_2_count INTEGER NOT NULL,
    top_3_count INTEGER NOT NULL,
    top_4_count INTEGER NOT NULL,
    top_5_count INTEGER NOT NULL,
    processed_with_prediction_count INTEGER NOT NULL,
    processed_without_prediction_count INTEGER NOT NULL,
    processed_unknown_prediction_count INTEGER NOT NULL
);
CREATE TABLE prediction_yearly (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    date INTEGER NOT NULL,
    product_id TEXT NOT NULL,
    weightings_count INTEGER NOT NULL,
    top_1_count INTEGER NOT NULL,
    top_2_count INTEGER NOT NULL,
    top_3_count INTEGER NOT NULL,
    top_4_count INTEGER NOT NULL,
    top_5_count INTEGER NOT NULL,
    processed_with_prediction_count INTEGER NOT NULL,
    processed_without_prediction_count INTEGER NOT NULL,
    processed_unknown_prediction_count INTEGER NOT NULL
);
)sql";

const char* const kDbAddAlert = R"sql(
CREATE TABLE alert_queue (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    code INTEGER NOT NULL,
    description TEXT NOT NULL
);
)sql";

// What delivering the queues needs on top of the first schema: the product code as
// it was chosen (the integer column cannot hold every code as text), each entry's
// attempts, next try and the cloud's refusal, when its picture upload started
// failing, the scores of a prediction's candidates, and indexes for the queue order
// and the prediction lookups, which otherwise read whole tables.
const char* const kDbAddDelivery = R"sql(
ALTER TABLE recognition_queue ADD COLUMN product_code_text TEXT NULL;
ALTER TABLE recognition_queue ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0;
ALTER TABLE recognition_queue ADD COLUMN next_try_ms INTEGER NOT NULL DEFAULT 0;
ALTER TABLE recognition_queue ADD COLUMN refusal TEXT NULL;
ALTER TABLE recognition_queue ADD COLUMN refused_ms INTEGER NULL;
ALTER TABLE recognition_queue ADD COLUMN picture_failing_ms INTEGER NULL;
ALTER TABLE alert_queue ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0;
ALTER TABLE alert_queue ADD COLUMN next_try_ms INTEGER NOT NULL DEFAULT 0;
ALTER TABLE alert_queue ADD COLUMN refusal TEXT NULL;
ALTER TABLE alert_queue ADD COLUMN refused_ms INTEGER NULL;
ALTER TABLE predictions ADD COLUMN rate1 REAL NULL;
ALTER TABLE predictions ADD COLUMN rate2 REAL NULL;
ALTER TABLE predictions ADD COLUMN rate3 REAL NULL;
ALTER TABLE predictions ADD COLUMN rate4 REAL NULL;
ALTER TABLE predictions ADD COLUMN rate5 REAL NULL;
CREATE INDEX recognition_queue_order ON recognition_queue(created_at, id);
CREATE INDEX alert_queue_order ON alert_queue(created_at, id);
CREATE INDEX predictions_sid ON predictions(sid);
CREATE INDEX predictions_created_at ON predictions(created_at);
)sql";

// Text spliced into an SQL string literal: a single quote is written twice.
std::string quoteDoubled(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    return out;
}

std::string configInitials(const std::string& imagesPath) {
    std::string sql;
    for (const SeedRow& row : seededConfiguration(imagesPath)) {
        // An "int" value goes in as an SQL integer literal (the column keeps its text).
        std::string value = row.type == "int" ? row.value : "'" + quoteDoubled(row.value) + "'";
        sql +=
            "INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES "
            "(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, '" +
            row.key + "', '" + row.type + "', " + value + ");\n";
    }
    return sql;
}

}  // namespace

std::string defaultDeviceAddress() {
    return Utils::BuildConstants::orvix_agent_os_type == "Windows" ? "172.22.0.6" : "172.22.0.7";
}

std::vector<SeedRow> seededConfiguration(const std::string& imagesPath) {
    std::vector<SeedRow> rows(std::begin(kConfigSeed), std::end(kConfigSeed));
    rows.push_back({"product_prediction_data_folder_path", "string", imagesPath});
    rows.push_back({"device_ip", "string", defaultDeviceAddress()});
    rows.push_back({"recognition_image_sending_enable", "bool", "true"});
    return rows;
}

std::vector<std::pair<std::string, std::string>> agentMigrations(const std::string& imagesPath) {
    return {
        {"db_initials", kDbInitials},          {"config_initials", configInitials(imagesPath)},
        {"db_add_statistic", kDbAddStatistic}, {"db_add_alert", kDbAddAlert},
        {"db_add_delivery", kDbAddDelivery},
    };
}

}  // namespace velmora::Engine::DB
