// The agent as a process with all its peers on loopback: the module simulator, the
// cloud simulator (monitoring service and token endpoint), s3rver as the object
// storage, and oidc-provider as a standard token endpoint. What the cloud receives
// is read from the simulator's control interface, what was stored from s3rver.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/json.hpp>

#include "agent_process.h"
#include "cloud_agent.h"
#include "cloud_sim_peer.h"
#include "json_text.h"
#include "module_sim_peer.h"
#include "oidc_peer.h"
#include "s3rver_fixture.h"
#include "task_bench.h"
#include "test_support.h"
#include "zip_archive.h"

namespace {

using namespace orvix::test;
namespace json = boost::json;
using std::chrono::milliseconds;
using std::chrono::seconds;

// ---- a recognition's road ----

TEST(CloudRecognition, TravelsWithItsPictureAndLeavesTheQueueEmpty) {
    CloudAgent env;
    ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20))) << env.log();
    ASSERT_TRUE(waitUntil([] { return configValue("velmora_monitoring_device_id") == json::value(kDevice); },
                          seconds(20)))
        << env.log();

    const std::string sid = env.sale();
    std::vector<json::object> arrived;
    // Within two periods of the worker, with some leeway for a loaded machine.
    ASSERT_TRUE(waitUntil(
        [&] {
            arrived = env.recognitionsOf(sid);
            return !arrived.empty();
        },
        milliseconds(2 * kPeriodMs + 5000)))
        << env.log();
    const std::string url(arrived.front().at("recognition_image_url").as_string());
    EXPECT_NE(url.find("/" + kKeyPrefix + "Images/" + sid + ".jpg"), std::string::npos) << url;
    const std::string picture = env.objectAt(url);
    ASSERT_GT(picture.size(), 4u);
    EXPECT_EQ(picture.substr(0, 2), "\xFF\xD8");  // a JPEG, as the module took it
    EXPECT_TRUE(waitUntil([&] { return env.count("recognition_queue") == 0; }, seconds(5)));
    std::this_thread::sleep_for(milliseconds(4 * kPeriodMs));
    EXPECT_EQ(env.recognitionsOf(sid).size(), 1u) << "sent once only";
    EXPECT_EQ(env.cloud.received("attributes").size(), 1u) << "attributes sent once while nothing changes";
}

TEST(CloudRecognition, ConnectionCheckFollowsTheToken) {
    // The token endpoint refuses at first: no token, then one once it recovers.
    CloudAgent env(
        {}, [](CloudAgent& e) { e.cloud.fault(R"({"target":"token","mode":"status","status":401})"); });
    ASSERT_TRUE(
        waitUntil([&] { return env.log().find("Auth error, http response code: 401") != std::string::npos; },
                  seconds(20)))
        << env.log();
    EXPECT_EQ(checkConnect(), -10002);
    env.cloud.fault(R"({"target":"token","mode":"none"})");
    EXPECT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20))) << env.log();
}

TEST(CloudRecognition, RefusedByTheCloudStaysQueuedUntilItIsTakenOnce) {
    CloudAgent env;
    ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20)));
    env.cloud.fault(R"({"target":"recognition","mode":"status","status":500,"count":3})");
    env.cloud.fault(R"({"target":"alert","mode":"status","status":500,"count":2})");
    const std::string first = env.sale("1001");
    const std::string second = env.sale("1003");
    // A module answering garbage makes one alert.
    env.module.fault(R"({"mode":"nonjson","count":1})");
    EXPECT_EQ(agentJson("GET", "/api/get_device_info").at("code").to_number<int>(), -6103);

    ASSERT_TRUE(waitUntil(
        [&] { return !env.recognitionsOf(second).empty() && env.cloud.received("alerts").size() == 1; },
        seconds(30)))
        << env.log();
    std::this_thread::sleep_for(milliseconds(4 * kPeriodMs));
    EXPECT_EQ(env.recognitionsOf(first).size(), 1u);
    EXPECT_EQ(env.recognitionsOf(second).size(), 1u);
    EXPECT_EQ(env.cloud.received("alerts").size(), 1u);
    EXPECT_EQ(env.count("recognition_queue"), 0);
    EXPECT_EQ(env.count("alert_queue"), 0);
    // The first one's picture went up before its refused POSTs; the resend carries the same URL.
    const std::string url(env.recognitionsOf(first).front().at("recognition_image_url").as_string());
    EXPECT_NE(url.find(first + ".jpg"), std::string::npos) << url;
    int refused = 0;
    for (const auto& request : env.cloud.received("requests")) {
        const auto& r = request.as_object();
        if (endsWith(std::string(r.at("path").as_string()), "/recognition") &&
            r.at("status").to_number<int>() == 500) {
            ++refused;
        }
    }
    EXPECT_EQ(refused, 3);
}

