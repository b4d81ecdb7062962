#include "result_feedback.h"

#include <filesystem>
#include <stdexcept>

#include <Poco/Data/Session.h>
#include <Poco/JSON/Array.h>

#include "db.h"
#include "driver.h"
#include "driver_converter.h"
#include "logger.h"
#include "models.h"
#include "picture_store.h"
#include "queries.h"
#include "recent_sales.h"
#include "request_members.h"
#include "service_context.h"
#include "storage_limits.h"

namespace velmora::Utils {
namespace {

using Engine::Logging::log;
using Models::RecognitionInfo;
using Models::SingleRecognition;

// Optional members take their defaults; a present member of the wrong type throws.
RecognitionInfo parseFeedback(const Poco::JSON::Object::Ptr& body) {
    RecognitionInfo info;
    info.sid = memberString(body, "sid");
    info.id = memberString(body, "id");
    auto text = [](const Poco::JSON::Object::Ptr& object, const char* key, const std::string& fallback) {
        return object->has(key) ? memberString(object, key) : fallback;
    };
    info.product_name = text(body, "product_name", "");
    info.response_time_ms = body->has("response_time_ms") ? memberInt64(body, "response_time_ms") : 0;
    info.method_of_selection = text(body, "method_of_selection", "unknown");
    info.position_relevance = text(body, "position_relevance", "");
    info.product_category = text(body, "product_category", "");
    info.product_weight = body->has("product_weight") ? memberDouble(body, "product_weight") : 0.0;
    std::vector<SingleRecognition> candidates;
    if (body->has("top_recognition")) {
        Poco::JSON::Array::Ptr list = memberArray(body, "top_recognition");
        for (size_t i = 0; i < list->size(); ++i) {
            Poco::JSON::Object::Ptr item = list->getObject(static_cast<unsigned>(i));
            if (item.isNull()) {
                throw BadRequestError("top_recognition", "entries must be objects");
            }
            SingleRecognition candidate;
            candidate.product_code = text(item, "product_code", "");
            candidate.product_name = text(item, "product_name", "");
            candidate.product_category = text(item, "product_category", "");
            candidate.product_rate = item->has("product_rate") ? memberDouble(item, "product_rate") : 0.0;
            candidates.push_back(std::move(candidate));
        }
    }
    info.top_recognition = std::move(candidates);
    return info;
}

// Why a sid cannot be a picture's file name, or null when it can.
const char* sidProblem(const std::string& sid) {
    constexpr std::size_t kMaxSidBytes = 128;
    if (sid.empty()) {
        return "must not be empty";
    }
    if (sid.size() > kMaxSidBytes) {
        return "must be at most 128 bytes";
    }
    if (sid.front() == '.') {
        return "must not start with \".\"";
    }
    for (const char c : sid) {
        if (c == '/' || c == '\\') {
            return "must not hold a path separator";
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return "must not hold control characters";
        }
    }
    return nullptr;
}

std::string statisticsKind(const std::string& methodOfSelection) {
    if (methodOfSelection == "recognition") {
        return "with_prediction";
    }
    if (methodOfSelection == "without_recognition") {
        return "without_prediction";
    }
    return "unknown";
}

// Fills in what the client left out from the prediction recorded when the module
// answered get_result for the same session.
void completeFromPrediction(Poco::Data::Session& session, RecognitionInfo& info) {
    const Queries::PredictionDetail prediction = Queries::getPredictionDetail(session, info.sid);
    if (*info.response_time_ms == 0) {
        info.response_time_ms = prediction.response_time_ms;
    }
    if (info.top_recognition->empty()) {
        bool rankFromPrediction = info.position_relevance->empty();
        if (rankFromPrediction && !prediction.codes.empty()) {
            info.position_relevance = "top_not_in_top5";
        }
        for (size_t rank = 0; rank < prediction.codes.size(); ++rank) {
            // The score is the one the module gave when it proposed the product.
            SingleRecognition candidate;
            candidate.product_code = prediction.codes[rank];
            candidate.product_rate = prediction.rates[rank];
            info.top_recognition->push_back(candidate);
            if (rankFromPrediction && prediction.codes[rank] == info.id) {
                info.position_relevance = "top" + std::to_string(rank + 1);
            }
        }
    }
    if (info.position_relevance->empty()) {
        info.position_relevance = "top_unknown";
    }
}

void saveImage(const std::vector<uint8_t>& bytes, const std::string& sid,
               std::unordered_map<std::string, Poco::Dynamic::Var>& config) {
    auto found = config.find("product_prediction_data_folder_path");
    if (found == config.end() || found->second.isEmpty() || !found->second.isString()) {
        log().warn("Image path config missing or not a string");
        throw std::runtime_error("Invalid image path config");
    }
    std::string folder = found->second.extract<std::string>();
    log().info("Opened save dir: {};", folder);
    std::filesystem::create_directories(folder);
    std::string path = (std::filesystem::path(folder) / (sid + ".jpg")).string();
    log().info("Saving file... ({})", path);
    Filesystem::savePicture(folder, sid + ".jpg", bytes);
    log().info("Saved image for sid {} to {}", sid, path);
    Filesystem::keepPicturesWithinBudget(folder, bytes.size(),
                                         readStorageLimits(config).imagesFolderBudgetBytes);
}

}  // namespace

Poco::JSON::Object::Ptr process_result_feedback(Poco::JSON::Object::Ptr body,
                                                std::shared_ptr<Engine::Driver::OrvixDriver> driver,
                                                std::mutex& configurationLock,
                                                std::unordered_map<std::string, Poco::Dynamic::Var> config,
                                                Engine::DB::SQLiteDB& database) {
    RecognitionInfo info = parseFeedback(body);
    // The sid names the picture file: one that is not a plain file name would let a
    // client write outside the pictures folder, or hide a picture the budget never sees.
    if (const char* problem = sidProblem(info.sid)) {
        throw BadRequestError("sid", problem);
    }
    int code = driver->result_feedback(info);
    if (code != 0) {
        return get_empty_response(code);
    }

    int queueId = -1;
    Engine::runInTransaction(configurationLock, database, [&](Poco::Data::Session& session) {
        bool complete = !info.top_recognition->empty() && *info.response_time_ms != 0 &&
                        !info.position_relevance->empty();
        if (!complete) {
            completeFromPrediction(session, info);
        }

        int rid = Queries::addRecognitionQueue(session, info.sid, *info.method_of_selection,
                                               *info.position_relevance, info.id, *info.product_category,
                                               *info.product_name, *info.product_weight,
                                               static_cast<int>(*info.response_time_ms));
        queueId = rid;
        int top = 1;
        for (const auto& candidate : *info.top_recognition) {
            Queries::addRecognitionValue(session, candidate.product_code, candidate.product_category,
                                         candidate.product_name, candidate.product_rate, rid, top++);
        }
        // Past the cap the oldest recognitions make room, so the newest survive an outage.
        const int cap = readStorageLimits(config).recognitionQueueCap;
        if (int dropped = Queries::trimRecognitionQueue(session, cap); dropped > 0) {
            log().warn("Recognition queue is over its cap of {}: dropped the {} oldest recognitions;", cap,
                       dropped);
        }
        Queries::deletePrediction(session, info.sid);

        std::string kind = statisticsKind(*info.method_of_selection);
        Queries::StatisticIds ids = Queries::getStatiscticIds(session, info.id);
        const std::pair<const char*, int> periods[] = {
            {"daily", ids.daily}, {"monthly", ids.monthly}, {"yearly", ids.yearly}};
        for (const auto& [period, id] : periods) {
            if (id != 0) {
                Queries::updateStatistic(session, id, period, *info.position_relevance, kind);
            } else {
                Queries::addStatistic(session, info.id, period, *info.position_relevance, kind);
            }
        }
        Queries::clearStatisticDays(session);
        Queries::clearStatisticMonths(session);
        Queries::clearStatisticYears(session);
    });
    RecentSales::shared().record({std::chrono::system_clock::now(), info.sid, info.id, *info.product_name,
                                  *info.position_relevance, queueId});

    // The picture comes from the module, so it is fetched after the commit and
    // without the configuration lock: a slow camera must not stall every other
    // request and the cloud worker.
    // The recognition is committed: whatever happens to its picture, the answer
    // says so, or the caller would send the feedback again and count it twice.
    auto [imageCode, bytes] = driver->get_image();
    if (imageCode == 0) {
        try {
            saveImage(bytes, info.sid, config);
        } catch (const std::exception& e) {
            log().error("Picture for sid {} not saved: {};", info.sid, Engine::Logging::reasonOf(e));
        }
    }
    return get_empty_response(0);
}

}  // namespace velmora::Utils
