#include "queries.h"

#include <charconv>
#include <limits>

#include <Poco/Data/DataException.h>
#include <Poco/Data/Session.h>
#include <Poco/Data/Statement.h>
#include <Poco/Nullable.h>

#include "config_store.h"

namespace velmora::Utils::Queries {

using namespace Poco::Data::Keywords;
using Poco::Data::Statement;

namespace {

// Drops the oldest rows of a queue table beyond `cap`, oldest by id (ids grow with
// every insert and are never reused). The id span is read from the primary key at
// once; only when it exceeds the cap are the rows counted.
int trimQueue(Session& session, const std::string& table, int cap) {
    Poco::Int64 span = 0;
    session << "SELECT COALESCE(MAX(id) - MIN(id) + 1, 0) FROM " + table, into(span), now;
    if (span <= cap) {
        return 0;
    }
    Poco::Int64 rows = 0;
    session << "SELECT COUNT(*) FROM " + table, into(rows), now;
    int excess = static_cast<int>(rows - cap);
    if (excess <= 0) {
        return 0;
    }
    session << "DELETE FROM " + table + " WHERE id IN (SELECT id FROM " + table + " ORDER BY id LIMIT ?)",
        bind(excess), now;
    return excess;
}

// Runs a prepared statement one row at a time, calling `row` after each row that
// was read into the statement's output variables.
template <typename OnRow>
void forEachRow(Statement& statement, OnRow row) {
    while (!statement.done()) {
        if (statement.execute() > 0) {
            row();
        }
    }
}

}  // namespace

std::optional<long long> productCodeNumber(const std::string& text) {
    long long value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (text.empty() || error != std::errc() || end != last) {
        return std::nullopt;
    }
    return value;
}

// ---- configuration ----

void upsertConfig(Session& session, const std::string& key, const std::string& type,
                  const std::string& value) {
    session << R"sql(
            INSERT INTO configurations (created_at, updated_at, key, type, value)
            VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?, ?)
            ON CONFLICT(key) DO UPDATE SET
                updated_at = CURRENT_TIMESTAMP,
                value = excluded.value)sql",
        useRef(key), useRef(type), useRef(value), now;
}

std::unordered_map<std::string, Poco::Dynamic::Var> getAllConfigs(Session& session) {
    std::unordered_map<std::string, Poco::Dynamic::Var> config;
    std::string key;
    std::string type;
    std::string value;
    Statement select(session);
    select << R"sql(
            SELECT key, type, value
            FROM configurations
            ORDER BY key)sql",
        into(key), into(type), into(value), range(0, 1);
    forEachRow(select, [&] {
        if (!key.empty() && !type.empty()) {
            config[key] = makeTypedValue(value, type);
        }
    });
    return config;
}

// ---- predictions ----

void addPrediction(Session& session, const std::string& sid, int response_time_ms,
                   const std::vector<std::string>& tops) {
    addPrediction(session, sid, response_time_ms, tops, {});
}

void addPrediction(Session& session, const std::string& sid, int response_time_ms,
                   const std::vector<std::string>& tops, const std::vector<double>& rates) {
    std::vector<std::string> places(5);
    std::vector<Poco::Nullable<double>> scores(5);
    for (std::size_t i = 0; i < places.size() && i < tops.size(); ++i) {
        places[i] = tops[i];
        if (i < rates.size()) {
            scores[i] = rates[i];
        }
    }
    session
        << "INSERT INTO predictions (created_at, updated_at, sid, response_time_ms, top1, top2, top3, top4, "
           "top5, rate1, rate2, rate3, rate4, rate5) VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP,?,?, ?, ?, "
           "?, "
           "?, ?, ?, ?, ?, ?, ?)",
        useRef(sid), bind(response_time_ms), use(places[0]), use(places[1]), use(places[2]), use(places[3]),
        use(places[4]), use(scores[0]), use(scores[1]), use(scores[2]), use(scores[3]), use(scores[4]), now;
}

