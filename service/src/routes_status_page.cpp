// The status page and the one answer it needs besides get_status and get_statistic:
// the sales since the start, each with whether it still waits for the cloud.
#include <Poco/Data/Session.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

#include "agent-utils.h"
#include "queries.h"
#include "recent_sales.h"
#include "route_helpers.h"
#include "routes.h"
#include "service_context.h"
#include "status_page.h"

namespace velmora::Engine::Test {
namespace {

using Poco::JSON::Array;
using Poco::JSON::Object;

ApiReply status_page(Server&, const ApiRequest&) {
    ApiReply reply;
    reply.contentType = "text/html; charset=utf-8";
    reply.body = statusPageHtml();
    // The page may talk to this agent only: a till often has no internet, and a page
    // that loaded anything from elsewhere could be made to show something else.
    reply.headers = {
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:; "
         "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
    };
    return reply;
}

ApiReply get_recent_sales(Server& server, const ApiRequest&) {
    const Utils::RecentSales& recent = Utils::RecentSales::shared();
    const std::size_t total = recent.recordedTotal();
    const std::vector<Utils::RecentSale> sales = recent.newestFirst();
    std::vector<bool> queued(sales.size(), false);
    server.GetContext().withSession([&](Poco::Data::Session& session) {
        for (std::size_t i = 0; i < sales.size(); ++i) {
            queued[i] =
                sales[i].queue_id > 0 && Utils::Queries::isInRecognitionQueue(session, sales[i].queue_id);
        }
    });

    Array::Ptr list = new Array;
    for (std::size_t i = 0; i < sales.size(); ++i) {
        Object::Ptr entry = new Object;
        entry->set("time", Utils::isoUtc(sales[i].time));
        entry->set("sid", sales[i].sid);
        entry->set("product_code", sales[i].product_code);
        entry->set("product_name", sales[i].product_name);
        entry->set("position", sales[i].position);
        entry->set("queued", static_cast<bool>(queued[i]));
        list->add(entry);
    }
    Object::Ptr data = new Object;
    data->set("recorded", static_cast<Poco::UInt64>(total));
    data->set("sales", list);
    Object::Ptr answer = new Object;
    answer->set("code", 0);
    answer->set("data", data);
    return jsonReply(answer);
}

}  // namespace

std::vector<Route> statusPageRoutes() {
    return {
        Route{"GET", "/", status_page},
        Route{"GET", "/api/agent/get_recent_sales", get_recent_sales, true},
    };
}

}  // namespace velmora::Engine::Test
