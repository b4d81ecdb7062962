// The task protocol against a recording peer: dispatch through the handler table,
// the answer each outcome earns, and the handlers reached through their interface.
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <boost/system/system_error.hpp>

#include "captured_log.h"
#include "errors.h"
#include "monitoring.h"
#include "monitoring_bench.h"
#include "test_support.h"

namespace orvix::test {
namespace {

using velmora::Utils::Errors::HardwareException;
using velmora::Utils::Models::Task;

const std::string kTaskPath = "/api/v1/devices/D/tasks/7/";

CannedReply ok(const RecordedRequest&) {
    return jsonReply(200, "{}");
}

Task makeTask(const std::string& type) {
    Task task;
    task.id = "7";
    task.type = type;
    task.data["file"] = "a.evom";
    return task;
}

std::string compact(const boost::json::object& object) {
    return boost::json::serialize(object);
}

boost::json::object errorBody(const std::string& error, const std::string& description,
                              const char* value = nullptr) {
    boost::json::object body;
    body["error"] = error;
    body["description"] = description;
    if (value != nullptr) {
        body["value"] = value;
    }
    return body;
}

// The text the JSON library gives a failure, taken from the library itself.
std::string libraryText(const std::function<void()>& fail) {
    try {
        fail();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

void readMissing(Task& t) {
    (void)t.data.at("x");
}
void readMistyped(Task& t) {
    t.data["n"] = 5;
    (void)t.data.at("n").as_string();
}
void parseBroken(Task&) {
    (void)boost::json::parse("{\"x\":");
}
std::string missingKeyText() {
    Task t;
    return libraryText([&] { readMissing(t); });
}

// One task outcome: the handler's behaviour and the one answer the service gets.
struct TaskCase {
    const char* name;
    std::string type;
    std::function<void(Task&)> handler;  // empty: no handler of this type
    std::string answer;                  // "confirm", "reject" or "error"
    std::function<boost::json::object()> body;
};

const TaskCase kTaskCases[] = {
    {"UnknownTypeIsRejected",
     "reboot",
     {},
     "reject",
     [] {
         return boost::json::object{{"description", "Неизвестная задача: reboot"}};
     }},
    {"ResultIsConfirmedUnchanged", "download_config_file",
     [](Task& t) {
         t.result["url"] = "http://storage/x.json";
         t.result["size"] = 3;
     },
     "confirm",
     [] {
         return boost::json::object{{"url", "http://storage/x.json"}, {"size", 3}};
     }},
    {"EmptyResultIsConfirmedAsEmptyObject", "download_config_file", [](Task&) {}, "confirm",
     [] { return boost::json::object{}; }},
    {"HardwareErrorWithoutResult", "exec_command",
     [](Task&) { throw HardwareException("-6103", "Camera lost"); }, "error",
     [] { return errorBody("-6103", "Camera lost"); }},
    {"HardwareErrorCarriesTheResult", "exec_command",
     [](Task& t) {
         t.result["step"] = "upload";
         throw HardwareException("-6211", "File verification failed");
     },
     "error", [] { return errorBody("-6211", "File verification failed", R"({"step":"upload"})"); }},
    {"UnknownHardwareCommandIsRejected", "exec_command",
     [](Task&) { throw HardwareException("UNKNOWN_HARDWARE_COMMAND", "no such command"); }, "reject",
     [] {
         return boost::json::object{{"description", "Неизвестная команда: exec_command"}};
     }},
    {"MissingParameterIsASystemError", "upload_update_file", readMissing, "error",
     [] { return errorBody("Системная ошибка", missingKeyText()); }},
    {"MistypedParameterIsASystemError", "upload_update_file", readMistyped, "error",
     [] {
         Task t;
         return errorBody("Системная ошибка", libraryText([&] { readMistyped(t); }));
     }},
    {"ParserErrorIsASystemError", "upload_update_file", parseBroken, "error",
     [] {
         Task t;
         return errorBody("Системная ошибка", libraryText([&] { parseBroken(t); }));
     }},
    {"OutOfRangeOutsideTheJsonLibraryIsAHandledException", "upload_update_file",
     [](Task&) { (void)std::string("ab").at(5); }, "error",
     [] { return errorBody("Обработанное исключение", libraryText([] { (void)std::string("ab").at(5); })); }},
    {"OtherExceptionIsAHandledException", "upload_update_file",
     [](Task&) { throw std::runtime_error("disk full"); }, "error",
     [] { return errorBody("Обработанное исключение", "disk full"); }},
    {"HandledExceptionCarriesTheResult", "upload_update_file",
     [](Task& t) {
         t.result["done"] = false;
         throw std::logic_error("half way");
     },
     "error", [] { return errorBody("Обработанное исключение", "half way", R"({"done":false})"); }},
};

class MonitoringTasks : public ::testing::Test {
protected:
    void configure(std::shared_ptr<velmora::Engine::Sync::ITaskHandlerProvider> tasks = nullptr,
                   std::function<void()> reinit = {}, RecordingServer::Responder responder = ok) {
        MonitoringSetup setup;
        setup.tasks = std::move(tasks);
        setup.reinit = std::move(reinit);
        bench_.configureStopped(service_, setup, std::move(responder));
    }

    RecordingServer service_;
    MonitoringBench bench_;
};

class MonitoringTaskOutcome : public MonitoringTasks, public ::testing::WithParamInterface<TaskCase> {};

TEST_P(MonitoringTaskOutcome, SendsExactlyOneAnswer) {
    const TaskCase& c = GetParam();
    configure();
    bool ran = false;
    if (c.handler) {
        bench_.driver().registerTaskHandler(c.type, [&ran, &c](Task& task) {
            ran = true;
            c.handler(task);
        });
    }
    Task task = makeTask(c.type);
    bench_.driver().executeTaskHandler(task);

    EXPECT_EQ(ran, static_cast<bool>(c.handler));
    const auto requests = bench_.requests(service_);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].uri, kTaskPath + c.answer);
    EXPECT_EQ(requests[0].headers.at("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, compact(c.body()));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, MonitoringTaskOutcome, ::testing::ValuesIn(kTaskCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitoringTasks, FailuresAreLoggedWithTheirClass) {
    configure();
    CapturedLog log;
    bench_.driver().registerTaskHandler("a", [](Task&) { throw HardwareException("-6103", "Camera lost"); });
    bench_.driver().registerTaskHandler("b", readMissing);
    bench_.driver().registerTaskHandler("c", [](Task&) { throw std::runtime_error("disk full"); });
    for (const char* type : {"a", "b", "c"}) {
        Task task = makeTask(type);
        bench_.driver().executeTaskHandler(task);
    }
    EXPECT_EQ(
        log.count("error", "Task=a with id=7 failed with driver error: -6103, description: Camera lost"), 1u);
    EXPECT_EQ(log.count("error", "Task=b with id=7 failed with boost exception: " + missingKeyText() + ";"),
              1u);
    EXPECT_EQ(log.count("warning", "serialized json error:{};"), 3u);

    std::string traced;
    for (const auto& line : log.lines()) {
        if (line.text.rfind("Task=c with id=7 failed with std exception: disk full, trace: ", 0) == 0) {
            traced = line.text;
        }
    }
    // The stack trace, one numbered frame per line.
    EXPECT_NE(traced.find("0# "), std::string::npos) << traced;
    EXPECT_NE(traced.find("\n 1# "), std::string::npos) << traced;
}

TEST_F(MonitoringTasks, RegisteringATypeAgainReplacesItsHandler) {
    configure();
    std::string ran;
    bench_.driver().registerTaskHandler("custom", [&ran](Task&) { ran += "first"; });
    bench_.driver().registerTaskHandler("custom", [&ran](Task&) { ran += "second"; });
    Task task = makeTask("custom");
    bench_.driver().executeTaskHandler(task);
    EXPECT_EQ(ran, "second");
}

const std::pair<const char*, const char*> kBuiltIns[] = {
    {"download_log_file", "handleDownloadLogFile"},
    {"download_config_file", "handleDownloadConfigFile"},
    {"upload_config_file", "handleUploadConfigFile"},
    {"upload_update_file", "handleUploadUpdateFile"},
    {"download_recognition_backup_file", "handleDownloadRecognitionBackupFile"},
    {"upload_recognition_backup_file", "handleUploadRecognitionBackupFile"},
    {"exec_command", "handleHardware"},
};

TEST_F(MonitoringTasks, BuiltInTypesReachTheirHandlersThroughTheProvider) {
    auto handlers = std::make_shared<RecordingTaskHandlers>();
    handlers->action = [](const std::string& handler, Task& task) { task.result["by"] = handler; };
    configure(handlers);
    EXPECT_EQ(handlers->monitoring(), &bench_.driver());

    CapturedLog log;
    for (const auto& [type, handler] : kBuiltIns) {
        SCOPED_TRACE(type);
        Task task = makeTask(type);
        bench_.driver().executeTaskHandler(task);
        ASSERT_FALSE(handlers->calls().empty());
        EXPECT_EQ(handlers->calls().back(), handler);
        const auto requests = bench_.requests(service_);
        EXPECT_EQ(requests.back().uri, kTaskPath + "confirm");
        EXPECT_EQ(requests.back().body, compact(boost::json::object{{"by", handler}}));
        EXPECT_EQ(log.count("info", std::string("-->Calling handler for ") + type),
                  std::string(type) == "download_log_file" ? 0u : 1u);
    }
    EXPECT_EQ(handlers->calls().size(), std::size(kBuiltIns));
}

// Without its handlers a task cannot run: it is answered as a failure, never confirmed.
TEST_F(MonitoringTasks, WithoutAProviderEveryBuiltInTypeGetsAnErrorAnswer) {
    configure(nullptr);
    CapturedLog log;
    for (const auto& [type, handler] : kBuiltIns) {
        SCOPED_TRACE(type);
        Task task = makeTask(type);
        bench_.driver().executeTaskHandler(task);
        const auto requests = bench_.requests(service_);
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().uri, kTaskPath + "error");
        EXPECT_EQ(
            requests.back().body,
            compact(errorBody("Системная ошибка", std::string("Обработчик задачи недоступен: ") + type)));
    }
    EXPECT_EQ(bench_.requests(service_).size(), std::size(kBuiltIns));
    EXPECT_EQ(log.count("error", "task_handler_provider_ expired, can't execute handler"),
              std::size(kBuiltIns));
}

TEST_F(MonitoringTasks, AProviderGoneSinceTheSettingsGivesAnErrorAnswer) {
    auto handlers = std::make_shared<RecordingTaskHandlers>();
    configure(handlers);
    handlers.reset();
    Task task = makeTask("exec_command");
    bench_.driver().executeTaskHandler(task);
    const auto requests = bench_.requests(service_);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].uri, kTaskPath + "error");
    EXPECT_EQ(requests[0].body,
              compact(errorBody("Системная ошибка", "Обработчик задачи недоступен: exec_command")));
}

TEST_F(MonitoringTasks, ConfigurationUploadRebuildsAfterItsConfirmation) {
    size_t answersBeforeRebuild = 0;
    int rebuilds = 0;
    auto handlers = std::make_shared<RecordingTaskHandlers>();
    configure(handlers, [&] {
        ++rebuilds;
        answersBeforeRebuild = bench_.requests(service_).size();
    });

    Task upload = makeTask("upload_config_file");
    bench_.driver().executeTaskHandler(upload);
    EXPECT_EQ(rebuilds, 1);
    EXPECT_EQ(answersBeforeRebuild, 1u);
    EXPECT_EQ(bench_.requests(service_).back().uri, kTaskPath + "confirm");

    // Other types and failed uploads do not rebuild.
    Task other = makeTask("download_config_file");
    bench_.driver().executeTaskHandler(other);
    handlers->action = [](const std::string&, Task&) { throw std::runtime_error("bad config"); };
    Task failed = makeTask("upload_config_file");
    bench_.driver().executeTaskHandler(failed);
    EXPECT_EQ(rebuilds, 1);
    EXPECT_EQ(bench_.requests(service_).back().uri, kTaskPath + "error");
}

TEST_F(MonitoringTasks, AFailedRebuildAddsAnErrorAnswerAfterTheConfirmation) {
    auto handlers = std::make_shared<RecordingTaskHandlers>();
    configure(handlers, [] { throw std::runtime_error("rebuild failed"); });
    Task upload = makeTask("upload_config_file");
    bench_.driver().executeTaskHandler(upload);
    const auto requests = bench_.requests(service_);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].uri, kTaskPath + "confirm");
    EXPECT_EQ(requests[1].uri, kTaskPath + "error");
    EXPECT_EQ(requests[1].body, compact(errorBody("Обработанное исключение", "rebuild failed")));
}

