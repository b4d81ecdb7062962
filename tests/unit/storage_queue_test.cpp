// Predictions, the recognition queue with its candidates, the alert queue and the
// prediction retention.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include <Poco/Data/Session.h>
#include <Poco/Data/Transaction.h>
#include <Poco/Exception.h>

#include "queries.h"
#include "storage_fixture.h"

namespace {

using namespace velmora::Utils::Queries;
using namespace orvix::test;
using namespace Poco::Data::Keywords;

int addRecognition(Session& session, const std::string& sid, const std::string& code = "101") {
    return addRecognitionQueue(session, sid, "recognition", "top1", code, "fruit", "Apple", 0.512, 240);
}

void backdate(Session& session, const std::string& table, int id, const std::string& modifier) {
    std::string stamp = queryText(session, "SELECT datetime('now', '" + modifier + "')");
    session << "UPDATE " + table + " SET created_at = ? WHERE id = ?", use(stamp), bind(id), now;
}

TEST(StoragePredictions, StoresFivePlacesAndReadsBackTheNonEmptyOnes) {
    struct Case {
        std::string name;
        std::vector<std::string> tops;
        std::vector<std::string> stored;  // top1..top5 as written
        std::vector<std::string> read;
    };
    const Case cases[] = {
        {"three codes", {"11", "22", "33"}, {"11", "22", "33", "", ""}, {"11", "22", "33"}},
        {"gap closes up", {"11", "", "33"}, {"11", "", "33", "", ""}, {"11", "33"}},
        {"more than five",
         {"1", "2", "3", "4", "5", "6"},
         {"1", "2", "3", "4", "5"},
         {"1", "2", "3", "4", "5"}},
        {"none", {}, {"", "", "", "", ""}, {}},
    };
    for (const auto& c : cases) {
        MigratedDatabase database;
        auto& session = database.session();
        addPrediction(session, "sid-1", 321, c.tops);
        for (int place = 1; place <= 5; ++place) {
            std::string column = "top" + std::to_string(place);
            EXPECT_EQ(queryText(session, "SELECT " + column + " FROM predictions"), c.stored[place - 1])
                << c.name << " " << column;
            EXPECT_EQ(queryInt(session, "SELECT COUNT(*) FROM predictions WHERE " + column + " IS NULL"), 0);
        }
        auto record = getPrediction(session, "sid-1");
        EXPECT_EQ(record.first, 321) << c.name;
        EXPECT_EQ(record.second, c.read) << c.name;
    }
}

TEST(StoragePredictions, UnknownSidGivesZeroAndNothing) {
    MigratedDatabase database;
    addPrediction(database.session(), "known", 5, {"1"});
    auto record = getPrediction(database.session(), "unknown");
    EXPECT_EQ(record.first, 0);
    EXPECT_TRUE(record.second.empty());
}

TEST(StoragePredictions, DeleteBySidRemovesEveryRowOfThatSidOnly) {
    MigratedDatabase database;
    auto& session = database.session();
    addPrediction(session, "a", 1, {"1"});
    addPrediction(session, "a", 2, {"2"});  // no uniqueness: a second row
    addPrediction(session, "b", 3, {"3"});
    EXPECT_EQ(countRows(session, "predictions"), 3);
    deletePrediction(session, std::string("a"));
    EXPECT_EQ(countRows(session, "predictions"), 1);
    EXPECT_EQ(getPrediction(session, "b").first, 3);
}

TEST(StoragePredictions, RetentionDropsRowsOlderThanTenMinutes) {
    MigratedDatabase database;
    auto& session = database.session();
    addPrediction(session, "eleven", 1, {"1"});
    addPrediction(session, "nine", 2, {"2"});
    addPrediction(session, "fresh", 3, {"3"});
    backdate(session, "predictions", 1, "-11 minutes");
    backdate(session, "predictions", 2, "-9 minutes");
    deletePrediction(session);
    std::vector<std::string> left;
    session << "SELECT sid FROM predictions ORDER BY id", into(left), now;
    EXPECT_EQ(left, (std::vector<std::string>{"nine", "fresh"}));
}

TEST(StorageRecognitionQueue, EmptyQueueGivesNothing) {
    MigratedDatabase database;
    EXPECT_FALSE(getNextRecognitionQueue(database.session()).has_value());
    EXPECT_TRUE(getRecognitionValues(database.session(), 1).empty());
}

TEST(StorageRecognitionQueue, EntryComesBackWithEveryField) {
    MigratedDatabase database;
    auto& session = database.session();
    int id =
        addRecognitionQueue(session, "sid-42", "recognition", "top2", "4711", "dairy", "Milk 1 l", 1.25, 380);
    ASSERT_GT(id, 0);
    EXPECT_TRUE(queryText(session, "SELECT image_url FROM recognition_queue").empty());
    EXPECT_EQ(queryInt(session, "SELECT COUNT(*) FROM recognition_queue WHERE image_url IS NULL"), 1);

    auto entry = getNextRecognitionQueue(session);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->id, id);
    EXPECT_EQ(entry->sid, "sid-42");
    EXPECT_EQ(entry->method_of_selection, "recognition");
    EXPECT_EQ(entry->position_relevance, "top2");
    EXPECT_EQ(entry->product_code, 4711);
    EXPECT_EQ(entry->product_category, "dairy");
    EXPECT_EQ(entry->product_name, "Milk 1 l");
    EXPECT_DOUBLE_EQ(entry->product_weight, 1.25);
    EXPECT_EQ(entry->response_time_ms, 380);
    EXPECT_EQ(entry->image_url, "");
    EXPECT_EQ(entry->created_at, queryText(session, "SELECT created_at FROM recognition_queue"));
    EXPECT_EQ(entry->created_at.size(), 19u);  // YYYY-MM-DD HH:MM:SS
    EXPECT_EQ(entry->updated_at, entry->created_at);
}

