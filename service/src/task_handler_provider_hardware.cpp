// "exec_command": one module command by name through the command catalogue, and
// the camera pictures it may produce, stored in object storage.
#include <cstdint>
#include <filesystem>
#include <sstream>

#include <Poco/Base64Decoder.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/StreamCopier.h>
#include <boost/json/value.hpp>

#include "driver.h"
#include "driver_converter.h"
#include "errors.h"
#include "json_convert.h"
#include "logger.h"
#include "module_commands.h"
#include "monitoring.h"
#include "s3client_provider.h"
#include "service_context.h"
#include "task_handler_provider.h"
#include "task_handler_provider_internal.h"

namespace velmora::Engine::Sync {

using Engine::Logging::log;
using namespace TaskSupport;
using namespace Utils::Errors;

namespace {

HardwareException moduleRefused(int code) {
    return HardwareException(std::to_string(code),
                             "Ошибка при выполнении команды. " + toString(static_cast<CameraError>(code)));
}

std::string decodeBase64(const std::string& text) {
    std::istringstream in(text);
    Poco::Base64Decoder decoder(in);
    // Without this the decoder's error would only set badbit and cut the picture short.
    decoder.exceptions(std::ios::badbit);
    std::string bytes;
    Poco::StreamCopier::copyToString(decoder, bytes);
    return bytes;
}

}  // namespace

void TaskHandlerProvider::handleHardware(Utils::Models::Task& task) {
    stringParameter(task.data, "kind");  // required by the task's form; its value selects nothing
    const std::string name = stringParameter(task.data, "cmd");
    const Poco::JSON::Object::Ptr body =
        Utils::convertJsonBoost2Poco(objectParameter(task.data, "args")).extract<Poco::JSON::Object::Ptr>();
    auto driver = lockDriver("driver_instance_ expired; cannot exec handleHardware;");

    // The picture is bytes, not an envelope, so it is not a row of the catalogue.
    if (name == "get_image") {
        auto [code, picture] = Utils::process_get_image(driver);
        if (code != 0) {
            throw moduleRefused(code);
        }
        const std::string url = saveImageToS3(picture, false);
        task.result = boost::json::object{{"url", url}};
        return;
    }
    const Utils::ModuleCommand* command = Utils::findModuleCommand(name);
    // Uploads need a multipart body that a task does not carry.
    if (command == nullptr || command->input == Utils::CommandInput::Upload) {
        log().warn("Unknown hardware command: {}", name);
        throw HardwareException("UNKNOWN_HARDWARE_COMMAND", "");
    }
    ServiceContext context(config_, mutex_, db_);
    Utils::CommandCall call{driver, context, body, nullptr, {}, {}};
    if (command->changesAttributes) {
        call.attributesChanged = [this] {
            if (monitoring_ != nullptr) {
                monitoring_->attributes_update();
            }
        };
    }
    boost::json::value answer = Utils::convertPoco2Boost(command->run(call));
    boost::json::object& envelope = answer.as_object();
    const int code = static_cast<int>(envelope.at("code").to_number<std::int64_t>());
    if (code != 0) {
        task.result = envelope;
        throw moduleRefused(code);
    }
    if (name == "add_item_template") {
        boost::json::object& data = envelope.at("data").as_object();
        const std::string url = saveImageToS3(stringParameter(data, "image"), true);
        task.result["url"] = url;
        data.erase("image");
    }
    task.result["value"] = std::move(answer);
}

std::string TaskHandlerProvider::saveImageToS3(const std::string& data, const bool& isBase64) {
    auto storage = storage_.lock();
    if (!storage) {
        log().error("S3ClientProvider expired; cannot upload camera's photo to S3.");
        throw HardwareException(
            "S3_INSTANCE_EXPIRED",
            "Истекло время жизни ресурса для отправки в файловое хранилище, требуется переинициализация");
    }
    std::string decoded;
    if (isBase64) {
        try {
            decoded = decodeBase64(data);
        } catch (const Poco::Exception& e) {
            log().error("Failed to decode base64 image: {}", e.displayText());
            throw HardwareException("BASE64_DECODE_FAILED",
                                    "Ошибка декодирования base64 изображения: " + e.displayText());
        } catch (const std::exception& e) {
            log().error("Failed to decode base64 image: {}", Logging::reasonOf(e));
            throw HardwareException("BASE64_DECODE_FAILED",
                                    std::string("Ошибка декодирования base64 изображения: ") + e.what());
        }
    }
    const std::string& picture = isBase64 ? decoded : data;
    TempFile file("orvix_" + localTime("%Y%m%d_%H%M%S") + "_", ".jpg");
    if (!file.created() || !file.write(picture.data(), picture.size())) {
        log().error("Failed to open image file for writing: {}", file.path());
        throw HardwareException("IMAGE_ACCESS_ERROR",
                                "Не удалось открыть изображение для записи: " + file.path());
    }
    std::error_code missing;
    if (!std::filesystem::is_regular_file(file.path(), missing)) {
        log().error("Image file not found: {}", file.path());
        throw HardwareException("IMAGE_NOT_FOUND", "Изображение не найдено по пути: " + file.path());
    }
    const std::string key =
        getDefaultObjkey(deviceId(), "CameraScreens/" + std::to_string(unixSeconds()) + ".jpeg");
    std::string url;
    if (!storage->uploadFile(file.path(), key, url, true)) {
        log().error("Failed to upload image file to S3: {}", key);
        throw HardwareException("S3_UPLOAD_FAILED", "Не удалось загрузить изображение на адрес " + key);
    }
    return url;
}

}  // namespace velmora::Engine::Sync
