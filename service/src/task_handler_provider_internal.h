#pragma once

// What the companion units of TaskHandlerProvider share: the failure texts the
// monitoring service shows the operator, readers of task parameters, the times and
// dates in object keys, and temporary files that never outlive their task.

#include <cstddef>
#include <stdexcept>
#include <string>

#include <boost/json/object.hpp>

#include "errors.h"

namespace velmora::Engine::Sync::TaskSupport {

// Failure texts shared by several handlers.
inline const char* const kBadParameters = "Ошибка обработки входных параметров";
inline const char* const kStorageGone = "Внутренняя ошибка работы с файловым хранилищем";
inline const char* const kModuleGone = "Внутренняя ошибка работы с устройством";
inline const char* const kFileProblem = "Внутренняя ошибка работы с запрашиваемым файлом";
inline const char* const kUnsupportedStorage = "Неподдерживаемый тип файлового хранилища";

// How long a module job (upgrade, export, import) is watched: about five minutes.
constexpr int kJobStatusQueries = 300;
constexpr int kJobStatusIntervalMs = 1000;

// "Ошибка подключения к файловому хранилищу <key> и загрузки файла в него".
std::runtime_error uploadFailed(const std::string& key);
// A module command refused with `code`: code text in decimal, "Ошибка при выполнении
// команды: " and the code's text.
Utils::Errors::HardwareException commandFailed(int code);

// Required parameters of a task. A missing one, or one of another JSON kind, throws
// the JSON library's boost::system::system_error naming the parameter.
std::string stringParameter(const boost::json::object& data, const char* name);
bool boolParameter(const boost::json::object& data, const char* name);
const boost::json::object& objectParameter(const boost::json::object& data, const char* name);

// The current time: in whole Unix seconds, and as local time in a strftime pattern.
long long unixSeconds();
std::string localTime(const char* pattern);

// A file of its own in the system temporary directory, mode 0600, named `prefix`,
// six random characters and `suffix`. It is removed when the object goes, whatever
// happened to the task in between (an upload that already moved it away is fine).
class TempFile {
public:
    TempFile(const std::string& prefix, const std::string& suffix);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // False when the file could not be created; path() then names the pattern tried.
    bool created() const { return created_; }
    const std::string& path() const { return path_; }
    // Writes all bytes and closes the file; false when that failed.
    bool write(const void* data, std::size_t size);
    // Removes the file now. False, with the reason in `error`, only when it exists
    // and cannot be removed.
    bool remove(std::string& error);

private:
    std::string path_;
    int fd_ = -1;
    bool created_ = false;
    bool removed_ = false;
};

}  // namespace velmora::Engine::Sync::TaskSupport