TEST(StorageRecognitionQueue, StoredImageUrlSurvivesAFailedSend) {
    MigratedDatabase database;
    auto& session = database.session();
    int id = addRecognition(session, "sid");
    updateImageUrl(session, "https://storage.example/VelmoraMonitoring/x/sid.jpg", id);
    auto entry = getNextRecognitionQueue(session);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->image_url, "https://storage.example/VelmoraMonitoring/x/sid.jpg");
}

TEST(StorageRecognitionQueue, ProductCodesReadBackAsIntegersOnlyWhenTheyAreOne) {
    struct Case {
        std::string code;
        long long read;
    };
    // A code with a tail is not a number the cloud could match: 0, not its leading digits.
    const Case cases[] = {{"123", 123}, {"0042", 42}, {"12abc", 0}, {"abc", 0}};
    for (const auto& c : cases) {
        MigratedDatabase database;
        auto& session = database.session();
        int id = addRecognition(session, "sid", c.code);
        addRecognitionValue(session, c.code, "cat", "name", 0.9, id, 1);
        EXPECT_EQ(getNextRecognitionQueue(session)->product_code, c.read) << c.code;
        EXPECT_EQ(getRecognitionValues(session, id).at(0).product_code, c.read) << c.code;
    }
}

TEST(StorageRecognitionQueue, OldestFirstAndFirstInFirstOutWithinOneSecond) {
    MigratedDatabase database;
    auto& session = database.session();
    int older = addRecognition(session, "older");
    int newer = addRecognition(session, "newer");
    // The newer row carries the earlier time: time decides.
    backdate(session, "recognition_queue", newer, "-1 hour");
    EXPECT_EQ(getNextRecognitionQueue(session)->id, newer);
    deleteFromRecognitionQueue(session, newer);
    EXPECT_EQ(getNextRecognitionQueue(session)->id, older);
    deleteFromRecognitionQueue(session, older);

    // Many rows stamped with the same second leave in the order they came.
    std::vector<int> ids;
    for (int i = 0; i < 20; ++i) {
        ids.push_back(addRecognition(session, "same-second-" + std::to_string(i)));
    }
    session << "UPDATE recognition_queue SET created_at = '2026-01-01 00:00:00'", now;
    for (int id : ids) {
        auto next = getNextRecognitionQueue(session);
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->id, id);
        deleteFromRecognitionQueue(session, id);
    }
    EXPECT_FALSE(getNextRecognitionQueue(session).has_value());
}

TEST(StorageRecognitionQueue, IdsIncreaseAndAreNeverReused) {
    MigratedDatabase database;
    auto& session = database.session();
    int first = addRecognition(session, "a");
    int second = addRecognition(session, "b");
    EXPECT_GT(second, first);
    deleteFromRecognitionQueue(session, first);
    deleteFromRecognitionQueue(session, second);
    EXPECT_EQ(countRows(session, "recognition_queue"), 0);
    int third = addRecognition(session, "c");
    EXPECT_GT(third, second);
}

