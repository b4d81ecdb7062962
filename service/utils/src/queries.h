#pragma once

// Every SQL statement of the agent outside the migrations. Each query takes the
// database session first, runs at once and throws the database library's
// exception on any error. None of them locks: the caller holds the configuration
// lock (and, where it needs one, its own transaction) for the whole call.

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <Poco/Dynamic/Var.h>

namespace Poco::Data {
class Session;
}  // namespace Poco::Data

namespace velmora::Utils::Queries {

using Session = Poco::Data::Session;

// ---- configuration ----

// Inserts the row, or on an existing key changes only its value and updated_at:
// the row keeps the type it was first stored with.
void upsertConfig(Session& session, const std::string& key, const std::string& type,
                  const std::string& value);

// The whole table as typed values (see makeTypedValue).
std::unordered_map<std::string, Poco::Dynamic::Var> getAllConfigs(Session& session);

// ---- predictions ----

// Response time in milliseconds and the candidate product codes in rank order.
using PredictionRecord = std::pair<int, std::vector<std::string>>;

// Stores the first five codes; missing places are stored as empty text.
void addPrediction(Session& session, const std::string& sid, int response_time_ms,
                   const std::vector<std::string>& tops);
// Time 0 and no codes when nothing is stored for the sid; empty places are skipped.
PredictionRecord getPrediction(Session& session, const std::string& sid);
void deletePrediction(Session& session, const std::string& sid);
// Retention: drops predictions older than ten minutes.
void deletePrediction(Session& session);

// ---- recognition queue ----

struct RecognitionQueueEntry {
    int id = 0;
    std::string created_at;
    std::string updated_at;
    std::string sid;
    std::string method_of_selection;
    std::string position_relevance;
    int product_code = 0;
    std::string product_category;
    std::string product_name;
    double product_weight = 0;
    int response_time_ms = 0;
    std::string image_url;  // "" while no picture was uploaded
};

struct RecognitionValueEntry {
    int id = 0;
    std::string created_at;
    std::string updated_at;
    int product_code = 0;
    std::string product_category;
    std::string product_name;
    double product_rate = 0;
    int rid = 0;  // the recognition_queue id it belongs to
    int top = 0;  // its place in the candidate list
};

// Returns the new id (ids are never reused), -1 if none came back.
int addRecognitionQueue(Session& session, const std::string& sid, const std::string& method_of_selection,
                        const std::string& position_relevance, const std::string& product_code,
                        const std::string& product_category, const std::string& product_name,
                        double product_weight, int response_time_ms);
// A second candidate with the same rid and top violates a constraint and throws.
void addRecognitionValue(Session& session, const std::string& product_code,
                         const std::string& product_category, const std::string& product_name,
                         double product_rate, int rid, int top);
// The oldest entry (first in, first out, also within one second), or none.
std::optional<RecognitionQueueEntry> getNextRecognitionQueue(Session& session);
// The candidates of one entry by ascending place.
std::vector<RecognitionValueEntry> getRecognitionValues(Session& session, int rid);
void updateImageUrl(Session& session, const std::string& url, int id);
// Removes the entry together with its candidates.
void deleteFromRecognitionQueue(Session& session, int id);
// Keeps the newest `cap` entries: the oldest beyond them go, with their candidates.
// Returns how many went.
int trimRecognitionQueue(Session& session, int cap);

// ---- queue backlog (both queues) ----

// What waits in one queue: its entries and the age in whole seconds of the oldest
// by created_at (none when the queue is empty).
struct QueueBacklog {
    int count = 0;
    std::optional<long long> oldest_age_seconds;
};

QueueBacklog getRecognitionQueueBacklog(Session& session);
QueueBacklog getAlertQueueBacklog(Session& session);

// ---- alert queue ----

struct AlertQueueEntry {
    int id = 0;
    std::string created_at;
    std::string updated_at;
    int code = 0;
    std::string description;
};

// Returns the new id, -1 if none came back.
int addAlertQueue(Session& session, int code, const std::string& description);
// The oldest alert (first in, first out, also within one second), or none.
std::optional<AlertQueueEntry> getNextAlertQueue(Session& session);
void deleteFromAlertQueue(Session& session, int id);
// Keeps the newest `cap` alerts; returns how many older ones went.
int trimAlertQueue(Session& session, int cap);

// ---- recognition statistics ----

// Row ids of one product's statistics for the current UTC day, month and year;
// 0 where the product has no row for that period yet.
struct StatisticIds {
    int daily = 0;
    int monthly = 0;
    int yearly = 0;
};

struct StatisticData {
    std::string key;  // dd-mm-yy for one product's rows, the product code for sums
    int top_1_count = 0;
    int top_2_count = 0;
    int top_3_count = 0;
    int top_4_count = 0;
    int top_5_count = 0;
    int weightings_count = 0;
    int processed_without_prediction_count = 0;
    int processed_with_prediction_count = 0;
    int processed_unknown_prediction_count = 0;
};

StatisticIds getStatiscticIds(Session& session, const std::string& product_id);

// period: "daily", "monthly" or "yearly" (anything else throws).
// place: "top1" ... "top5" counts that place; any other word counts no place.
// category: "with_prediction", "without_prediction", anything else counts as unknown.
void addStatistic(Session& session, const std::string& product_id, const std::string& period,
                  const std::string& place, const std::string& category);
void updateStatistic(Session& session, int id, const std::string& period, const std::string& place,
                     const std::string& category);

// range: "DAYS", "MONTHS" or "YEARS" (anything else throws); from and to are dd-mm-yy
// (months and years ignore the parts they do not need). limit -1 means no limit.
// One product: one entry per period row, in order of creation.
std::vector<StatisticData> getStatistic(Session& session, const std::string& product_id,
                                        const std::string& range, const std::string& from,
                                        const std::string& to, int limit, int offset);
// All products: counters summed over the range, one entry per product by product code as text.
std::vector<StatisticData> getStatistic(Session& session, const std::string& range, const std::string& from,
                                        const std::string& to, int limit, int offset);

// Retention, by the moment a row was first inserted: twelve months of daily and
// monthly rows, sixty months of yearly rows.
void clearStatisticDays(Session& session);
void clearStatisticMonths(Session& session);
void clearStatisticYears(Session& session);

}  // namespace velmora::Utils::Queries
