#pragma once

// The status page for the people at the till: one self-contained HTML document
// (its styles and script inline, nothing fetched from elsewhere) that reads
// get_status, get_recent_sales and get_statistic from this agent and draws them.
// Its source is status_page/status_page.html, built into the binary.

#include <string>

namespace velmora::Engine::Test {

std::string statusPageHtml();

}  // namespace velmora::Engine::Test
