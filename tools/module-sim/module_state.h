#pragma once

#include "template_package.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>

namespace orvix::modsim {

// One answer of the simulated module, before it goes on the wire.
struct Reply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::optional<int> code;  // the envelope's "code", for the request log
};

struct ModuleOptions {
    std::string serial = "VLM2A0C1B7E4";
    double jobSeconds = 3.0;  // how long export, import and upgrade take
    std::optional<std::uint32_t> seed;
};

// The simulated module: its settings, templates and jobs in memory, and one handler per
// command of its HTTP API. Thread-safe: every command runs under the state lock.
class ModuleState {
public:
    explicit ModuleState(ModuleOptions options);

    // Does the API have this command, and with which HTTP method?
    static std::optional<std::string> commandMethod(const std::string& command);

    // Runs one /api command whose method has been checked already.
    Reply handle(const std::string& command, const std::string& contentType, const std::string& body);
    // Serves a prepared file (an exported archive) for /download/<name>.
    Reply download(const std::string& name);

    // The whole state as a JSON object text, for the control endpoint.
    std::string snapshotJson();
    // Back to the state at start: default settings, the seeded templates, no jobs, no files.
    void reset();

    // Which finished jobs end in their failure status from now on.
    void setJobFailures(bool exportFails, bool importFails, bool upgradeFails);

private:
    friend struct Commands;

    struct Calibration {
        int left = 0;
        int top = 0;
        int width = 1280;
        int height = 720;
    };
    struct Settings {
        int learnMode = 0;
        std::string syncMode = "normal";
        bool upload = false;
        bool download = false;
        std::string masterIP;
        std::string masterSN;
        std::string mastersyncPort;
        int syncLimit = 3;
        int soldOutLimit = 7;
        int maxResult = 5;
        std::string predictSpeed = "normal";
        Calibration calib;
        std::optional<std::string> storeName;
        std::optional<std::string> storeId;
        std::optional<std::string> storeDep;
    };
    struct Job {
        bool started = false;
        bool fails = false;
        bool settled = false;  // completion effects applied
        std::chrono::steady_clock::time_point startedAt;
        std::string filename;    // export: the archive's name
        std::string payload;     // export: the archive; import, upgrade: the uploaded file
        std::string uploadName;  // import, upgrade: the file name of the uploaded part
    };
    struct Feedback {
        std::string sid;
        std::string id;
        bool knownSession = false;
        bool learned = false;
    };

    void seedLocked();
    void settleJobsLocked();
    int jobPhase(const Job& job, int phases) const;
    std::string moduleTimeText() const;
    std::string newSessionId();
    std::string newTemplateId(const std::string& itemId);

    std::mutex mutex_;
    ModuleOptions options_;
    std::mt19937 random_;
    Settings settings_;
    TemplateTable templates_;
    std::deque<std::string> recentSessions_;
    std::uint64_t sessionCounter_ = 0;
    std::uint64_t templateCounter_ = 0;
    std::int64_t clockOffsetUs_ = 0;
    std::string firmware_ = "1.12.3";
    int syncCount_ = 0;
    std::string syncTime_;
    std::string syncMessage_ = "sync not configured";
    int reboots_ = 0;
    int internetOnce_ = 0;
    std::optional<Feedback> lastFeedback_;
    Job export_;
    Job import_;
    Job upgrade_;
    int exportCounter_ = 0;
    bool failExport_ = false;
    bool failImport_ = false;
    bool failUpgrade_ = false;
    std::string lastImportResult_;
    std::map<std::string, std::string> downloads_;
};

}  // namespace orvix::modsim
