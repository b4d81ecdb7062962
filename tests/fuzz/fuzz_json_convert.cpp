// The conversions between the two JSON libraries: every JSON document survives the
// round trip through Poco's values unchanged, and the Poco side converts back to
// the same document.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <boost/json.hpp>

#include "json_convert.h"

namespace {

// Equality of two documents where a NaN (the parser makes one of 0e99999) equals a
// NaN, and members are compared by key whatever their order.
bool same(const boost::json::value& a, const boost::json::value& b) {
    if (a.kind() != b.kind()) {
        return false;
    }
    switch (a.kind()) {
        case boost::json::kind::double_:
            return a.get_double() == b.get_double() ||
                   (std::isnan(a.get_double()) && std::isnan(b.get_double()));
        case boost::json::kind::array: {
            const auto& x = a.get_array();
            const auto& y = b.get_array();
            if (x.size() != y.size()) {
                return false;
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!same(x[i], y[i])) {
                    return false;
                }
            }
            return true;
        }
        case boost::json::kind::object: {
            const auto& x = a.get_object();
            const auto& y = b.get_object();
            if (x.size() != y.size()) {
                return false;
            }
            for (const auto& member : x) {
                const auto* other = y.if_contains(member.key());
                if (other == nullptr || !same(member.value(), *other)) {
                    return false;
                }
            }
            return true;
        }
        default:
            return a == b;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    boost::system::error_code error;
    const boost::json::value original =
        boost::json::parse(std::string(reinterpret_cast<const char*>(data), size), error);
    if (error) {
        return 0;
    }
    const Poco::Dynamic::Var poco = velmora::Utils::convertJsonBoost2Poco(original);
    const boost::json::value back = velmora::Utils::convertPoco2Boost(poco);
    // The Poco side sorts members by key; duplicate keys were already merged by the parser.
    if (!same(back, original)) {
        std::fprintf(stderr, "round trip changed the document:\n%s\n%s\n",
                     boost::json::serialize(original).c_str(), boost::json::serialize(back).c_str());
        std::abort();
    }
    const boost::json::value again =
        velmora::Utils::convertPoco2Boost(velmora::Utils::convertJsonBoost2Poco(back));
    if (!same(again, back)) {
        std::abort();
    }
    return 0;
}
