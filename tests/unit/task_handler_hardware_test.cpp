// "exec_command" and the camera pictures it stores, against the module simulator
// and s3rver. Every case also checks that no picture file stays in the temporary
// directory.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <sstream>

#include <Poco/Base64Encoder.h>
#include <boost/json.hpp>

#include "driver.h"
#include "s3client_provider.h"
#include "task_bench.h"
#include "task_handler_provider.h"

namespace {

using namespace orvix::test;
using velmora::Engine::Sync::TaskHandlerProvider;
using velmora::Utils::Models::Task;

const std::string kRuntime = "std::runtime_error";
const std::string kHardware = "velmora::Utils::Errors::HardwareException";
const std::string kJsonError = "boost::system::system_error";

std::string picture(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + 17) & 0xFF);
    }
    return bytes;
}
const std::string kPicture = picture(5000);

// Base64 as the module sends it, with a line break after every 72 characters.
std::string base64(const std::string& bytes) {
    std::ostringstream out;
    Poco::Base64Encoder encoder(out);
    encoder << bytes;
    encoder.close();
    return out.str();
}

// The picture the simulated camera shows, fetched independently of the agent.
std::string cameraPicture(TaskBench& b) {
    return httpCall(b.peers.module.port(), "POST", "/api/get_image").body;
}

// The key of a picture stored under CameraScreens/<Unix time>.jpeg, from its URL.
std::string pictureKey(TaskBench& b, const std::string& url) {
    const std::string base = b.storage->getObjectUrl(kTaskKeyPrefix + "CameraScreens/");
    EXPECT_EQ(url.rfind(base, 0), 0u) << url;
    EXPECT_EQ(url.substr(url.size() - 5), ".jpeg") << url;
    const std::string stamp = url.substr(base.size(), url.size() - base.size() - 5);
    EXPECT_NEAR(std::stoll(stamp), static_cast<long long>(std::time(nullptr)), 30) << url;
    return kTaskKeyPrefix + "CameraScreens/" + stamp + ".jpeg";
}

struct HardwareCase {
    std::string name;
    std::function<void(TaskBench&)> arrange;
    // What the case runs: an exec_command task with `data`, or a call of saveImageToS3.
    std::string data;
    std::function<std::string(TaskHandlerProvider&)> saveImage;
    std::string thrown;
    std::string code;
    std::string message;  // shell pattern
    std::function<void(TaskBench&, const Task&, const std::string& savedUrl)> check;
};

std::ostream& operator<<(std::ostream& out, const HardwareCase& c) {
    return out << c.name;
}

class HardwareCases : public ::testing::TestWithParam<HardwareCase> {
protected:
    static void SetUpTestSuite() { peers_ = std::make_unique<TaskPeers>(); }
    static void TearDownTestSuite() { peers_.reset(); }
    static std::unique_ptr<TaskPeers> peers_;
};
std::unique_ptr<TaskPeers> HardwareCases::peers_;

TEST_P(HardwareCases, Outcome) {
    const HardwareCase& c = GetParam();
    TaskBench bench(*peers_);
    if (c.arrange) {
        c.arrange(bench);
    }
    bench.log = std::make_unique<CapturedLog>();
    TaskHandlerProvider provider(bench.storage, bench.config, bench.driver, bench.lock, bench.database.db());
    Task task{"9", "exec_command", boost::json::parse(c.data.empty() ? "{}" : c.data).as_object(), {}};
    std::string savedUrl;
    const TaskOutcome outcome = runWithTmpdir(bench.taskTmp.path(), [&] {
        if (c.saveImage) {
            savedUrl = c.saveImage(provider);
        } else {
            provider.handleHardware(task);
        }
    });
    EXPECT_EQ(outcome.thrown, c.thrown) << outcome.message;
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_TRUE(matchesMessage(c.message, outcome.message))
        << "message: " << outcome.message << "\npattern: " << c.message;
    EXPECT_TRUE(filesIn(bench.taskTmp.path()).empty())
        << "left behind: " << filesIn(bench.taskTmp.path()).front();
    if (c.check) {
        c.check(bench, task, savedUrl);
    }
}

void noStorage(TaskBench& b) {
    b.storage.reset();
}

const std::string kGetImage = R"({"kind": "camera", "cmd": "get_image", "args": {}})";

