// Recognition statistics: counting per period, place and category, the range
// reads and the retention deletes.
#include <gtest/gtest.h>

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>

#include "queries.h"
#include "storage_fixture.h"

namespace {

using namespace velmora::Utils::Queries;
using namespace orvix::test;
using namespace Poco::Data::Keywords;

const char* const kTables[] = {"prediction_daily", "prediction_monthly", "prediction_yearly"};
const char* const kPeriods[] = {"daily", "monthly", "yearly"};

// The sequence the result feedback runs for one confirmed recognition.
void record(Session& session, const std::string& product, const std::string& place,
            const std::string& category) {
    StatisticIds ids = getStatiscticIds(session, product);
    const int periodIds[] = {ids.daily, ids.monthly, ids.yearly};
    for (int i = 0; i < 3; ++i) {
        if (periodIds[i] != 0) {
            updateStatistic(session, periodIds[i], kPeriods[i], place, category);
        } else {
            addStatistic(session, product, kPeriods[i], place, category);
        }
    }
    clearStatisticDays(session);
    clearStatisticMonths(session);
    clearStatisticYears(session);
}

struct Counters {
    int weightings, top1, top2, top3, top4, top5, with, without, unknown;
    bool operator==(const Counters& o) const {
        return weightings == o.weightings && top1 == o.top1 && top2 == o.top2 && top3 == o.top3 &&
               top4 == o.top4 && top5 == o.top5 && with == o.with && without == o.without &&
               unknown == o.unknown;
    }
};

std::ostream& operator<<(std::ostream& out, const Counters& c) {
    return out << "{w" << c.weightings << " t" << c.top1 << c.top2 << c.top3 << c.top4 << c.top5 << " with"
               << c.with << " without" << c.without << " unknown" << c.unknown << "}";
}

Counters rowCounters(Session& session, const std::string& table, const std::string& product) {
    Counters c{};
    std::string bound = product;
    session << "SELECT weightings_count, top_1_count, top_2_count, top_3_count, top_4_count, top_5_count, "
               "processed_with_prediction_count, processed_without_prediction_count, "
               "processed_unknown_prediction_count FROM " +
                   table + " WHERE product_id = ?",
        use(bound), into(c.weightings), into(c.top1), into(c.top2), into(c.top3), into(c.top4), into(c.top5),
        into(c.with), into(c.without), into(c.unknown), now;
    return c;
}

Counters counters(const StatisticData& d) {
    return {d.weightings_count,
            d.top_1_count,
            d.top_2_count,
            d.top_3_count,
            d.top_4_count,
            d.top_5_count,
            d.processed_with_prediction_count,
            d.processed_without_prediction_count,
            d.processed_unknown_prediction_count};
}

TEST(StorageStatistics, EachPlaceAndCategoryIncrementsItsOwnCounter) {
    struct Case {
        std::string place;
        std::string category;
        Counters expected;
    };
    const Case cases[] = {
        {"top1", "with_prediction", {1, 1, 0, 0, 0, 0, 1, 0, 0}},
        {"top2", "with_prediction", {1, 0, 1, 0, 0, 0, 1, 0, 0}},
        {"top3", "with_prediction", {1, 0, 0, 1, 0, 0, 1, 0, 0}},
        {"top4", "without_prediction", {1, 0, 0, 0, 1, 0, 0, 1, 0}},
        {"top5", "without_prediction", {1, 0, 0, 0, 0, 1, 0, 1, 0}},
        {"top_not_in_top5", "with_prediction", {1, 0, 0, 0, 0, 0, 1, 0, 0}},
        {"top_unknown", "", {1, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"TOP1", "With_Prediction", {1, 0, 0, 0, 0, 0, 0, 0, 1}},  // words are exact
    };
    for (const auto& c : cases) {
        MigratedDatabase database;
        auto& session = database.session();
        record(session, "501", c.place, c.category);
        for (const char* table : kTables) {
            EXPECT_EQ(countRows(session, table), 1) << c.place << " " << table;
            EXPECT_EQ(rowCounters(session, table, "501"), c.expected)
                << c.place << "/" << c.category << " " << table;
        }
        // The second recognition of the day increments the same rows.
        record(session, "501", c.place, c.category);
        Counters twice = c.expected;
        for (int* field : {&twice.weightings, &twice.top1, &twice.top2, &twice.top3, &twice.top4, &twice.top5,
                           &twice.with, &twice.without, &twice.unknown}) {
            *field *= 2;
        }
        for (const char* table : kTables) {
            EXPECT_EQ(countRows(session, table), 1) << table;
            EXPECT_EQ(rowCounters(session, table, "501"), twice) << c.place << " " << table;
        }
    }
}

TEST(StorageStatistics, RowsAreKeptPerProductAndDatedByPeriodStart) {
    MigratedDatabase database;
    auto& session = database.session();
    record(session, "10", "top1", "with_prediction");
    record(session, "9", "top2", "with_prediction");
    record(session, "10", "top1", "with_prediction");
    EXPECT_EQ(rowCounters(session, "prediction_daily", "10").weightings, 2);
    EXPECT_EQ(rowCounters(session, "prediction_daily", "9").weightings, 1);

    EXPECT_EQ(queryText(session, "SELECT date FROM prediction_daily WHERE product_id = '9'"),
              queryText(session, "SELECT strftime('%Y-%m-%d', 'now')"));
    EXPECT_EQ(queryText(session, "SELECT date FROM prediction_monthly WHERE product_id = '9'"),
              queryText(session, "SELECT strftime('%Y-%m-01', 'now')"));
    EXPECT_EQ(queryText(session, "SELECT date FROM prediction_yearly WHERE product_id = '9'"),
              queryText(session, "SELECT strftime('%Y-01-01', 'now')"));

    StatisticIds ids = getStatiscticIds(session, "9");
    EXPECT_EQ(ids.daily, queryInt(session, "SELECT id FROM prediction_daily WHERE product_id = '9'"));
    EXPECT_EQ(ids.monthly, queryInt(session, "SELECT id FROM prediction_monthly WHERE product_id = '9'"));
    EXPECT_EQ(ids.yearly, queryInt(session, "SELECT id FROM prediction_yearly WHERE product_id = '9'"));
    StatisticIds none = getStatiscticIds(session, "8");
    EXPECT_EQ(none.daily + none.monthly + none.yearly, 0);
}

TEST(StorageStatistics, ANewPeriodStartsANewRow) {
    MigratedDatabase database;
    auto& session = database.session();
    record(session, "77", "top1", "with_prediction");
    // Yesterday's daily row, last month's monthly row, last year's yearly row.
    session << "UPDATE prediction_daily SET date = strftime('%Y-%m-%d', 'now', '-1 day')", now;
    session
        << "UPDATE prediction_monthly SET date = strftime('%Y-%m-01', 'now', 'start of month', '-1 month')",
        now;
    session << "UPDATE prediction_yearly SET date = strftime('%Y-01-01', 'now', 'start of year', '-1 year')",
        now;
    StatisticIds ids = getStatiscticIds(session, "77");
    EXPECT_EQ(ids.daily, 0);
    EXPECT_EQ(ids.monthly, 0);
    EXPECT_EQ(ids.yearly, 0);

    record(session, "77", "top2", "with_prediction");
    for (const char* table : kTables) {
        EXPECT_EQ(countRows(session, table), 2) << table;
        EXPECT_EQ(queryInt(session, std::string("SELECT MAX(weightings_count) FROM ") + table), 1) << table;
    }
}

TEST(StorageStatistics, UnknownPeriodOrRangeWordThrows) {
    MigratedDatabase database;
    auto& session = database.session();
    EXPECT_THROW(addStatistic(session, "1", "weekly", "top1", "with_prediction"), Poco::Exception);
    record(session, "1", "top1", "with_prediction");
    int id = getStatiscticIds(session, "1").daily;
    EXPECT_THROW(updateStatistic(session, id, "hourly", "top1", "with_prediction"), Poco::Exception);
    EXPECT_THROW(getStatistic(session, "1", "WEEKS", "01-01-26", "31-12-26", -1, 0), Poco::Exception);
    EXPECT_THROW(getStatistic(session, "WEEKS", "01-01-26", "31-12-26", -1, 0), Poco::Exception);
    EXPECT_EQ(rowCounters(session, "prediction_daily", "1").weightings, 1);
}

// Writes a statistics row with a chosen date and counters derived from `n`.
void putRow(Session& session, const std::string& table, const std::string& product, const std::string& date,
            int n) {
    std::string p = product, d = date;
    int w = n, t1 = n + 1, t2 = n + 2, t3 = n + 3, t4 = n + 4, t5 = n + 5, with = n + 6, without = n + 7,
        unknown = n + 8;
    session << "INSERT INTO " + table +
                   " (created_at, updated_at, date, product_id, weightings_count, top_1_count, top_2_count, "
                   "top_3_count, top_4_count, top_5_count, processed_with_prediction_count, "
                   "processed_without_prediction_count, processed_unknown_prediction_count) "
                   "VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        use(d), use(p), use(w), use(t1), use(t2), use(t3), use(t4), use(t5), use(with), use(without),
        use(unknown), now;
}

std::vector<std::string> keys(const std::vector<StatisticData>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) {
        out.push_back(r.key);
    }
    return out;
}

TEST(StorageStatistics, PerProductReadsHonourTheirBounds) {
    MigratedDatabase database;
    auto& session = database.session();
    // Inserted out of date order: the read keeps the order of creation.
    for (const char* date :
         {"2026-12-03", "2026-11-30", "2026-12-01", "2026-12-06", "2026-12-07", "2026-12-02"}) {
        putRow(session, "prediction_daily", "42", date, 1);
    }
    putRow(session, "prediction_daily", "43", "2026-12-02", 1);
    for (const char* date : {"2026-10-01", "2026-11-01", "2026-12-01", "2027-01-01"}) {
        putRow(session, "prediction_monthly", "42", date, 1);
    }
    for (const char* date : {"1999-01-01", "2000-01-01", "2025-01-01", "2026-01-01"}) {
        putRow(session, "prediction_yearly", "42", date, 1);
    }

    struct Case {
        std::string range, from, to;
        int limit, offset;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {"DAYS", "01-12-26", "06-12-26", -1, 0, {"03-12-26", "01-12-26", "06-12-26", "02-12-26"}},
        {"DAYS", "01-12-26", "06-12-26", 2, 1, {"01-12-26", "06-12-26"}},
        {"DAYS", "07-12-26", "07-12-26", -1, 0, {"07-12-26"}},
        {"DAYS", "08-12-26", "31-12-26", -1, 0, {}},
        {"MONTHS", "15-11-26", "02-12-26", -1, 0, {"01-11-26", "01-12-26"}},
        {"YEARS", "31-12-25", "01-01-26", -1, 0, {"01-01-25", "01-01-26"}},
        {"YEARS", "00-00-00", "31-12-99", -1, 0, {"01-01-00", "01-01-25", "01-01-26"}},
    };
    for (const auto& c : cases) {
        auto rows = getStatistic(session, "42", c.range, c.from, c.to, c.limit, c.offset);
        EXPECT_EQ(keys(rows), c.keys) << c.range << " " << c.from << ".." << c.to;
    }

    auto rows = getStatistic(session, "42", "DAYS", "01-12-26", "01-12-26", -1, 0);
    ASSERT_EQ(rows.size(), 1u);
    // Every counter lands in its own field despite the different column order.
    EXPECT_EQ(counters(rows[0]), (Counters{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(getStatistic(session, "44", "DAYS", "00-00-00", "31-12-99", -1, 0).empty());
}

TEST(StorageStatistics, SummedReadGivesOneEntryPerProductOrderedAsText) {
    MigratedDatabase database;
    auto& session = database.session();
    putRow(session, "prediction_daily", "9", "2026-12-01", 1);
    putRow(session, "prediction_daily", "9", "2026-12-02", 10);
    putRow(session, "prediction_daily", "10", "2026-12-02", 100);
    putRow(session, "prediction_daily", "10", "2026-12-09", 1000);  // outside the range
    putRow(session, "prediction_daily", "2", "2026-11-30", 5);      // outside the range

    auto rows = getStatistic(session, "DAYS", "01-12-26", "08-12-26", -1, 0);
    ASSERT_EQ(keys(rows), (std::vector<std::string>{"10", "9"}));
    EXPECT_EQ(counters(rows[0]), (Counters{100, 101, 102, 103, 104, 105, 106, 107, 108}));
    EXPECT_EQ(counters(rows[1]), (Counters{11, 13, 15, 17, 19, 21, 23, 25, 27}));

    EXPECT_EQ(keys(getStatistic(session, "DAYS", "01-12-26", "08-12-26", 1, 1)),
              (std::vector<std::string>{"9"}));
    EXPECT_TRUE(getStatistic(session, "MONTHS", "01-12-26", "08-12-26", -1, 0).empty());
}

TEST(StorageStatistics, RetentionLooksAtInsertionTime) {
    MigratedDatabase database;
    auto& session = database.session();
    struct Case {
        std::string table;
        std::string keptAge;
        std::string droppedAge;
        void (*clear)(Session&);
    };
    const Case cases[] = {
        {"prediction_daily", "-11 months", "-13 months", clearStatisticDays},
        {"prediction_monthly", "-11 months", "-13 months", clearStatisticMonths},
        {"prediction_yearly", "-59 months", "-61 months", clearStatisticYears},
    };
    for (const auto& c : cases) {
        putRow(session, c.table, "kept", "2020-01-01", 1);  // an old date alone does not matter
        putRow(session, c.table, "dropped", "2030-01-01", 1);
        putRow(session, c.table, "new", "2026-01-01", 1);
        session << "UPDATE " + c.table + " SET created_at = datetime('now', '" + c.keptAge +
                       "') WHERE product_id = 'kept'",
            now;
        session << "UPDATE " + c.table + " SET created_at = datetime('now', '" + c.droppedAge +
                       "') WHERE product_id = 'dropped'",
            now;
        c.clear(session);
        std::vector<std::string> left;
        session << "SELECT product_id FROM " + c.table + " ORDER BY id", into(left), now;
        EXPECT_EQ(left, (std::vector<std::string>{"kept", "new"})) << c.table;
    }
}

}  // namespace
