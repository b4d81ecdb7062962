// The remote task handlers against real peers: the module simulator, s3rver as the
// object storage, a migrated agent database and the configuration map loaded from
// it. Every case also checks that the task left no file in the temporary directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <typeinfo>

#include <Poco/Data/Session.h>
#include <Poco/DateTime.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/URI.h>
#include <boost/json.hpp>

#include "captured_log.h"
#include "config_store.h"
#include "crypto.h"
#include "driver.h"
#include "errors.h"
#include "evom.h"
#include "json_text.h"
#include "logger.h"
#include "module_sim_peer.h"
#include "queries.h"
#include "s3client_provider.h"
#include "s3rver_fixture.h"
#include "storage_fixture.h"
#include "task_bench.h"
#include "task_handler_provider.h"
#include "task_handler_provider_internal.h"
#include "test_support.h"
#include "zip_archive.h"

namespace {

using namespace orvix::test;
using Poco::JSON::Object;
using velmora::Engine::Driver::OrvixDriver;
using velmora::Engine::Sync::S3ClientProvider;
using velmora::Engine::Sync::TaskHandlerProvider;
using velmora::Utils::ConfigMap;
using velmora::Utils::Models::Task;

const std::string& kDeviceId = kTaskDeviceId;
const std::string& kKeyPrefix = kTaskKeyPrefix;
const std::string kSecret = "pw-Секрет+1 \"quoted\"";
const std::string kClientSecret = "client-secret-42";

const std::string kRuntime = "std::runtime_error";
const std::string kLogic = "std::logic_error";
const std::string kHardware = "velmora::Utils::Errors::HardwareException";
const std::string kJsonError = "boost::system::system_error";

const std::string kBadParameters = "Ошибка обработки входных параметров";
const std::string kStorageGone = "Внутренняя ошибка работы с файловым хранилищем";
const std::string kModuleGone = "Внутренняя ошибка работы с устройством";
const std::string kFileProblem = "Внутренняя ошибка работы с запрашиваемым файлом";
const std::string kUnsupported = "Неподдерживаемый тип файлового хранилища";

using Bench = TaskBench;

using Handler = void (TaskHandlerProvider::*)(Task&);
const std::map<std::string, Handler>& handlers() {
    static const std::map<std::string, Handler> table = {
        {"download_log_file", &TaskHandlerProvider::handleDownloadLogFile},
        {"download_config_file", &TaskHandlerProvider::handleDownloadConfigFile},
        {"upload_config_file", &TaskHandlerProvider::handleUploadConfigFile},
        {"upload_update_file", &TaskHandlerProvider::handleUploadUpdateFile},
        {"download_recognition_backup_file", &TaskHandlerProvider::handleDownloadRecognitionBackupFile},
        {"upload_recognition_backup_file", &TaskHandlerProvider::handleUploadRecognitionBackupFile},
        {"handleDownloadBackupFile", &TaskHandlerProvider::handleDownloadBackupFile},
        {"handleUploadBackupFile", &TaskHandlerProvider::handleUploadBackupFile},
    };
    return table;
}

struct TaskCase {
    std::string name;
    std::string type;  // the task type, or the name of a handler no type reaches
    std::string data;  // the task's parameters as JSON text
    std::function<void(Bench&)> arrange;
    std::string thrown;   // "" for success
    std::string code;     // HardwareException code text
    std::string message;  // what() as a shell pattern; "{date}" stands for today's local date
    std::function<void(Bench&, const Task&)> check;
};

std::ostream& operator<<(std::ostream& out, const TaskCase& c) {
    return out << c.name;
}

class TaskHandlerCases : public ::testing::TestWithParam<TaskCase> {
protected:
    static void SetUpTestSuite() { peers_ = std::make_unique<TaskPeers>(); }
    static void TearDownTestSuite() { peers_.reset(); }
    static std::unique_ptr<TaskPeers> peers_;
};
std::unique_ptr<TaskPeers> TaskHandlerCases::peers_;

TEST_P(TaskHandlerCases, Outcome) {
    const TaskCase& c = GetParam();
    Bench bench(*peers_);
    if (c.arrange) {
        c.arrange(bench);
    }
    bench.log = std::make_unique<CapturedLog>();
    TaskHandlerProvider provider(bench.storage, bench.config, bench.driver, bench.lock, bench.database.db());
    Task task{"7", c.type, boost::json::parse(c.data).as_object(), {}};
    const TaskOutcome outcome =
        runWithTmpdir(bench.taskTmp.path(), [&] { (provider.*handlers().at(c.type))(task); });
    EXPECT_EQ(outcome.thrown, c.thrown) << outcome.message;
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_TRUE(matchesMessage(c.message, outcome.message))
        << "message: " << outcome.message << "\npattern: " << c.message;
    EXPECT_TRUE(filesIn(bench.taskTmp.path()).empty())
        << "left behind: " << filesIn(bench.taskTmp.path()).front();
    if (c.check) {
        c.check(bench, task);
    }
}

// ---- arrangements and checks shared by several cases ----

void noStorage(Bench& b) {
    b.storage.reset();
}
void noDriver(Bench& b) {
    b.driver.reset();
}
void dailyLog(Bench& b) {
    velmora::Engine::Logging::Logger::GetInstance().Initialize(b.logs.path());
    velmora::Engine::Logging::log().info("marker line of the log task");
}
std::string todaysLog(Bench& b) {
    return b.logs.file("orvix_" + todayLocal() + ".log");
}
void resultIsUrlOf(Bench& b, const Task& task, const std::string& key) {
    ASSERT_EQ(task.result.size(), 1u) << boost::json::serialize(task.result);
    EXPECT_EQ(task.result.at("url").as_string(), b.storage->getObjectUrl(key));
}
void resultIsEmpty(Bench&, const Task& task) {
    EXPECT_TRUE(task.result.empty()) << boost::json::serialize(task.result);
}
void moduleNotUpgraded(Bench& b, const Task&) {
    EXPECT_TRUE(b.moduleState()->getObject("uploads")->isNull("upgrade"));
}
void nothingImported(Bench& b, const Task&) {
    EXPECT_TRUE(b.moduleState()->getObject("uploads")->isNull("import"));
}
// The size of the package the module received for import (-1: none).
long long importedSize(Bench& b) {
    auto uploads = b.moduleState()->getObject("uploads");
    if (uploads->isNull("import")) {
        return -1;
    }
    EXPECT_EQ(uploads->getObject("import")->getValue<std::string>("filename"), "import_template.evo");
    return uploads->getObject("import")->getValue<long long>("size");
}
int templatesOnModule(Bench& b) {
    auto items = b.moduleState()->getObject("items");
    int count = 0;
    for (const auto& [id, n] : *items) {
        count += n.convert<int>();
    }
    return count;
}
void configUnchanged(Bench& b, const Task&) {
    EXPECT_EQ(b.config.count("zz_from_task"), 0u);
    EXPECT_EQ(b.row("COUNT(*)", "zz_from_task"), "0");
}

const std::string kSeedTemplates = "16";  // what the simulator starts with
const std::string kNewConfig =
    R"({"logging_level": "warn", "zz_from_task": 7, "file_storage_service_login": "login-from-task"})";
const std::string kPackage = patterned(30000, 'p');
const std::string kEvoA = patterned(1200, 'a');
const std::string kEvoB = patterned(3400, 'b');

std::string evomArchive() {
    return zipArchive(
        {{"b.evo", kEvoB}, {"docs/", ""}, {"a.evo", kEvoA}, {"readme.txt", patterned(77, 'r')}});
}

const TaskCase kCases[] = {
    // ---- download_log_file ----
    {"LogStoredUnderLogsWithUnixTime", "download_log_file", "{}", dailyLog, "", "", "",
     [](Bench& b, const Task& task) {
         const std::string url(task.result.at("url").as_string());
         const std::string base = b.storage->getObjectUrl(kKeyPrefix + "Logs/");
         ASSERT_EQ(url.rfind(base, 0), 0u) << url;
         const std::string stamp = url.substr(base.size(), url.size() - base.size() - 4);
         EXPECT_EQ(url.substr(url.size() - 4), ".log");
         EXPECT_NEAR(std::stoll(stamp), static_cast<long long>(std::time(nullptr)), 30);
         const std::string stored = b.getObject(kKeyPrefix + "Logs/" + stamp + ".log");
         EXPECT_NE(stored.find("marker line of the log task"), std::string::npos);
         // The file goes on growing; what was sent is what it held then.
         EXPECT_EQ(readFile(todaysLog(b)).rfind(stored, 0), 0u);
         EXPECT_EQ(b.log->count("info", "Log file was uploaded to S3: " + url + ";"), 1u);
     }},
    {"LogNotYetWritten", "download_log_file", "{}",
     [](Bench& b) {
         dailyLog(b);
         std::filesystem::remove(todaysLog(b));
     },
     kRuntime, "", "Файл не найден",
     [](Bench& b, const Task&) {
         EXPECT_EQ(b.log->count("error", "Log file not found: " + todaysLog(b)), 1u);
     }},
    {"LogWithStorageGone", "download_log_file", "{}",
     [](Bench& b) {
         dailyLog(b);
         noStorage(b);
     },
     kRuntime, "", kStorageGone,
     [](Bench& b, const Task&) {
         EXPECT_EQ(b.log->count("error", "S3ClientProvider expired; cannot upload log file to S3;"), 1u);
     }},
    {"LogUploadFails", "download_log_file", "{}",
     [](Bench& b) {
         dailyLog(b);
         b.unreachableStorage();
     },
     kRuntime, "",
     "Ошибка подключения к файловому хранилищу " + kKeyPrefix + "Logs/*.log и загрузки файла в него",
     [](Bench& b, const Task&) { EXPECT_TRUE(std::filesystem::exists(todaysLog(b))); }},
    {"LogWithoutDeviceId", "download_log_file", "{}",
     [](Bench& b) {
         dailyLog(b);
         b.config.erase("velmora_monitoring_device_id");
     },
     "std::out_of_range", "", "*", nullptr},

    // ---- download_config_file ----
    {"ConfigWithSecretsInPlainText", "download_config_file", R"({"format": "json"})",
     [](Bench& b) {
         b.importConfig(R"({"file_storage_service_password": )" +
                        boost::json::serialize(boost::json::value(kSecret)) +
                        R"(, "velmora_monitoring_client_secret": ")" + kClientSecret + R"("})");
     },
     "", "", "",
     [](Bench& b, const Task& task) {
         const std::string key = kKeyPrefix + kDeviceId + "_" + todayLocal() + ".json";
         resultIsUrlOf(b, task, key);
         const Object::Ptr uploaded = parseObject(b.getObject(key));
         EXPECT_EQ(uploaded->getValue<std::string>("file_storage_service_password"), kSecret);
         EXPECT_EQ(uploaded->getValue<std::string>("velmora_monitoring_client_secret"), kClientSecret);
         EXPECT_EQ(uploaded->getValue<std::string>("velmora_monitoring_device_id"), kDeviceId);
         EXPECT_EQ(uploaded->size(), b.config.size());
         // The table keeps them encrypted; the log line does not show them.
         EXPECT_EQ(b.row("type", "file_storage_service_password"), "encrypted_string");
         EXPECT_EQ(velmora::Utils::Crypto::decrypt(b.row("value", "file_storage_service_password")), kSecret);
         EXPECT_EQ(b.log->countContaining("Created json string from global config: {"), 1u);
         EXPECT_EQ(b.log->countContaining(kClientSecret), 0u);
         EXPECT_EQ(b.log->countContaining("pw-Секрет"), 0u);
     }},
    {"ConfigWithEmptyData", "download_config_file", "{}", nullptr, kRuntime, "", kBadParameters,
     [](Bench& b, const Task&) {
         EXPECT_EQ(b.log->count("error", "handleDownloadConfigFile: empty payload"), 1u);
     }},
    {"ConfigWithStorageGone", "download_config_file", R"({"a": 1})", noStorage, kRuntime, "", kStorageGone,
     nullptr},
    // The file held the secrets in plain text: it goes also when the upload failed.
    {"ConfigUploadFails", "download_config_file", R"({"a": 1})", [](Bench& b) { b.unreachableStorage(); },
     kRuntime, "",
     "Ошибка подключения к файловому хранилищу " + kKeyPrefix + kDeviceId +
         "_{date}.json и загрузки файла в него",
     nullptr},

    // ---- upload_config_file ----
    {"ConfigApplied", "upload_config_file", R"({"exportType": "s3", "filePath": "configs/new.json"})",
     [](Bench& b) { b.putObject("configs/new.json", kNewConfig); }, "", "", "",
     [](Bench& b, const Task& task) {
         resultIsEmpty(b, task);
         EXPECT_EQ(b.config.at("logging_level").convert<std::string>(), "warn");
         EXPECT_EQ(b.config.at("zz_from_task").convert<int>(), 7);
         EXPECT_EQ(b.config.at("file_storage_service_login").convert<std::string>(), "login-from-task");
         EXPECT_EQ(b.row("value", "logging_level"), "warn");
         EXPECT_EQ(b.row("type", "zz_from_task"), "int");
         EXPECT_EQ(b.row("type", "file_storage_service_login"), "encrypted_string");
         EXPECT_EQ(velmora::Utils::Crypto::decrypt(b.row("value", "file_storage_service_login")),
                   "login-from-task");
         EXPECT_EQ(b.log->count("info", "handleUploadConfigFile: global config update from configs/new.json"),
                   1u);
     }},
    {"ConfigFromFtp", "upload_config_file", R"({"exportType": "ftp", "filePath": "configs/new.json"})",
     [](Bench& b) { b.putObject("configs/new.json", kNewConfig); }, kLogic, "", kUnsupported,
     configUnchanged},
    {"ConfigWithoutFilePath", "upload_config_file", R"({"exportType": "s3"})", nullptr, kJsonError, "",
     "filePath: *", nullptr},
    {"ConfigWithNumericExportType", "upload_config_file",
     R"({"exportType": 3, "filePath": "configs/new.json"})", nullptr, kJsonError, "", "exportType: *",
     nullptr},
    {"ConfigUploadWithEmptyData", "upload_config_file", "{}", nullptr, kRuntime, "", kBadParameters, nullptr},
    {"ConfigWithNullMember", "upload_config_file", R"({"exportType": "s3", "filePath": "configs/null.json"})",
     [](Bench& b) { b.putObject("configs/null.json", R"({"zz_from_task": "kept out", "zz_null": null})"); },
     "velmora::Utils::InvalidConfigError", "", "zz_null: Invalid config value type", configUnchanged},
    // Checked as set_config checks it: a port the agent could not run with is refused
    // and nothing of the file is stored.
    {"ConfigWithUnusablePort", "upload_config_file",
     R"({"exportType": "s3", "filePath": "configs/port.json"})",
     [](Bench& b) {
         b.putObject("configs/port.json", R"({"zz_from_task": "kept out", "device_port": "70000"})");
     },
     "velmora::Utils::InvalidConfigError", "", "device_port*", configUnchanged},
    {"ConfigMissingInStorage", "upload_config_file",
     R"({"exportType": "s3", "filePath": "configs/none.json"})", nullptr, kRuntime, "", kFileProblem,
     nullptr},
    {"ConfigThatIsAnArray", "upload_config_file", R"({"exportType": "s3", "filePath": "configs/list.json"})",
     [](Bench& b) { b.putObject("configs/list.json", "[1, 2]"); }, kRuntime, "",
     "Ошибка обработки конфигурационных данных", configUnchanged},
    {"ConfigThatIsNotJson", "upload_config_file", R"({"exportType": "s3", "filePath": "configs/bad.json"})",
     [](Bench& b) { b.putObject("configs/bad.json", "{\"zz_from_task\": "); }, kRuntime, "", "?*",
     configUnchanged},
    {"ConfigUploadWithStorageGone", "upload_config_file",
     R"({"exportType": "s3", "filePath": "configs/new.json"})", noStorage, kRuntime, "", kStorageGone,
     nullptr},

    // ---- upload_update_file ----
    {"UpgradeCompleted", "upload_update_file",
     R"({"exportType": "s3", "filePath": "firmware/pkg.evo", "isDowngrade": false})",
     [](Bench& b) { b.putObject("firmware/pkg.evo", kPackage); }, "", "", "",
     [](Bench& b, const Task& task) {
         resultIsEmpty(b, task);
         auto module = b.moduleState();
         EXPECT_EQ(module->getObject("device_info")->getValue<std::string>("firmware"), "1.12.4");
         auto upgrade = module->getObject("uploads")->getObject("upgrade");
         EXPECT_EQ(upgrade->getValue<std::string>("filename"), "offline_upgrade.evo");
         EXPECT_EQ(upgrade->getValue<std::size_t>("size"), kPackage.size());
         EXPECT_EQ(b.log->count("info", "Offline upgrade completed: completed"), 1u);
     }},
    {"UpgradeTurnsToAFailure", "upload_update_file",
     R"({"exportType": "s3", "filePath": "firmware/pkg.evo", "isDowngrade": true})",
     [](Bench& b) {
         b.putObject("firmware/pkg.evo", kPackage);
         b.fault(R"({"fail_jobs": ["upgrade"]})");
     },
     kRuntime, "", "Ошибка загрузки файла на устройство: fail to upgrade",
     [](Bench& b, const Task&) {
         EXPECT_GE(b.log->countContaining("Checking offline upgrade status (attempt #2)"), 1u);
         EXPECT_EQ(b.log->count("error", "offline upgrade failed with status 5: fail to upgrade"), 1u);
     }},
    {"UpgradeWithoutIsDowngrade", "upload_update_file",
     R"({"exportType": "s3", "filePath": "firmware/pkg.evo"})",
     [](Bench& b) { b.putObject("firmware/pkg.evo", kPackage); }, kJsonError, "", "isDowngrade: *",
     moduleNotUpgraded},
    {"UpgradeWithTextIsDowngrade", "upload_update_file",
     R"({"exportType": "s3", "filePath": "firmware/pkg.evo", "isDowngrade": "no"})", nullptr, kJsonError, "",
     "isDowngrade: *", moduleNotUpgraded},
    {"UpgradePackageMissing", "upload_update_file",
     R"({"exportType": "s3", "filePath": "firmware/none.evo", "isDowngrade": false})", nullptr, kRuntime, "",
     "Файл не существует: неправильный путь к файлу или нет подключения к сети Интернет", moduleNotUpgraded},
    {"UpgradeRefusedByModule", "upload_update_file",
     R"({"exportType": "s3", "filePath": "firmware/pkg.evo", "isDowngrade": false})",
     [](Bench& b) {
         b.putObject("firmware/pkg.evo", kPackage);
         b.fault(R"({"mode": "refuse", "code": -6211, "commands": ["offline_upgrade"]})");
     },
     kHardware, "-6211", "Ошибка при выполнении команды: File verification failed", nullptr},
    {"UpgradeWithDriverGone", "upload_update_file",
     R"({"exportType": "s3", "filePath": "firmware/pkg.evo", "isDowngrade": false})", noDriver, kRuntime, "",
     kModuleGone, nullptr},
    {"UpgradeFromFtp", "upload_update_file",
     R"({"exportType": "ftp", "filePath": "firmware/pkg.evo", "isDowngrade": false})", nullptr, kLogic, "",
     kUnsupported, moduleNotUpgraded},

    // ---- download_recognition_backup_file ----
    {"BackupExportedAndStored", "download_recognition_backup_file",
     R"({"recognitionType": "evo", "extension": "evom", "productCodes": ["1001", 5, "1003"]})", nullptr, "",
     "", "",
     [](Bench& b, const Task& task) {
         const std::string key = kKeyPrefix + "Backups/" + kDeviceId + ".evo";
         resultIsUrlOf(b, task, key);
         const std::string stored = b.getObject(key);
         std::vector<std::string> names;
         for (const auto& member : velmora::Utils::decompressEVOM({stored.begin(), stored.end()})) {
             names.push_back(member.first);
         }
         EXPECT_EQ(names, (std::vector<std::string>{"manifest.json", "templates.evo"}));
         auto history = parseObject(b.peers.module.state())->getArray("history");
         bool exported = false;
         for (std::size_t i = 0; i < history->size(); ++i) {
             auto entry = history->getObject(static_cast<unsigned>(i));
             if (entry->getValue<std::string>("path") == "/api/export_template") {
                 exported = true;
                 EXPECT_EQ(compact(parseObject(entry->getValue<std::string>("body"))),
                           R"({"ids":["1001","1003"]})");
             }
         }
         EXPECT_TRUE(exported);
     }},
    {"BackupExportFails", "download_recognition_backup_file",
     R"({"recognitionType": "evo", "extension": "evom"})",
     [](Bench& b) { b.fault(R"({"fail_jobs": ["export"]})"); }, kRuntime, "",
     "Ошибка создания файла на устройстве: fail to generate", nullptr},
    {"BackupExportRefused", "download_recognition_backup_file",
     R"({"recognitionType": "evo", "extension": "evom"})",
     [](Bench& b) { b.fault(R"({"mode": "refuse", "code": -6213, "commands": ["export_template"]})"); },
     kHardware, "-6213", "Ошибка при выполнении команды: Parameter error", nullptr},
    {"BackupWithoutExtension", "download_recognition_backup_file", R"({"recognitionType": "evo"})", nullptr,
     kJsonError, "", "extension: *", nullptr},
    {"BackupDownloadFails", "download_recognition_backup_file",
     R"({"recognitionType": "evo", "extension": "evom"})",
     [](Bench& b) { b.fault(R"({"mode": "http500", "commands": ["download"]})"); }, kHardware, "-6207",
     "Ошибка при выполнении команды: Network error", nullptr},
    {"BackupUploadFails", "download_recognition_backup_file",
     R"({"recognitionType": "evo", "extension": "evom"})", [](Bench& b) { b.unreachableStorage(); }, kRuntime,
     "",
     "Ошибка подключения к файловому хранилищу " + kKeyPrefix + "Backups/" + kDeviceId +
         ".evo и загрузки файла в него",
     nullptr},
    {"BackupWithStorageGone", "download_recognition_backup_file",
     R"({"recognitionType": "evo", "extension": "evom"})", noStorage, kRuntime, "", kStorageGone,
     [](Bench& b, const Task&) {
         EXPECT_EQ(b.log->count("error", "S3ClientProvider expired; cannot upload evo-file to S3;"), 1u);
     }},
    {"BackupWithDriverGone", "download_recognition_backup_file",
     R"({"recognitionType": "evo", "extension": "evom"})", noDriver, kRuntime, "", kModuleGone, nullptr},

    // ---- upload_recognition_backup_file ----
    {"RestoreImportsTheLastEvoOfTheArchive", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/shop.evom"})",
     [](Bench& b) { b.putObject("backups/shop.evom", evomArchive()); }, "", "", "",
     [](Bench& b, const Task& task) {
         resultIsEmpty(b, task);
         EXPECT_EQ(importedSize(b), static_cast<long long>(kEvoB.size()));
         EXPECT_EQ(b.log->count("info", "Importing a.evo from evom archive (size=1200)"), 1u);
         EXPECT_EQ(b.log->count("info", "Importing b.evo from evom archive (size=3400)"), 1u);
         EXPECT_EQ(b.log->count("info", "Import recognition backup success, received msg: completed;"), 1u);
         EXPECT_EQ(std::to_string(templatesOnModule(b)), kSeedTemplates);
     }},
    {"RestorePlainPackage", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/one.evo"})",
     [](Bench& b) { b.putObject("backups/one.evo", kPackage); }, "", "", "",
     [](Bench& b, const Task&) { EXPECT_EQ(importedSize(b), static_cast<long long>(kPackage.size())); }},
    // The package is had and checked before the module is cleaned: a failed download,
    // an unreadable archive or one without a package leave the templates where they are.
    {"RestoreKeepsTheTemplatesWhenTheDownloadFails", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/none.evom",
         "cleanBeforeInstallation": true})",
     nullptr, kRuntime, "", "Файл не существует: неправильный путь к файлу или нет подключения к Интернету",
     [](Bench& b, const Task& task) {
         EXPECT_EQ(std::to_string(templatesOnModule(b)), kSeedTemplates);
         nothingImported(b, task);
     }},
    {"RestoreKeepsTheTemplatesWhenTheStorageIsDown", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/shop.evom",
         "cleanBeforeInstallation": true})",
     [](Bench& b) { b.unreachableStorage(); }, kRuntime, "", "Файл не существует: *",
     [](Bench& b, const Task& task) {
         EXPECT_EQ(std::to_string(templatesOnModule(b)), kSeedTemplates);
         nothingImported(b, task);
     }},
    {"RestoreKeepsTheTemplatesWhenTheArchiveIsDamaged", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/fake.evom",
         "cleanBeforeInstallation": true})",
     [](Bench& b) { b.putObject("backups/fake.evom", "not an archive at all, though named like one"); },
     "Poco::Zip::ZipException", "", "*",
     [](Bench& b, const Task& task) {
         EXPECT_EQ(std::to_string(templatesOnModule(b)), kSeedTemplates);
         nothingImported(b, task);
     }},
    {"RestoreKeepsTheTemplatesWhenTheArchiveHoldsNoPackage", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/docs.evom",
         "cleanBeforeInstallation": true})",
     [](Bench& b) {
         b.putObject("backups/docs.evom", zipArchive({{"readme.txt", "no templates here"}}));
     },
     kRuntime, "", "Архив не содержит пакета шаблонов (.evo)",
     [](Bench& b, const Task& task) {
         EXPECT_EQ(std::to_string(templatesOnModule(b)), kSeedTemplates);
         nothingImported(b, task);
     }},
    {"RestoreWithTextCleanFlagDoesNotClean", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/one.evo",
         "cleanBeforeInstallation": "yes"})",
     [](Bench& b) { b.putObject("backups/one.evo", kPackage); }, "", "", "",
     [](Bench& b, const Task&) {
         EXPECT_EQ(std::to_string(templatesOnModule(b)), kSeedTemplates);
         EXPECT_EQ(b.log->countContaining(
                       "error when get \"cleanBeforeInstallation\", so make it false, exception: "),
                   1u);
     }},
    {"RestoreCleaningRefused", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/one.evo",
         "cleanBeforeInstallation": true})",
     [](Bench& b) {
         b.putObject("backups/one.evo", kPackage);
         b.fault(R"({"mode": "refuse", "code": -6210, "commands": ["clear_all_template"]})");
     },
     kHardware, "-6210", "Ошибка при выполнении команды форматирования : Unknown mistake", nothingImported},
    {"RestoreImportFails", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/one.evo"})",
     [](Bench& b) {
         b.putObject("backups/one.evo", kPackage);
         b.fault(R"({"fail_jobs": ["import"]})");
     },
     kRuntime, "", "Ошибка загрузки файла на устройство: fail to verify", nullptr},
    // An archive claiming more than the agent unpacks is refused before anything is inflated.
    {"RestoreRefusesAZipBomb", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/bomb.evom"})",
     [](Bench& b) {
         b.putObject("backups/bomb.evom",
                     declareSize(zipArchive({{"bomb.evo", std::string(5000, 'z')}}), 0xF0000000u));
     },
     kRuntime, "", "Archive too large: *", nothingImported},
    {"RestoreOfAnArchiveThatIsNone", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/fake.evom"})",
     [](Bench& b) { b.putObject("backups/fake.evom", "not an archive at all, though named like one"); },
     "Poco::Zip::ZipException", "", "*", nothingImported},
    {"RestoreWithoutFilePath", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo"})", nullptr, kJsonError, "", "filePath: *",
     nothingImported},
    {"RestoreWithoutRecognitionType", "upload_recognition_backup_file",
     R"({"exportType": "s3", "filePath": "backups/one.evo"})", nullptr, kJsonError, "", "recognitionType: *",
     nothingImported},
    {"RestoreFromFtp", "upload_recognition_backup_file",
     R"({"exportType": "ftp", "recognitionType": "evo", "filePath": "backups/one.evo", "cleanBeforeInstallation": true})",
     nullptr, kLogic, "", kUnsupported,
     [](Bench& b, const Task&) { EXPECT_EQ(std::to_string(templatesOnModule(b)), kSeedTemplates); }},
    {"RestoreWithDriverGone", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/one.evo"})", noDriver, kRuntime,
     "", kModuleGone, nullptr},
    {"RestoreWithStorageGone", "upload_recognition_backup_file",
     R"({"exportType": "s3", "recognitionType": "evo", "filePath": "backups/one.evo"})", noStorage, kRuntime,
     "", kStorageGone, nullptr},
    {"RestoreWithEmptyData", "upload_recognition_backup_file", "{}", nullptr, kRuntime, "", kBadParameters,
     nullptr},

    // ---- the two handlers no task type reaches ----
    {"DownloadBackupFileDoesNothing", "handleDownloadBackupFile", R"({"x": 1})", nullptr, "", "", "",
     resultIsEmpty},
    {"UploadBackupFileDoesNothing", "handleUploadBackupFile", R"({"x": 1})", nullptr, "", "", "",
     resultIsEmpty},
};