TEST(CloudToken, ShortLifetimesAreRenewedAndARefusedRenewalAuthenticatesAgain) {
    // Renewal is due when less than a minute is left: with 61 s every iteration
    // renews with the refresh token. Once the service forgets its refresh tokens,
    // the renewal is refused and the agent authenticates with its secret.
    CloudAgent env({"--token-lifetime", "61"});
    const auto count = [&](bool refresh, int status) {
        int n = 0;
        for (const auto& r : env.cloud.received("token_requests")) {
            n += r.at("refresh").as_bool() == refresh && r.at("status").to_number<int>() == status;
        }
        return n;
    };
    ASSERT_TRUE(waitUntil([&] { return count(true, 200) >= 2; }, seconds(20)))
        << json::serialize(env.cloud.received("token_requests"));
    EXPECT_EQ(count(false, 200), 1);
    env.cloud.call("POST", "/control/token/revoke", R"({"refresh":true})", "application/json");
    EXPECT_TRUE(waitUntil([&] { return count(true, 401) >= 1 && count(false, 200) >= 2; }, seconds(20)))
        << json::serialize(env.cloud.received("token_requests"));
    EXPECT_NE(env.log().find("refresh token fails with http code: 401"), std::string::npos);
    EXPECT_EQ(checkConnect(), 0);
    const std::string sid = env.sale();
    EXPECT_TRUE(waitUntil([&] { return !env.recognitionsOf(sid).empty(); }, seconds(20))) << env.log();
}

TEST(CloudToken, StandardShortAnswerFromTheSimulatorIsRenewedByAuthenticating) {
    CloudAgent env({"--short-token", "--token-lifetime", "61"});
    ASSERT_TRUE(waitUntil([&] { return env.cloud.received("token_requests").size() >= 3; }, seconds(20)));
    for (const auto& r : env.cloud.received("token_requests")) {
        EXPECT_FALSE(r.at("refresh").as_bool()) << json::serialize(r);
    }
    EXPECT_EQ(checkConnect(), 0);
}

TEST(CloudToken, StandardOAuthServerGrantsTheAgentAToken) {
    // oidc-provider stands in for the monitoring service: it only knows the token
    // route, so the agent holds a token and its other calls are refused.
    TempDir output, home;
    ModuleSimPeer module(output.path());
    S3rverPeer storage;
    OidcPeer oidc(CloudSimPeer::kClientSecret);
    AgentProcess agent(home.path(), peersConfig(module.port(), oidc.baseUrl(), storage));
    ASSERT_TRUE(agent.waitReady());
    EXPECT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20))) << agent.todaysLog();
    EXPECT_NE(agent.todaysLog().find("Access token received and have size: "), std::string::npos)
        << agent.todaysLog();
    EXPECT_EQ(agent.stop(), 0);
}

// ---- attributes, registry, re-initialisation ----

TEST(CloudAttributes, SentAgainAfterASettingTheModuleAccepted) {
    CloudAgent env;
    ASSERT_TRUE(waitUntil([&] { return env.cloud.received("attributes").size() == 1; }, seconds(20)));
    const json::object change = agentJson("POST", "/api/set_predict_speed", R"({"speed":"fast"})");
    ASSERT_EQ(change.at("code").to_number<int>(), 0) << json::serialize(change);
    ASSERT_TRUE(waitUntil([&] { return env.cloud.received("attributes").size() == 2; }, seconds(10)));
    EXPECT_NE(json::serialize(env.cloud.received("attributes").at(1)).find("fast"), std::string::npos)
        << json::serialize(env.cloud.received("attributes").at(1));
    // A read changes nothing.
    EXPECT_EQ(agentJson("GET", "/api/get_calib").at("code").to_number<int>(), 0);
    std::this_thread::sleep_for(milliseconds(5 * kPeriodMs));
    EXPECT_EQ(env.cloud.received("attributes").size(), 2u);
}

TEST(CloudRegistry, PassesTheServiceAnswerThroughAndSubstitutesWhenItIsGone) {
    CloudAgent env;
    ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20)));
    const HttpAnswer stores = agentCall("GET", "/api/monitoring/stores");
    EXPECT_EQ(stores.status, 200) << stores.body;
    EXPECT_NE(stores.body.find("\"data\""), std::string::npos) << stores.body;

    env.cloud.fault(R"({"target":"registry","mode":"status","status":503})");
    const HttpAnswer refused = agentCall("GET", "/api/monitoring/stores");
    EXPECT_NE(refused.status, 200) << refused.body;

    env.cloud.stop();
    const HttpAnswer gone = agentCall("GET", "/api/monitoring/stores");
    EXPECT_EQ(gone.status, 502) << gone.body;
}