PredictionDetail getPredictionDetail(Session& session, const std::string& sid) {
    int time = 0;
    std::vector<std::string> places(5);
    std::vector<Poco::Nullable<double>> scores(5);
    Statement select(session);
    select
        << "SELECT response_time_ms,top1,top2,top3,top4,top5,rate1,rate2,rate3,rate4,rate5 FROM predictions "
           "WHERE sid = ?",
        into(time), into(places[0]), into(places[1]), into(places[2]), into(places[3]), into(places[4]),
        into(scores[0]), into(scores[1]), into(scores[2]), into(scores[3]), into(scores[4]), useRef(sid),
        limit(1);
    PredictionDetail detail;
    if (select.execute() == 0) {
        return detail;
    }
    detail.response_time_ms = time;
    for (std::size_t i = 0; i < places.size(); ++i) {
        if (!places[i].empty()) {
            detail.codes.push_back(places[i]);
            detail.rates.push_back(scores[i].isNull() ? 0.0 : scores[i].value());
        }
    }
    return detail;
}

PredictionRecord getPrediction(Session& session, const std::string& sid) {
    PredictionDetail detail = getPredictionDetail(session, sid);
    return {detail.response_time_ms, std::move(detail.codes)};
}

void deletePrediction(Session& session, const std::string& sid) {
    session << "DELETE FROM predictions WHERE sid =?", useRef(sid), now;
}

void deletePrediction(Session& session) {
    session << "DELETE FROM predictions WHERE created_at < datetime('now', '-10 minutes')", now;
}

// ---- recognition queue ----

int addRecognitionQueue(Session& session, const std::string& sid, const std::string& method_of_selection,
                        const std::string& position_relevance, const std::string& product_code,
                        const std::string& product_category, const std::string& product_name,
                        double product_weight, int response_time_ms) {
    int id = -1;
    Statement insert(session);
    // The integer column turns a code that fits into a number and one beyond 64 bits
    // into a rounded real; the text column keeps the code as it was chosen.
    insert << "INSERT INTO recognition_queue (created_at, updated_at, sid, method_of_selection, "
              "position_relevance, "
              "product_code, product_category, product_name, product_weight, response_time_ms, "
              "product_code_text) "
              "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
        useRef(sid), useRef(method_of_selection), useRef(position_relevance), useRef(product_code),
        useRef(product_category), useRef(product_name), bind(product_weight), bind(response_time_ms),
        useRef(product_code), into(id);
    return insert.execute() > 0 ? id : -1;
}

void addRecognitionValue(Session& session, const std::string& product_code,
                         const std::string& product_category, const std::string& product_name,
                         double product_rate, int rid, int top) {
    session
        << "INSERT INTO recognition_values (product_code, product_category, product_name, product_rate, rid, "
           "top, created_at, updated_at) VALUES(?, ?, ?, ?, ?, ?, CURRENT_TIMESTAMP, CURRENT_TIMESTAMP)",
        useRef(product_code), useRef(product_category), useRef(product_name), bind(product_rate), bind(rid),
        bind(top), now;
}

std::optional<RecognitionQueueEntry> getNextRecognitionQueue(Session& session) {
    return getNextRecognitionQueue(session, std::numeric_limits<long long>::max());
}