TEST(StorageRecognitionValues, ComeBackByPlaceAndRejectADuplicatePlace) {
    MigratedDatabase database;
    auto& session = database.session();
    int rid = addRecognition(session, "sid");
    int other = addRecognition(session, "other");
    addRecognitionValue(session, "303", "c3", "third", 0.1, rid, 3);
    addRecognitionValue(session, "101", "c1", "first", 0.7, rid, 1);
    addRecognitionValue(session, "202", "c2", "second", 0.2, rid, 2);
    addRecognitionValue(session, "999", "cx", "elsewhere", 0.5, other, 1);

    auto values = getRecognitionValues(session, rid);
    ASSERT_EQ(values.size(), 3u);
    std::vector<int> tops, codes;
    for (const auto& v : values) {
        tops.push_back(v.top);
        codes.push_back(v.product_code);
        EXPECT_EQ(v.rid, rid);
        EXPECT_EQ(v.created_at.size(), 19u);
    }
    EXPECT_EQ(tops, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(codes, (std::vector<int>{101, 202, 303}));
    EXPECT_EQ(values[0].product_name, "first");
    EXPECT_EQ(values[0].product_category, "c1");
    EXPECT_DOUBLE_EQ(values[0].product_rate, 0.7);

    EXPECT_THROW(addRecognitionValue(session, "404", "c", "dup", 0.3, rid, 2), Poco::Exception);
    EXPECT_EQ(getRecognitionValues(session, rid).size(), 3u);
}

TEST(StorageRecognitionValues, DeletingTheEntryRemovesItsCandidates) {
    // The first delete on a new connection, once on its own and once inside the
    // caller's transaction (where SQLite would ignore a late foreign-keys pragma).
    for (bool inTransaction : {false, true}) {
        MigratedDatabase database;
        auto& session = database.session();
        int rid = addRecognition(session, "sid");
        int keep = addRecognition(session, "keep");
        for (int top = 1; top <= 3; ++top) {
            addRecognitionValue(session, std::to_string(top), "c", "n", 0.1, rid, top);
        }
        addRecognitionValue(session, "7", "c", "n", 0.1, keep, 1);
        if (inTransaction) {
            Poco::Data::Transaction transaction(session);
            deleteFromRecognitionQueue(session, rid);
            transaction.commit();
        } else {
            deleteFromRecognitionQueue(session, rid);
        }
        EXPECT_EQ(countRows(session, "recognition_values"), 1) << inTransaction;
        EXPECT_TRUE(getRecognitionValues(session, rid).empty()) << inTransaction;
        EXPECT_EQ(getRecognitionValues(session, keep).size(), 1u) << inTransaction;
        EXPECT_EQ(countRows(session, "recognition_queue"), 1) << inTransaction;
    }
}

TEST(StorageAlertQueue, FirstInFirstOutAndIdsNeverReused) {
    MigratedDatabase database;
    auto& session = database.session();
    EXPECT_FALSE(getNextAlertQueue(session).has_value());

    int a = addAlertQueue(session, 400, "Connection lost during get_result");
    std::string description = "Connection lost during get_image";
    int b = addAlertQueue(session, 400, description);
    int c = addAlertQueue(session, 500, "third");
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    session << "UPDATE alert_queue SET created_at = '2026-01-01 00:00:00'", now;  // one second for all

    auto first = getNextAlertQueue(session);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->id, a);
    EXPECT_EQ(first->code, 400);
    EXPECT_EQ(first->description, "Connection lost during get_result");
    EXPECT_EQ(first->created_at, "2026-01-01 00:00:00");
    EXPECT_EQ(first->updated_at.size(), 19u);
    deleteFromAlertQueue(session, a);
    EXPECT_EQ(getNextAlertQueue(session)->id, b);
    deleteFromAlertQueue(session, b);
    EXPECT_EQ(getNextAlertQueue(session)->id, c);
    deleteFromAlertQueue(session, c);
    EXPECT_FALSE(getNextAlertQueue(session).has_value());

    EXPECT_GT(addAlertQueue(session, 1, "after emptying"), c);
}

