#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Object.h>

namespace velmora::Engine::DB {
class SQLiteDB;
}
namespace velmora::Engine::Driver {
class OrvixDriver;
}

namespace velmora::Utils {

// The operator's final choice for one recognition: forwarded to the module, then
// queued for the cloud with its ranked candidates, counted in the daily, monthly
// and yearly statistics, and the module's current picture saved as <sid>.jpg in the
// configured folder. Answers {"code":0,"data":null}, or the module's refusal code
// with nothing stored. Malformed input and database failures throw; a picture that
// cannot be saved after the recognition was stored is logged, and the answer is
// still success. The queue keeps its newest recognition_queue_cap entries and the
// folder its images_folder_budget_mb (storage_limits.h).
Poco::JSON::Object::Ptr process_result_feedback(Poco::JSON::Object::Ptr body,
                                                std::shared_ptr<velmora::Engine::Driver::OrvixDriver> driver,
                                                std::mutex& configurationLock,
                                                std::unordered_map<std::string, Poco::Dynamic::Var> config,
                                                velmora::Engine::DB::SQLiteDB& database);

}  // namespace velmora::Utils