std::optional<RecognitionQueueEntry> getNextRecognitionQueue(Session& session, long long now_ms) {
    RecognitionQueueEntry e;
    Poco::Nullable<Poco::Int64> pictureFailing;
    Statement select(session);
    // The id breaks ties between entries of the same second, so the queue stays
    // first in, first out. The stored image URL comes along so that a recognition
    // whose picture is already uploaded is not uploaded again after a failed post.
    // Rows stored before the code's text was kept give the integer column's text.
    select << "SELECT id, created_at, updated_at, sid, method_of_selection, position_relevance, "
              "COALESCE(product_code_text, CAST(product_code AS TEXT)), product_category, product_name, "
              "product_weight, response_time_ms, COALESCE(image_url, ''), attempts, picture_failing_ms "
              "FROM recognition_queue WHERE next_try_ms <= ? ORDER BY created_at, id LIMIT 1",
        into(e.id), into(e.created_at), into(e.updated_at), into(e.sid), into(e.method_of_selection),
        into(e.position_relevance), into(e.product_code_text), into(e.product_category), into(e.product_name),
        into(e.product_weight), into(e.response_time_ms), into(e.image_url), into(e.attempts),
        into(pictureFailing), bind(static_cast<Poco::Int64>(now_ms));
    if (select.execute() == 0) {
        return std::nullopt;
    }
    e.product_code = productCodeNumber(e.product_code_text).value_or(0);
    if (!pictureFailing.isNull()) {
        e.picture_failing_ms = pictureFailing.value();
    }
    return e;
}

std::vector<RecognitionValueEntry> getRecognitionValues(Session& session, int rid) {
    std::vector<RecognitionValueEntry> values;
    RecognitionValueEntry e;
    Statement select(session);
    select << "SELECT id, created_at, updated_at, product_code, product_category, product_name, "
              "product_rate, rid, "
              "top FROM recognition_values WHERE rid = ? ORDER BY top",
        into(e.id), into(e.created_at), into(e.updated_at), into(e.product_code_text),
        into(e.product_category), into(e.product_name), into(e.product_rate), into(e.rid), into(e.top),
        bind(rid), range(0, 1);
    forEachRow(select, [&] {
        e.product_code = productCodeNumber(e.product_code_text).value_or(0);
        values.push_back(e);
    });
    return values;
}

void updateImageUrl(Session& session, const std::string& url, int id) {
    session << "UPDATE recognition_queue SET image_url = ?, updated_at = CURRENT_TIMESTAMP WHERE id = ?",
        useRef(url), bind(id), now;
}

void deferRecognitionQueue(Session& session, int id, long long next_try_ms, const std::string& refusal,
                           bool picture_failed, long long now_ms) {
    Poco::Nullable<std::string> reason;
    if (!refusal.empty()) {
        reason = refusal;
    }
    Poco::Nullable<Poco::Int64> failing;
    if (picture_failed) {
        failing = now_ms;
    }
    session << "UPDATE recognition_queue SET attempts = attempts + 1, next_try_ms = ?, "
               "refusal = COALESCE(?, refusal), "
               "refused_ms = CASE WHEN ? IS NULL THEN refused_ms ELSE COALESCE(refused_ms, ?) END, "
               "picture_failing_ms = COALESCE(picture_failing_ms, ?), updated_at = CURRENT_TIMESTAMP "
               "WHERE id = ?",
        bind(static_cast<Poco::Int64>(next_try_ms)), use(reason), use(reason),
        bind(static_cast<Poco::Int64>(now_ms)), use(failing), bind(id), now;
}

void deleteFromRecognitionQueue(Session& session, int id) {
    // The pragma turns on the cascade that removes the entry's candidates. It has
    // no effect inside a transaction, which is why the connection also enables it
    // when it is opened.
    session << "PRAGMA foreign_keys = ON; DELETE FROM recognition_queue WHERE id = ?", bind(id), now;
}

int trimRecognitionQueue(Session& session, int cap) {
    return trimQueue(session, "recognition_queue", cap);
}

bool isInRecognitionQueue(Session& session, int id) {
    Poco::Int64 found = 0;
    session << "SELECT COUNT(*) FROM recognition_queue WHERE id = ?", bind(id), into(found), now;
    return found > 0;
}

// ---- queue backlog (both queues) ----