// Caps keep the newest entries; the oldest go, with their candidates.
TEST(StorageQueueBacklog, CountsTheEntriesAndAgesTheOldest) {
    struct Case {
        std::string name;
        std::vector<std::string> ages;  // one entry per modifier of its created_at
        int count;
        std::optional<long long> oldestAtLeast;  // none: the age is null
    };
    const Case cases[] = {
        {"empty", {}, 0, std::nullopt},
        {"one just queued", {"+0 seconds"}, 1, 0},
        {"the oldest counts", {"-5 seconds", "-300 seconds", "+0 seconds"}, 3, 300},
    };
    using Backlog = QueueBacklog (*)(Session&);
    const std::pair<std::string, Backlog> queues[] = {{"recognition_queue", getRecognitionQueueBacklog},
                                                      {"alert_queue", getAlertQueueBacklog}};
    for (const auto& c : cases) {
        for (const auto& [table, backlog] : queues) {
            MigratedDatabase database;
            auto& session = database.session();
            for (const auto& age : c.ages) {
                const int id = table == "alert_queue" ? addAlertQueue(session, -6103, "Camera lost")
                                                      : addRecognition(session, "sid-" + age);
                backdate(session, table, id, age);
            }
            const QueueBacklog found = backlog(session);
            EXPECT_EQ(found.count, c.count) << c.name << " " << table;
            ASSERT_EQ(found.oldest_age_seconds.has_value(), c.oldestAtLeast.has_value())
                << c.name << " " << table;
            if (c.oldestAtLeast) {
                // A second may pass between queueing and asking.
                EXPECT_GE(*found.oldest_age_seconds, *c.oldestAtLeast) << c.name << " " << table;
                EXPECT_LE(*found.oldest_age_seconds, *c.oldestAtLeast + 1) << c.name << " " << table;
            }
        }
    }
}