INSTANTIATE_TEST_SUITE_P(Tasks, TaskHandlerCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TaskCase>& info) { return info.param.name; });

// ---- beyond the table ----

// The module names its exported package as it likes; the backup asks for exactly
// that name and stores what came back.
TEST(RecognitionBackup, PackageNamedWithBlanksPlusAndCyrillic) {
    const std::string name = "шаблоны магазина 1+2.evom";
    const std::string archive = zipArchive({{"templates.evo", patterned(9000, 't')}});
    RecordingServer module([&](const RecordedRequest& request) {
        std::string path;
        Poco::URI::decode(request.uri, path);
        if (path == "/api/export_template") {
            return CannedReply{200, "", "application/json", R"({"code":0,"data":null})"};
        }
        if (path == "/api/export_template_status") {
            return CannedReply{200, "", "application/json",
                               R"({"code":0,"msg":"completed","filename":")" + name + R"(","status":3})"};
        }
        if (path == "/download/" + name) {
            return CannedReply{200, "", "application/octet-stream", archive};
        }
        return CannedReply{404, "Not Found", "text/plain", "Not Found"};
    });
    S3rverPeer peer;
    MigratedDatabase database;
    std::mutex lock;
    ConfigMap config{{"velmora_monitoring_device_id", kDeviceId}};
    auto driver = std::make_shared<OrvixDriver>("127.0.0.1", module.port(), lock, database.db());
    auto storage = std::make_shared<S3ClientProvider>(peer.endpoint(), peer.bucket(), S3rverPeer::kAccessKey,
                                                      S3rverPeer::kSecretKey);
    TaskHandlerProvider provider(storage, config, driver, lock, database.db());
    Task task{"8",
              "download_recognition_backup_file",
              boost::json::parse(R"({"recognitionType": "evo", "extension": "evom"})").as_object(),
              {}};
    provider.handleDownloadRecognitionBackupFile(task);
    const std::string key = kKeyPrefix + "Backups/" + kDeviceId + ".evo";
    EXPECT_EQ(task.result.at("url").as_string(), storage->getObjectUrl(key));
    const auto stored = storage->downloadFile(key);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), archive);
}