namespace {

// created_at is SQLite's CURRENT_TIMESTAMP text (UTC), so the age is taken against
// the database's own clock; an empty queue gives -1 for the age.
QueueBacklog queueBacklog(Session& session, const std::string& table) {
    Poco::Int64 count = 0;
    Poco::Int64 age = -1;
    session << "SELECT COUNT(*), COALESCE(CAST(strftime('%s', 'now') - strftime('%s', MIN(created_at)) AS "
               "INTEGER), -1) FROM " +
                   table,
        into(count), into(age), now;
    QueueBacklog backlog;
    backlog.count = static_cast<int>(count);
    if (count > 0 && age >= 0) {
        backlog.oldest_age_seconds = age;
    }
    if (count > 0) {
        Poco::Int64 refused = 0;
        session << "SELECT COUNT(*) FROM " + table + " WHERE refusal IS NOT NULL", into(refused), now;
        backlog.refused = static_cast<int>(refused);
        if (refused > 0) {
            session << "SELECT refusal FROM " + table +
                           " WHERE refusal IS NOT NULL ORDER BY refused_ms, id LIMIT 1",
                into(backlog.oldest_refusal), now;
        }
    }
    return backlog;
}

}  // namespace

QueueBacklog getRecognitionQueueBacklog(Session& session) {
    return queueBacklog(session, "recognition_queue");
}

QueueBacklog getAlertQueueBacklog(Session& session) {
    return queueBacklog(session, "alert_queue");
}

// ---- alert queue ----

int addAlertQueue(Session& session, int code, const std::string& description) {
    int id = -1;
    Statement insert(session);
    insert << "INSERT INTO alert_queue (created_at, updated_at, code, description) "
              "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?) RETURNING id",
        bind(code), useRef(description), into(id);
    return insert.execute() > 0 ? id : -1;
}

std::optional<AlertQueueEntry> getNextAlertQueue(Session& session) {
    return getNextAlertQueue(session, std::numeric_limits<long long>::max());
}

std::optional<AlertQueueEntry> getNextAlertQueue(Session& session, long long now_ms) {
    AlertQueueEntry e;
    Statement select(session);
    select << "SELECT id, created_at, updated_at, code, description, attempts FROM alert_queue "
              "WHERE next_try_ms <= ? ORDER BY created_at, id LIMIT 1",
        into(e.id), into(e.created_at), into(e.updated_at), into(e.code), into(e.description),
        into(e.attempts), bind(static_cast<Poco::Int64>(now_ms));
    if (select.execute() == 0) {
        return std::nullopt;
    }
    return e;
}

void deferAlertQueue(Session& session, int id, long long next_try_ms, const std::string& refusal,
                     long long now_ms) {
    Poco::Nullable<std::string> reason;
    if (!refusal.empty()) {
        reason = refusal;
    }
    session << "UPDATE alert_queue SET attempts = attempts + 1, next_try_ms = ?, "
               "refusal = COALESCE(?, refusal), "
               "refused_ms = CASE WHEN ? IS NULL THEN refused_ms ELSE COALESCE(refused_ms, ?) END, "
               "updated_at = CURRENT_TIMESTAMP WHERE id = ?",
        bind(static_cast<Poco::Int64>(next_try_ms)), use(reason), use(reason),
        bind(static_cast<Poco::Int64>(now_ms)), bind(id), now;
}

void deleteFromAlertQueue(Session& session, int id) {
    session << "DELETE FROM alert_queue WHERE id = ?", bind(id), now;
}

int trimAlertQueue(Session& session, int cap) {
    return trimQueue(session, "alert_queue", cap);
}

// ---- recognition statistics ----