TEST(StorageQueueCaps, TrimKeepsTheNewestEntries) {
    struct Case {
        std::string name;
        int entries;
        std::vector<int> sentBefore;  // 1-based entries deleted (sent) before the trim
        int cap;
        int dropped;
    };
    const Case cases[] = {
        {"under the cap", 3, {}, 5, 0},
        {"at the cap", 5, {}, 5, 0},
        {"one over", 6, {}, 5, 1},
        {"far over", 10, {}, 3, 7},
        // Sent entries leave gaps in the ids: only what is still queued counts.
        {"gaps inside the span", 8, {2, 3, 6}, 5, 0},
        {"gaps and over", 8, {2, 6}, 5, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MigratedDatabase database;
        auto& session = database.session();
        std::vector<int> ids;
        for (int i = 1; i <= c.entries; ++i) {
            ids.push_back(addRecognition(session, "s" + std::to_string(i)));
            addRecognitionValue(session, "1", "", "", 0.5, ids.back(), 1);
            addAlertQueue(session, 400, "a" + std::to_string(i));
        }
        for (int sent : c.sentBefore) {
            deleteFromRecognitionQueue(session, ids[sent - 1]);
            session << "DELETE FROM alert_queue WHERE description = ?", bind("a" + std::to_string(sent)), now;
        }
        const int queued = c.entries - static_cast<int>(c.sentBefore.size());
        EXPECT_EQ(trimRecognitionQueue(session, c.cap), c.dropped);
        EXPECT_EQ(trimAlertQueue(session, c.cap), c.dropped);
        const int kept = queued - c.dropped;
        EXPECT_EQ(countRows(session, "recognition_queue"), kept);
        EXPECT_EQ(countRows(session, "recognition_values"), kept);
        EXPECT_EQ(countRows(session, "alert_queue"), kept);
        // The newest survive: what is left is the last `kept` of those still queued.
        std::vector<std::string> expected;
        for (int i = 1; i <= c.entries; ++i) {
            if (std::find(c.sentBefore.begin(), c.sentBefore.end(), i) == c.sentBefore.end()) {
                expected.push_back("s" + std::to_string(i));
            }
        }
        expected.erase(expected.begin(), expected.end() - kept);
        std::vector<std::string> left;
        session << "SELECT sid FROM recognition_queue ORDER BY id", into(left), now;
        EXPECT_EQ(left, expected);
    }
}

TEST(StorageQueueCaps, TheOldestGoFirst) {
    MigratedDatabase database;
    auto& session = database.session();
    for (int i = 1; i <= 6; ++i) {
        addAlertQueue(session, 400, "alert " + std::to_string(i));
    }
    EXPECT_EQ(trimAlertQueue(session, 4), 2);
    std::vector<std::string> left;
    session << "SELECT description FROM alert_queue ORDER BY id", into(left), now;
    EXPECT_EQ(left, (std::vector<std::string>{"alert 3", "alert 4", "alert 5", "alert 6"}));
}

TEST(StorageQueue, ProductCodesReadBackAsChosen) {
    struct Case {
        std::string code;
        long long number;  // what the cloud's integer member gets
    };
    const Case cases[] = {
        {"4006381333931", 4006381333931},            // EAN-13
        {"14006381333938", 14006381333938},          // EAN-14
        {"036000291452", 36000291452},               // UPC-A with its leading zero
        {"999999999999999999", 999999999999999999},  // 18 digits
        {"-5", -5},
        {"ABC-7", 0},
        {"12abc", 0},
        {"123456789012345678901", 0},  // beyond 64 bits
        {"", 0},
    };
    MigratedDatabase database;
    auto& session = database.session();
    for (const auto& c : cases) {
        const int id = addRecognitionQueue(session, "s", "m", "top1", c.code, "", "", 0, 0);
        addRecognitionValue(session, c.code, "", "", 0.5, id, 1);
        const auto entry = getNextRecognitionQueue(session);
        ASSERT_TRUE(entry) << c.code;
        EXPECT_EQ(entry->product_code, c.number) << c.code;
        EXPECT_EQ(entry->product_code_text, c.code);
        const auto values = getRecognitionValues(session, id);
        ASSERT_EQ(values.size(), 1u);
        EXPECT_EQ(values[0].product_code, c.number) << c.code;
        EXPECT_EQ(values[0].product_code_text, c.code);
        deleteFromRecognitionQueue(session, id);
    }
}

TEST(StorageQueue, DeferredEntriesWaitForTheirNextTryAndKeepTheirFirstRefusal) {
    MigratedDatabase database;
    auto& session = database.session();
    const int first = addRecognitionQueue(session, "a", "m", "top1", "1", "", "", 0, 0);
    const int second = addRecognitionQueue(session, "b", "m", "top1", "2", "", "", 0, 0);
    deferRecognitionQueue(session, first, 5000, "422 Unprocessable Entity: no", false, 1000);
    deferRecognitionQueue(session, first, 9000, "400 Bad Request: later", false, 6000);
    deferRecognitionQueue(session, second, 3000, "", true, 2000);
    deferRecognitionQueue(session, second, 4000, "", true, 3500);

    EXPECT_FALSE(getNextRecognitionQueue(session, 2999));
    EXPECT_EQ(getNextRecognitionQueue(session, 4000)->sid, "b");
    const auto b = getNextRecognitionQueue(session, 4000);
    EXPECT_EQ(b->attempts, 2);
    EXPECT_EQ(b->picture_failing_ms, 2000);  // since the first failure
    const auto a = getNextRecognitionQueue(session, 9000);
    EXPECT_EQ(a->sid, "a");  // oldest first once both are due
    EXPECT_FALSE(a->picture_failing_ms);
    // Read without a time, every entry is there.
    EXPECT_EQ(getNextRecognitionQueue(session)->sid, "a");

    const auto backlog = getRecognitionQueueBacklog(session);
    EXPECT_EQ(backlog.count, 2);
    EXPECT_EQ(backlog.refused, 1);
    EXPECT_EQ(backlog.oldest_refusal, "400 Bad Request: later");  // the latest reason of the first refused

    const int alert = addAlertQueue(session, 400, "lost");
    deferAlertQueue(session, alert, 7000, "404 Not Found: gone", 1000);
    EXPECT_FALSE(getNextAlertQueue(session, 6999));
    EXPECT_EQ(getNextAlertQueue(session, 7000)->attempts, 1);
    EXPECT_EQ(getAlertQueueBacklog(session).oldest_refusal, "404 Not Found: gone");
}

TEST(StorageQueue, PredictionScoresFollowTheirCodes) {
    MigratedDatabase database;
    auto& session = database.session();
    addPrediction(session, "s", 9, {"1", "", "3"}, {0.5, 0.25, 0.125});
    addPrediction(session, "t", 9, {"1", "2"});
    const auto s = getPredictionDetail(session, "s");
    EXPECT_EQ(s.codes, (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(s.rates, (std::vector<double>{0.5, 0.125}));
    EXPECT_EQ(getPredictionDetail(session, "t").rates, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(getPrediction(session, "s").second, s.codes);
}

}  // namespace
