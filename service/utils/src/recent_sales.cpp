#include "recent_sales.h"

#include <utility>

namespace velmora::Utils {

RecentSales::RecentSales(std::size_t capacity) : capacity_(capacity) {}

void RecentSales::record(RecentSale sale) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++total_;
    if (capacity_ == 0) {
        return;
    }
    if (sales_.size() == capacity_) {
        sales_.pop_front();
    }
    sales_.push_back(std::move(sale));
}

std::vector<RecentSale> RecentSales::newestFirst() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {sales_.rbegin(), sales_.rend()};
}

std::size_t RecentSales::recordedTotal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_;
}

RecentSales& RecentSales::shared() {
    static RecentSales sales;
    return sales;
}

}  // namespace velmora::Utils