namespace {

struct PeriodTable {
    std::string table;
    std::string datePattern;  // the period start, formatted by SQLite from the current UTC moment
};

PeriodTable periodTable(const std::string& period) {
    if (period == "daily") {
        return {"prediction_daily", "%Y-%m-%d"};
    }
    if (period == "monthly") {
        return {"prediction_monthly", "%Y-%m-01"};
    }
    if (period == "yearly") {
        return {"prediction_yearly", "%Y-01-01"};
    }
    throw Poco::Data::DataException("Unknown statistics period: " + period);
}

struct RangeTable {
    std::string table;
    std::string lowerFormat;  // format() patterns fed with yy, mm, dd of a dd-mm-yy bound
    std::string upperFormat;
};

RangeTable rangeTable(const std::string& range) {
    if (range == "DAYS") {
        return {"prediction_daily", "20%02s-%02s-%02s", "20%02s-%02s-%02s"};
    }
    if (range == "MONTHS") {
        return {"prediction_monthly", "20%02s-%02s-01", "20%02s-%02s-31"};
    }
    if (range == "YEARS") {
        return {"prediction_yearly", "20%02s-01-01", "20%02s-12-31"};
    }
    throw Poco::Data::DataException("Unknown statistics range: " + range);
}

// One recognition's increments: five place flags, then with, without, unknown.
struct Increments {
    int top[5] = {0, 0, 0, 0, 0};
    int with = 0;
    int without = 0;
    int unknown = 0;
};

Increments increments(const std::string& place, const std::string& category) {
    Increments inc;
    static const char* const places[5] = {"top1", "top2", "top3", "top4", "top5"};
    for (int i = 0; i < 5; ++i) {
        if (place == places[i]) {
            inc.top[i] = 1;
        }
    }
    if (category == "with_prediction") {
        inc.with = 1;
    } else if (category == "without_prediction") {
        inc.without = 1;
    } else {
        inc.unknown = 1;
    }
    return inc;
}

}  // namespace

StatisticIds getStatiscticIds(Session& session, const std::string& product_id) {
    StatisticIds ids;
    session << R"sql(
            SELECT COALESCE(pd.id, 0) as daily_id, COALESCE(pm.id, 0) as monthly_id, COALESCE(py.id, 0) as yearly_id
            FROM (SELECT 1) as dummy
            LEFT JOIN prediction_daily pd ON pd.product_id = ?
                AND strftime('%d-%m-%Y', pd.date) = strftime('%d-%m-%Y', datetime('now'))
            LEFT JOIN prediction_monthly pm ON pm.product_id = ?
                AND strftime('%m-%Y', pm.date) = strftime('%m-%Y', datetime('now'))
            LEFT JOIN prediction_yearly py ON py.product_id = ?
                AND strftime('%Y', py.date) = strftime('%Y', datetime('now'))
            LIMIT 1)sql",
        useRef(product_id), useRef(product_id), useRef(product_id), into(ids.daily), into(ids.monthly),
        into(ids.yearly), now;
    return ids;
}

void addStatistic(Session& session, const std::string& product_id, const std::string& period,
                  const std::string& place, const std::string& category) {
    PeriodTable target = periodTable(period);
    Increments inc = increments(place, category);
    session << "INSERT INTO " + target.table +
                   " (created_at, updated_at, date, product_id, weightings_count, top_1_count, top_2_count, "
                   "top_3_count, top_4_count, top_5_count, processed_with_prediction_count, "
                   "processed_without_prediction_count, processed_unknown_prediction_count) "
                   "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, strftime(?), ?, 1, ?, ?, ?, ?, ?, ?, ?,?);",
        use(target.datePattern), useRef(product_id), use(inc.top[0]), use(inc.top[1]), use(inc.top[2]),
        use(inc.top[3]), use(inc.top[4]), use(inc.with), use(inc.without), use(inc.unknown), now;
}

void updateStatistic(Session& session, int id, const std::string& period, const std::string& place,
                     const std::string& category) {
    PeriodTable target = periodTable(period);
    Increments inc = increments(place, category);
    session << "UPDATE " + target.table +
                   " SET weightings_count = weightings_count+1, top_1_count=top_1_count+?, "
                   "top_2_count=top_2_count+?, top_3_count=top_3_count+?, top_4_count=top_4_count+?, "
                   "top_5_count=top_5_count+?, "
                   "processed_with_prediction_count=processed_with_prediction_count+?, "
                   "processed_without_prediction_count = processed_without_prediction_count+?, "
                   "processed_unknown_prediction_count = processed_unknown_prediction_count+? WHERE id= ?",
        use(inc.top[0]), use(inc.top[1]), use(inc.top[2]), use(inc.top[3]), use(inc.top[4]), use(inc.with),
        use(inc.without), use(inc.unknown), bind(id), now;
}