// A refused answer is logged once and not repeated.
TEST_F(MonitoringTasks, RefusedAnswersAreLoggedOnce) {
    configure(nullptr, {}, [](const RecordedRequest&) { return jsonReply(500, "{}"); });
    struct Case {
        std::string type;
        std::function<void(Task&)> handler;
        std::string line;
    };
    const Case cases[] = {
        {"ok", [](Task&) {}, "Failed to confirm task 7: Internal Server Error"},
        {"unknown",
         {},
         "Failed to reject task 7: Internal Server Error and task reject reason: Неизвестная задача: "
         "unknown"},
        {"fails", [](Task&) { throw std::runtime_error("boom"); },
         "Failed to report error task 7: Internal Server Error and task error message: boom"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        if (c.handler) {
            bench_.driver().registerTaskHandler(c.type, c.handler);
        }
        CapturedLog log;
        const size_t before = bench_.requests(service_).size();
        Task task = makeTask(c.type);
        bench_.driver().executeTaskHandler(task);
        EXPECT_EQ(bench_.requests(service_).size(), before + 1);
        EXPECT_EQ(log.count("error", c.line), 1u);
    }
}

TEST(MonitoringTaskTransport, AnAnswerThatCannotBeDeliveredLeavesTheDispatcher) {
    auto service = std::make_unique<RecordingServer>();
    MonitoringBench bench;
    bench.configureStopped(*service, MonitoringSetup{}, ok);
    service.reset();
    Task task = makeTask("reboot");
    EXPECT_ANY_THROW(bench.driver().executeTaskHandler(task));
}

}  // namespace
}  // namespace orvix::test
