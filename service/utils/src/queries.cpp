#include "queries.h"

#include <Poco/Data/DataException.h>
#include <Poco/Data/Session.h>
#include <Poco/Data/Statement.h>

#include "config_store.h"

namespace velmora::Utils::Queries {

using namespace Poco::Data::Keywords;
using Poco::Data::Statement;

namespace {

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
    std::vector<std::string> places(5);
    for (std::size_t i = 0; i < places.size() && i < tops.size(); ++i) {
        places[i] = tops[i];
    }
    session
        << "INSERT INTO predictions (created_at, updated_at, sid, response_time_ms, top1, top2, top3, top4, "
           "top5) VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP,?,?, ?, ?, ?, ?, ? )",
        useRef(sid), bind(response_time_ms), use(places[0]), use(places[1]), use(places[2]), use(places[3]),
        use(places[4]), now;
}

PredictionRecord getPrediction(Session& session, const std::string& sid) {
    int time = 0;
    std::vector<std::string> places(5);
    Statement select(session);
    select << "SELECT response_time_ms,top1,top2,top3,top4,top5 FROM predictions WHERE sid = ?", into(time),
        into(places[0]), into(places[1]), into(places[2]), into(places[3]), into(places[4]), useRef(sid),
        limit(1);
    PredictionRecord record{0, {}};
    if (select.execute() == 0) {
        return record;
    }
    record.first = time;
    for (const auto& code : places) {
        if (!code.empty()) {
            record.second.push_back(code);
        }
    }
    return record;
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
    insert << "INSERT INTO recognition_queue (created_at, updated_at, sid, method_of_selection, "
              "position_relevance, "
              "product_code, product_category, product_name, product_weight, response_time_ms) "
              "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
        useRef(sid), useRef(method_of_selection), useRef(position_relevance), useRef(product_code),
        useRef(product_category), useRef(product_name), bind(product_weight), bind(response_time_ms),
        into(id);
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
    RecognitionQueueEntry e;
    Statement select(session);
    // The id breaks ties between entries of the same second, so the queue stays
    // first in, first out. The stored image URL comes along so that a recognition
    // whose picture is already uploaded is not uploaded again after a failed post.
    select
        << "SELECT id, created_at, updated_at, sid, method_of_selection, position_relevance, product_code, "
           "product_category, product_name, product_weight, response_time_ms, image_url "
           "FROM recognition_queue ORDER BY created_at, id LIMIT 1",
        into(e.id), into(e.created_at), into(e.updated_at), into(e.sid), into(e.method_of_selection),
        into(e.position_relevance), into(e.product_code), into(e.product_category), into(e.product_name),
        into(e.product_weight), into(e.response_time_ms), into(e.image_url);
    if (select.execute() == 0) {
        return std::nullopt;
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
        into(e.id), into(e.created_at), into(e.updated_at), into(e.product_code), into(e.product_category),
        into(e.product_name), into(e.product_rate), into(e.rid), into(e.top), bind(rid), range(0, 1);
    forEachRow(select, [&] { values.push_back(e); });
    return values;
}

void updateImageUrl(Session& session, const std::string& url, int id) {
    session << "UPDATE recognition_queue SET image_url = ?, updated_at = CURRENT_TIMESTAMP WHERE id = ?",
        useRef(url), bind(id), now;
}

void deleteFromRecognitionQueue(Session& session, int id) {
    // The pragma turns on the cascade that removes the entry's candidates. It has
    // no effect inside a transaction, which is why the connection also enables it
    // when it is opened.
    session << "PRAGMA foreign_keys = ON; DELETE FROM recognition_queue WHERE id = ?", bind(id), now;
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
    AlertQueueEntry e;
    Statement select(session);
    select << "SELECT id, created_at, updated_at, code, description FROM alert_queue ORDER BY created_at, id "
              "LIMIT 1",
        into(e.id), into(e.created_at), into(e.updated_at), into(e.code), into(e.description);
    if (select.execute() == 0) {
        return std::nullopt;
    }
    return e;
}

void deleteFromAlertQueue(Session& session, int id) {
    session << "DELETE FROM alert_queue WHERE id = ?", bind(id), now;
}

}  // namespace velmora::Utils::Queries
