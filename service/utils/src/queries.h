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

// A stored prediction with the score the module gave each candidate: `rates[i]`
// belongs to `codes[i]` (0 where no score was stored).
struct PredictionDetail {
    int response_time_ms = 0;
    std::vector<std::string> codes;
    std::vector<double> rates;
};

// Stores the first five codes; missing places are stored as empty text.
void addPrediction(Session& session, const std::string& sid, int response_time_ms,
                   const std::vector<std::string>& tops);
// The same with the candidates' scores, in the order of `tops`; a missing score is
// stored as none.
void addPrediction(Session& session, const std::string& sid, int response_time_ms,
                   const std::vector<std::string>& tops, const std::vector<double>& rates);
// Time 0 and no codes when nothing is stored for the sid; empty places are skipped.
PredictionRecord getPrediction(Session& session, const std::string& sid);
// getPrediction with the scores; the places skipped are the same.
PredictionDetail getPredictionDetail(Session& session, const std::string& sid);
void deletePrediction(Session& session, const std::string& sid);
// Retention: drops predictions older than ten minutes.
void deletePrediction(Session& session);

// ---- recognition queue ----

// A product code as the cloud's integer member carries it: every code of up to 18
// digits (EAN-13, EAN-14, UPC) and any other that fits in 64 bits. None for a code
// that is not a decimal integer ("ABC-7") or does not fit.
std::optional<long long> productCodeNumber(const std::string& text);

struct RecognitionQueueEntry {
    int id = 0;
    std::string created_at;
    std::string updated_at;
    std::string sid;
    std::string method_of_selection;
    std::string position_relevance;
    long long product_code = 0;  // productCodeNumber of the text, 0 where it has none
    std::string product_category;
    std::string product_name;
    double product_weight = 0;
    int response_time_ms = 0;
    std::string image_url;          // "" while no picture was uploaded
    std::string product_code_text;  // the code as it was chosen
    int attempts = 0;               // sends the cloud or the storage did not take
    // Since when (milliseconds since the epoch) the picture upload has failed, if it has.
    std::optional<long long> picture_failing_ms;
};

struct RecognitionValueEntry {
    int id = 0;
    std::string created_at;
    std::string updated_at;
    long long product_code = 0;  // productCodeNumber of the text, 0 where it has none
    std::string product_category;
    std::string product_name;
    double product_rate = 0;
    int rid = 0;  // the recognition_queue id it belongs to
    int top = 0;  // its place in the candidate list
    std::string product_code_text;
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
// The oldest entry that is due at `now_ms` (milliseconds since the epoch): one whose
// next try has come. Entries that wait on a refusal or a failed upload are passed
// over until then.
std::optional<RecognitionQueueEntry> getNextRecognitionQueue(Session& session, long long now_ms);
// The candidates of one entry by ascending place.
std::vector<RecognitionValueEntry> getRecognitionValues(Session& session, int rid);
void updateImageUrl(Session& session, const std::string& url, int id);
// One more attempt that did not deliver the entry; it is next tried at next_try_ms.
// `refusal` (when not empty) is the cloud's reason for refusing it, kept with the
// time of its first refusal; `picture_failed` keeps when its upload first failed.
void deferRecognitionQueue(Session& session, int id, long long next_try_ms, const std::string& refusal,
                           bool picture_failed, long long now_ms);
// Removes the entry together with its candidates.
void deleteFromRecognitionQueue(Session& session, int id);
// Keeps the newest `cap` entries: the oldest beyond them go, with their candidates.
// Returns how many went.
int trimRecognitionQueue(Session& session, int cap);
// Whether the entry still waits in the queue: one that left it was accepted by the
// cloud or dropped past the cap.
bool isInRecognitionQueue(Session& session, int id);

// ---- queue backlog (both queues) ----

// What waits in one queue: its entries and the age in whole seconds of the oldest
// by created_at (none when the queue is empty).
struct QueueBacklog {
    int count = 0;
    std::optional<long long> oldest_age_seconds;
    int refused = 0;             // entries the cloud refused, waiting for their next try
    std::string oldest_refusal;  // the reason of the one refused first, "" for none
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
    int attempts = 0;  // sends the cloud did not take
};

// Returns the new id, -1 if none came back.
int addAlertQueue(Session& session, int code, const std::string& description);
// The oldest alert (first in, first out, also within one second), or none.
std::optional<AlertQueueEntry> getNextAlertQueue(Session& session);
// The oldest alert due at `now_ms`, as getNextRecognitionQueue.
std::optional<AlertQueueEntry> getNextAlertQueue(Session& session, long long now_ms);
// As deferRecognitionQueue, for an alert.
void deferAlertQueue(Session& session, int id, long long next_try_ms, const std::string& refusal,
                     long long now_ms);
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