TEST(CloudReinit, SetConfigRebuildsTheClientWhileRequestsAndTheWorkerRun) {
    CloudAgent env;
    ASSERT_TRUE(waitUntil([] { return checkConnect() == 0; }, seconds(20)));
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            while (!done) {
                try {
                    if (agentCall("GET", "/api/get_device_info").status != 200) {
                        ++failures;
                    }
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    for (int round = 0; round < 5; ++round) {
        const json::object answer =
            agentJson("POST", "/api/agent/set_config",
                      R"({"monitoring_request_frequency":)" + std::to_string(kPeriodMs + round) + "}");
        EXPECT_EQ(answer.at("code").to_number<int>(), 0) << json::serialize(answer);
    }
    const std::string sid = env.sale();
    done = true;
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(waitUntil([&] { return !env.recognitionsOf(sid).empty(); }, seconds(20))) << env.log();
    EXPECT_EQ(configValue("monitoring_request_frequency"), json::value(kPeriodMs + 4));
}

// ---- remote tasks ----

struct RemoteTask {
    std::string name;
    std::string type;
    std::string data;  // JSON text
    std::function<void(CloudAgent&)> arrange;
    std::string kind;  // "confirm", "reject" or "error"
    // reject: the description; error: the "error" member; confirm: unused.
    std::string code;
    std::string description;  // error: the description as a shell pattern
    std::function<void(CloudAgent&, const json::object& body)> check;
};

std::ostream& operator<<(std::ostream& out, const RemoteTask& c) {
    return out << c.name;
}

const std::string kEvoA = patterned(1200, 'a');
const std::string kEvoB = patterned(3400, 'b');
const std::string kPackage = patterned(30000, 'p');

void urlHolds(CloudAgent& env, const json::object& body, const std::string& keyPattern,
              const std::function<void(const std::string&)>& content) {
    ASSERT_EQ(body.size(), 1u) << json::serialize(body);
    const std::string url(body.at("url").as_string());
    EXPECT_TRUE(matchesMessage("*/" + kKeyPrefix + keyPattern, url)) << url;
    content(env.objectAt(url));
}

json::object valueOf(const json::object& body) {
    return json::parse(body.at("value").as_string()).as_object();
}

const std::string kModuleCommandFailed = "Ошибка при выполнении команды. *";

const RemoteTask kTasks[] = {
    {"UnknownTypeIsRejected", "reboot", "{}", nullptr, "reject", "Неизвестная задача: reboot", "", nullptr},
    {"UnknownCommandIsRejected", "exec_command", R"({"kind":"x","cmd":"self_destruct","args":{}})", nullptr,
     "reject", "Неизвестная команда: exec_command", "", nullptr},
    {"ModuleCommandAnswersWithTheModulesAnswer", "exec_command",
     R"({"kind":"x","cmd":"get_device_info","args":{}})", nullptr, "confirm", "", "",
     [](CloudAgent&, const json::object& body) {
         const auto& value = body.at("value").as_object();
         EXPECT_EQ(value.at("code").to_number<int>(), 0);
         EXPECT_EQ(value.at("data").at("sn").as_string(), CloudSimPeer::kDeviceSerial);
     }},
    {"ModuleRefusalIsReportedWithItsCodeAndAnswer", "exec_command",
     R"({"kind":"x","cmd":"get_calib","args":{}})",
     [](CloudAgent& env) { env.module.fault(R"({"mode":"refuse","code":-6213,"commands":["get_calib"]})"); },
     "error", "-6213", kModuleCommandFailed,
     [](CloudAgent&, const json::object& body) {
         EXPECT_EQ(valueOf(body).at("code").to_number<int>(), -6213);
     }},
    {"CommandWithoutArgsIsASystemError", "exec_command", R"({"kind":"x","cmd":"get_calib"})", nullptr,
     "error", "Системная ошибка", "*args*", nullptr},
    {"CameraPictureGoesToStorage", "exec_command", R"({"kind":"x","cmd":"get_image","args":{}})", nullptr,
     "confirm", "", "",
     [](CloudAgent& env, const json::object& body) {
         urlHolds(env, body, "CameraScreens/*.jpeg",
                  [](const std::string& picture) { EXPECT_EQ(picture.substr(0, 2), "\xFF\xD8"); });
     }},
    {"SettingIsAppliedAndTheAttributesFollow", "exec_command",
     R"({"kind":"x","cmd":"set_predict_speed","args":{"speed":"slow"}})", nullptr, "confirm", "", "",
     [](CloudAgent& env, const json::object& body) {
         EXPECT_EQ(body.at("value").at("code").to_number<int>(), 0);
         EXPECT_TRUE(waitUntil(
             [&] {
                 const auto all = env.cloud.received("attributes");
                 return all.size() >= 2 && json::serialize(all.back()).find("slow") != std::string::npos;
             },
             seconds(10)));
     }},
    {"LogFileIsStored", "download_log_file", "{}", nullptr, "confirm", "", "",
     [](CloudAgent& env, const json::object& body) {
         urlHolds(env, body, "Logs/*.log", [](const std::string& log) {
             EXPECT_NE(log.find("Server started on port 5555;"), std::string::npos);
         });
     }},
    {"ConfigFileCarriesTheSecretsInPlainText", "download_config_file", R"({"format":"json"})", nullptr,
     "confirm", "", "",
     [](CloudAgent& env, const json::object& body) {
         urlHolds(env, body, kDevice + "_*.json", [](const std::string& text) {
             const json::object config = json::parse(text).as_object();
             EXPECT_EQ(config.at("velmora_monitoring_client_secret").as_string(),
                       CloudSimPeer::kClientSecret);
             EXPECT_EQ(config.at("file_storage_service_password").as_string(), S3rverPeer::kSecretKey);
         });
     }},
    {"ConfigFileWithoutParametersIsRefused", "download_config_file", "{}", nullptr, "error",
     "Обработанное исключение", "Ошибка обработки входных параметров", nullptr},
    {"ConfigUploadIsAppliedAndTheClientRebuilt", "upload_config_file",
     R"({"exportType":"s3","filePath":"configs/new.json"})",
     [](CloudAgent& env) {
         env.putObject("configs/new.json", R"({"zz_from_task": 7, "logging_level": "info"})");
     },
     "confirm", "", "",
     [](CloudAgent& env, const json::object& body) {
         EXPECT_TRUE(body.empty()) << json::serialize(body);
         EXPECT_EQ(configValue("zz_from_task"), json::value(7));
         EXPECT_TRUE(waitUntil(
             [&] { return env.log().find("Monitoring started after reinit;") != std::string::npos; },
             seconds(10)));
     }},
    {"ConfigUploadWithAnUnusablePortStoresNothing", "upload_config_file",
     R"({"exportType":"s3","filePath":"configs/port.json"})",
     [](CloudAgent& env) {
         env.putObject("configs/port.json", R"({"zz_refused": 1, "device_port": "70000"})");
     },
     "error", "Обработанное исключение", "*device_port*",
     [](CloudAgent&, const json::object&) {
         EXPECT_TRUE(configValue("zz_refused").is_null());
         EXPECT_EQ(configValue("device_port").as_string().size() > 0, true);
         EXPECT_NE(configValue("device_port"), json::value("70000"));
     }},
    {"ConfigUploadWithoutFilePathIsASystemError", "upload_config_file", R"({"exportType":"s3"})", nullptr,
     "error", "Системная ошибка", "filePath: *", nullptr},
    {"UpgradeCompletes", "upload_update_file",
     R"({"exportType":"s3","filePath":"firmware/pkg.evo","isDowngrade":false})",
     [](CloudAgent& env) { env.putObject("firmware/pkg.evo", kPackage); }, "confirm", "", "",
     [](CloudAgent& env, const json::object& body) {
         EXPECT_TRUE(body.empty()) << json::serialize(body);
         const auto upgrade = env.moduleState().at("uploads").at("upgrade");
         EXPECT_EQ(upgrade.at("size").to_number<std::size_t>(), kPackage.size());
     }},
    {"UpgradeWhoseStatusTurnsToAFailure", "upload_update_file",
     R"({"exportType":"s3","filePath":"firmware/pkg.evo","isDowngrade":true})",
     [](CloudAgent& env) {
         env.putObject("firmware/pkg.evo", kPackage);
         env.module.fault(R"({"fail_jobs":["upgrade"]})");
     },
     "error", "Обработанное исключение", "Ошибка загрузки файла на устройство: fail to upgrade", nullptr},
    {"UpgradeWithoutIsDowngradeIsASystemError", "upload_update_file",
     R"({"exportType":"s3","filePath":"firmware/pkg.evo"})", nullptr, "error", "Системная ошибка",
     "isDowngrade: *", nullptr},
    {"BackupIsExportedAndStored", "download_recognition_backup_file",
     R"({"recognitionType":"evo","extension":"evom"})", nullptr, "confirm", "", "",
     [](CloudAgent& env, const json::object& body) {
         urlHolds(env, body, "Backups/" + kDevice + ".evo",
                  [](const std::string& archive) { EXPECT_EQ(archive.substr(0, 2), "PK"); });
     }},
    {"RestoreImportsTheLastEvoOfTheArchive", "upload_recognition_backup_file",
     R"({"exportType":"s3","recognitionType":"evo","filePath":"backups/shop.evom"})",
     [](CloudAgent& env) {
         env.putObject(
             "backups/shop.evom",
             zipArchive(
                 {{"a.evo", kEvoA}, {"docs/", ""}, {"b.evo", kEvoB}, {"readme.txt", patterned(77, 'r')}}));
     },
     "confirm", "", "",
     [](CloudAgent& env, const json::object& body) {
         EXPECT_TRUE(body.empty()) << json::serialize(body);
         const auto imported = env.moduleState().at("uploads").at("import");
         EXPECT_EQ(imported.at("size").to_number<std::size_t>(), kEvoB.size());
     }},
    {"RestoreKeepsTheTemplatesWhenTheDownloadFails", "upload_recognition_backup_file",
     R"({"exportType":"s3","recognitionType":"evo","filePath":"backups/none.evom","cleanBeforeInstallation":true})",
     nullptr, "error", "Обработанное исключение", "Файл не существует: *",
     [](CloudAgent& env, const json::object&) {
         int templates = 0;
         const json::object state = env.moduleState();
         for (const auto& [id, n] : state.at("items").as_object()) {
             templates += n.to_number<int>();
         }
         EXPECT_GT(templates, 0);
         EXPECT_TRUE(env.moduleState().at("uploads").at("import").is_null());
     }},
    {"RestoreRefusesAZipBomb", "upload_recognition_backup_file",
     R"({"exportType":"s3","recognitionType":"evo","filePath":"backups/bomb.evom"})",
     [](CloudAgent& env) {
         env.putObject("backups/bomb.evom",
                       declareSize(zipArchive({{"bomb.evo", std::string(5000, 'z')}}), 0xF0000000u));
     },
     "error", "Обработанное исключение", "Archive too large: *",
     [](CloudAgent& env, const json::object&) {
         EXPECT_TRUE(env.moduleState().at("uploads").at("import").is_null());
     }},
};

class RemoteTasks : public ::testing::TestWithParam<RemoteTask> {
protected:
    static void SetUpTestSuite() { env_ = std::make_unique<CloudAgent>(); }
    static void TearDownTestSuite() { env_.reset(); }
    static std::unique_ptr<CloudAgent> env_;
};
std::unique_ptr<CloudAgent> RemoteTasks::env_;

TEST_P(RemoteTasks, EndWithTheirAnswer) {
    const RemoteTask& c = GetParam();
    CloudAgent& env = *env_;
    httpCall(env.module.port(), "POST", "/control/reset");
    ASSERT_TRUE(waitUntil([] { return configValue("velmora_monitoring_device_id") == json::value(kDevice); },
                          seconds(20)));
    if (c.arrange) {
        c.arrange(env);
    }
    const std::string id = env.cloud.enqueueTask(kDevice, "", c.type, c.data);
    const json::value answer = env.answerOf(id);
    ASSERT_TRUE(answer.is_object()) << "no answer to " << c.type << "\n" << env.log();
    const json::object& body = answer.at("body").as_object();
    EXPECT_EQ(answer.at("kind").as_string(), c.kind) << json::serialize(answer);
    if (c.kind == "reject") {
        EXPECT_EQ(json::serialize(body), json::serialize(json::object{{"description", c.code}}));
    } else if (c.kind == "error") {
        EXPECT_EQ(body.at("error").as_string(), c.code) << json::serialize(body);
        EXPECT_TRUE(matchesMessage(c.description, std::string(body.at("description").as_string())))
            << json::serialize(body);
    }
    if (c.check && answer.at("kind").as_string() == c.kind) {
        c.check(env, body);
    }
    // Exactly one answer, and nothing left in the temporary folder.
    std::this_thread::sleep_for(milliseconds(2 * kPeriodMs));
    EXPECT_EQ(env.cloud.taskAnswers(id).size(), 1u);
    EXPECT_TRUE(filesIn(env.tmp.path()).empty()) << "left behind: " << filesIn(env.tmp.path()).front();
}

INSTANTIATE_TEST_SUITE_P(Cloud, RemoteTasks, ::testing::ValuesIn(kTasks),
                         [](const ::testing::TestParamInfo<RemoteTask>& info) { return info.param.name; });

}  // namespace