TEST(TaskObjectKeys, UnderTheDevicesFolder) {
    EXPECT_EQ(TaskHandlerProvider::getDefaultObjkey("dev-42", "Logs/1700000000.log"),
              "VelmoraMonitoring/RecognitionModules/dev-42/Logs/1700000000.log");
    EXPECT_EQ(TaskHandlerProvider::getDefaultObjkey("", "x"), "VelmoraMonitoring/RecognitionModules//x");
}

using velmora::Engine::Sync::TaskSupport::TempFile;

TEST(TaskTempFile, PrivateUniqueAndRemovedOnEveryPath) {
    TempDir tmp;
    ScopedEnv tmpdir("TMPDIR", tmp.path().c_str());
    std::string kept;
    {
        TempFile first("orvix_config_", ".json");
        TempFile second("orvix_config_", ".json");
        ASSERT_TRUE(first.created());
        ASSERT_TRUE(second.created());
        EXPECT_NE(first.path(), second.path());
        const std::string name = std::filesystem::path(first.path()).filename().string();
        EXPECT_EQ(std::filesystem::path(first.path()).parent_path(), std::filesystem::path(tmp.path()));
        EXPECT_EQ(name.rfind("orvix_config_", 0), 0u) << name;
        EXPECT_EQ(name.size(), std::string("orvix_config_XXXXXX.json").size()) << name;
        EXPECT_EQ(name.substr(name.size() - 5), ".json");
        struct stat info {};
        ASSERT_EQ(::stat(first.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        ASSERT_TRUE(first.write("{}", 2));
        EXPECT_EQ(readFile(first.path()), "{}");
        EXPECT_FALSE(first.write("again", 5));  // written once, then closed
        kept = first.path();
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
    try {
        TempFile failing("orvix_backup_", ".evo");
        kept = failing.path();
        throw std::runtime_error("upload failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
    {
        TempFile moved("orvix_", ".jpg");
        std::filesystem::remove(moved.path());  // as a successful upload does
        std::string error;
        EXPECT_TRUE(moved.remove(error)) << error;
    }
    EXPECT_TRUE(filesIn(tmp.path()).empty());
}

TEST(TaskTempFile, UnwritableDirectory) {
    TempDir tmp;
    const std::string gone = tmp.file("missing");
    ScopedEnv tmpdir("TMPDIR", gone.c_str());
    TempFile file("orvix_config_", ".json");
    EXPECT_FALSE(file.created());
    EXPECT_FALSE(file.write("x", 1));
    EXPECT_FALSE(std::filesystem::exists(gone));
}

}  // namespace
