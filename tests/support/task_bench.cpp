#include "task_bench.h"

#include <cxxabi.h>
#include <fnmatch.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <typeinfo>

#include <Poco/Data/Session.h>
#include <gtest/gtest.h>

#include "driver.h"
#include "errors.h"
#include "json_text.h"
#include "queries.h"
#include "s3client_provider.h"

namespace orvix::test {

using velmora::Engine::Driver::OrvixDriver;
using velmora::Engine::Sync::S3ClientProvider;

TaskBench::TaskBench(TaskPeers& shared) : peers(shared) {
    httpCall(peers.module.port(), "POST", "/control/reset");
    driver = std::make_shared<OrvixDriver>("127.0.0.1", peers.module.port(), lock, database.db());
    storage = std::make_shared<S3ClientProvider>(peers.storage.endpoint(), peers.storage.bucket(),
                                                 S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
    importConfig(R"({"velmora_monitoring_device_id": ")" + kTaskDeviceId + R"("})");
}

TaskBench::~TaskBench() = default;

void TaskBench::importConfig(const std::string& json) {
    Poco::JSON::Object::Ptr object = parseObject(json);
    velmora::Utils::jsonToConfig(object, lock, database.db(), config);
    std::lock_guard<std::mutex> guard(lock);
    config = velmora::Utils::Queries::getAllConfigs(database.session());
}

void TaskBench::putObject(const std::string& key, const std::string& bytes) {
    const std::string path = files.file("upload-" + std::to_string(++uploads));
    writeFile(path, bytes);
    std::string url;
    ASSERT_TRUE(storage->uploadFile(path, key, url, true)) << key;
}

std::string TaskBench::getObject(const std::string& key) {
    const auto bytes = storage->downloadFile(key);
    return std::string(bytes.begin(), bytes.end());
}

Poco::JSON::Object::Ptr TaskBench::moduleState() {
    return parseObject(peers.module.state())->getObject("module");
}

void TaskBench::unreachableStorage() {
    storage = std::make_shared<S3ClientProvider>("http://127.0.0.1:" + std::to_string(freePort()), "develop",
                                                 S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
}

std::string TaskBench::row(const std::string& column, const std::string& key) {
    std::lock_guard<std::mutex> guard(lock);
    return queryText(database.session(),
                     "SELECT " + column + " FROM configurations WHERE key = '" + key + "'");
}

namespace {

std::string typeName(const std::exception& e) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), &std::free);
    return name ? std::string(name.get()) : std::string(typeid(e).name());
}

}  // namespace

TaskOutcome runWithTmpdir(const std::string& tmpdir, const std::function<void()>& work) {
    ScopedEnv scoped("TMPDIR", tmpdir.c_str());
    try {
        work();
        return {};
    } catch (const velmora::Utils::Errors::HardwareException& e) {
        return {typeName(e), e.code(), e.what()};
    } catch (const std::exception& e) {
        return {typeName(e), "", e.what()};
    }
}

std::string todayLocal() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

bool matchesMessage(const std::string& pattern, const std::string& text) {
    std::string expanded = pattern;
    if (const auto at = expanded.find("{date}"); at != std::string::npos) {
        expanded.replace(at, 6, todayLocal());
    }
    return fnmatch(expanded.c_str(), text.c_str(), 0) == 0;
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

}  // namespace orvix::test