std::vector<StatisticData> getStatistic(Session& session, const std::string& product_id,
                                        const std::string& rangeWord, const std::string& from,
                                        const std::string& to, int limit, int offset) {
    RangeTable source = rangeTable(rangeWord);
    std::vector<StatisticData> rows;
    StatisticData d;
    Statement select(session);
    select << "SELECT strftime('%d-%m-', date) || substr(strftime('%Y', date),3, 2), weightings_count, "
              "top_1_count, top_2_count, top_3_count, top_4_count, top_5_count, "
              "processed_with_prediction_count, processed_without_prediction_count, "
              "processed_unknown_prediction_count FROM " +
                  source.table +
                  " WHERE product_id = ? "
                  "AND date >= format(?, substr(?, 7, 2), substr(?, 4, 2), substr(?, 1, 2)) "
                  "AND date <= format(?, substr(?, 7, 2), substr(?, 4, 2), substr(?, 1, 2)) "
                  "ORDER BY created_at LIMIT ? OFFSET ?;",
        into(d.key), into(d.weightings_count), into(d.top_1_count), into(d.top_2_count), into(d.top_3_count),
        into(d.top_4_count), into(d.top_5_count), into(d.processed_with_prediction_count),
        into(d.processed_without_prediction_count), into(d.processed_unknown_prediction_count),
        useRef(product_id), use(source.lowerFormat), useRef(from), useRef(from), useRef(from),
        use(source.upperFormat), useRef(to), useRef(to), useRef(to), bind(limit), bind(offset), range(0, 1);
    forEachRow(select, [&] { rows.push_back(d); });
    return rows;
}

std::vector<StatisticData> getStatistic(Session& session, const std::string& rangeWord,
                                        const std::string& from, const std::string& to, int limit,
                                        int offset) {
    RangeTable source = rangeTable(rangeWord);
    std::vector<StatisticData> rows;
    StatisticData d;
    Statement select(session);
    select
        << "SELECT product_id, SUM(weightings_count), SUM(top_1_count), SUM(top_2_count), SUM(top_3_count), "
           "SUM(top_4_count), SUM(top_5_count), SUM(processed_with_prediction_count), "
           "SUM(processed_without_prediction_count), SUM(processed_unknown_prediction_count) FROM " +
               source.table +
               " WHERE date >= format(?, substr(?, 7, 2), substr(?, 4, 2), substr(?, 1, 2)) "
               "AND date <= format(?, substr(?, 7, 2), substr(?, 4, 2), substr(?, 1, 2)) "
               "GROUP BY product_id ORDER BY product_id LIMIT ? OFFSET ?;",
        into(d.key), into(d.weightings_count), into(d.top_1_count), into(d.top_2_count), into(d.top_3_count),
        into(d.top_4_count), into(d.top_5_count), into(d.processed_with_prediction_count),
        into(d.processed_without_prediction_count), into(d.processed_unknown_prediction_count),
        use(source.lowerFormat), useRef(from), useRef(from), useRef(from), use(source.upperFormat),
        useRef(to), useRef(to), useRef(to), bind(limit), bind(offset), range(0, 1);
    forEachRow(select, [&] { rows.push_back(d); });
    return rows;
}

void clearStatisticDays(Session& session) {
    session << "DELETE FROM prediction_daily WHERE created_at < datetime('now', '-12 months')", now;
}

void clearStatisticMonths(Session& session) {
    session << "DELETE FROM prediction_monthly WHERE created_at < datetime('now', '-12 months')", now;
}

void clearStatisticYears(Session& session) {
    session << "DELETE FROM prediction_yearly WHERE created_at < datetime('now', '-60 months')", now;
}

}  // namespace velmora::Utils::Queries