const HardwareCase kCases[] = {
    {"GetImageStoredWithItsUrlOnly", nullptr, kGetImage, nullptr, "", "", "",
     [](TaskBench& b, const Task& task, const std::string&) {
         ASSERT_EQ(task.result.size(), 1u) << boost::json::serialize(task.result);
         const std::string key = pictureKey(b, std::string(task.result.at("url").as_string()));
         EXPECT_EQ(b.getObject(key), cameraPicture(b));
     }},
    {"GetImageRefusedByModule",
     [](TaskBench& b) { b.fault(R"({"mode": "refuse", "code": -6213, "commands": ["get_image"]})"); },
     kGetImage, nullptr, kHardware, "-6213", "Ошибка при выполнении команды. Parameter error",
     [](TaskBench&, const Task& task, const std::string&) { EXPECT_TRUE(task.result.empty()); }},
    {"GetImageWithCameraLost",
     [](TaskBench& b) { b.fault(R"({"mode": "close", "commands": ["get_image"]})"); }, kGetImage, nullptr,
     kHardware, "-6103", "Ошибка при выполнении команды. Camera lost", nullptr},
    {"GetImageWithStorageGone", noStorage, kGetImage, nullptr, kHardware, "S3_INSTANCE_EXPIRED",
     "Истекло время жизни ресурса для отправки в файловое хранилище, требуется переинициализация",
     [](TaskBench& b, const Task&, const std::string&) {
         EXPECT_EQ(b.log->count("error", "S3ClientProvider expired; cannot upload camera's photo to S3."),
                   1u);
     }},
    {"GetImageUploadFails", [](TaskBench& b) { b.unreachableStorage(); }, kGetImage, nullptr, kHardware,
     "S3_UPLOAD_FAILED",
     "Не удалось загрузить изображение на адрес " + kTaskKeyPrefix + "CameraScreens/*.jpeg", nullptr},
    {"GetImageWithDriverGone", [](TaskBench& b) { b.driver.reset(); }, kGetImage, nullptr, kRuntime, "",
     "Внутренняя ошибка работы с устройством",
     [](TaskBench& b, const Task&, const std::string&) {
         EXPECT_EQ(b.log->count("error", "driver_instance_ expired; cannot exec handleHardware;"), 1u);
     }},
    {"UnknownCommand", nullptr, R"({"kind": "camera", "cmd": "no_such_command", "args": {}})", nullptr,
     kHardware, "UNKNOWN_HARDWARE_COMMAND", "",
     [](TaskBench& b, const Task&, const std::string&) {
         EXPECT_EQ(b.log->count("warning", "Unknown hardware command: no_such_command"), 1u);
     }},
    {"WithoutArgs", nullptr, R"({"kind": "camera", "cmd": "get_image"})", nullptr, kJsonError, "", "args: *",
     nullptr},
    {"ArgsThatAreNoObject", nullptr, R"({"kind": "camera", "cmd": "get_image", "args": [1]})", nullptr,
     kJsonError, "", "args: *", nullptr},
    {"WithoutKind", nullptr, R"({"cmd": "get_image", "args": {}})", nullptr, kJsonError, "", "kind: *",
     nullptr},
    {"NumericCmd", nullptr, R"({"kind": "camera", "cmd": 5, "args": {}})", nullptr, kJsonError, "", "cmd: *",
     nullptr},

    // ---- saveImageToS3 on its own ----
    {"Base64PictureDecodedAndStored", nullptr, "",
     [](TaskHandlerProvider& p) { return p.saveImageToS3(base64(kPicture), true); }, "", "", "",
     [](TaskBench& b, const Task&, const std::string& url) {
         EXPECT_EQ(b.getObject(pictureKey(b, url)), kPicture);
     }},
    {"RawPictureStoredAsItIs", nullptr, "",
     [](TaskHandlerProvider& p) { return p.saveImageToS3(kPicture, false); }, "", "", "",
     [](TaskBench& b, const Task&, const std::string& url) {
         EXPECT_EQ(b.getObject(pictureKey(b, url)), kPicture);
     }},
    {"BadBase64", nullptr, "", [](TaskHandlerProvider& p) { return p.saveImageToS3("not*base64!", true); },
     kHardware, "BASE64_DECODE_FAILED", "Ошибка декодирования base64 изображения: ?*", nullptr},
    {"UnusableTemporaryDirectory", nullptr, "",
     [](TaskHandlerProvider& p) {
         ScopedEnv missing("TMPDIR", "/nonexistent-orvix-tmp");
         return p.saveImageToS3(kPicture, false);
     },
     kHardware, "IMAGE_ACCESS_ERROR",
     "Не удалось открыть изображение для записи: /nonexistent-orvix-tmp/orvix_*_XXXXXX.jpg", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Commands, HardwareCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HardwareCase>& info) { return info.param.name; });

}  // namespace
