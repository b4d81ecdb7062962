#pragma once

// The last sales since the agent started, for the status page: kept in memory only,
// so a restart begins an empty list and nothing here ever reaches the database.

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace velmora::Utils {

struct RecentSale {
    std::chrono::system_clock::time_point time;
    std::string sid;
    std::string product_code;  // the product the operator chose
    std::string product_name;  // "" when the client named none
    // Where the chosen product stood in the proposal: "top1" to "top5",
    // "top_not_in_top5", or "top_unknown" when no proposal was recorded.
    std::string position;
    int queue_id = -1;  // its recognition_queue row; -1 when none came back
};

// A bounded list: past its capacity the oldest sale makes room. Safe to use from
// several request threads; its own lock is held only to copy, never around other work.
class RecentSales {
public:
    static constexpr std::size_t kCapacity = 100;

    explicit RecentSales(std::size_t capacity = kCapacity);

    void record(RecentSale sale);
    // Newest first.
    std::vector<RecentSale> newestFirst() const;
    // Every sale recorded since the start, including those that made room.
    std::size_t recordedTotal() const;

    // The process's list, filled by result feedback.
    static RecentSales& shared();

private:
    std::size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<RecentSale> sales_;
    std::size_t total_ = 0;
};

}  // namespace velmora::Utils
