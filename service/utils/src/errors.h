#pragma once

#include <stdexcept>
#include <string>

namespace velmora::Utils::Errors {

// The module's own failure codes, plus the three the agent produces itself
// (-6103 lost exchange, -6207 failed download or registry call, -10002 no token).
enum class CameraError : int {
    MonitoringServerNotAvailable = -10002,
    MonitoringServerError = -10001,
    AlgorithmApiError = -6500,
    SyncRequestTimedOut = -6214,
    ParameterError = -6213,
    LoginFailed = -6212,
    FileVerificationFailed = -6211,
    UnknownMistake = -6210,
    AlgorithmApiTimeout = -6209,
    NetworkError = -6207,
    FailedToWriteFile = -6204,
    FailedToWriteFile2 = -6203,
    FileDoesNotExist = -6202,
    JsonParsingFailed = -6200,
    AppUpdateFailed = -6144,
    EngineVersionMismatch = -6143,
    DeviceMismatch = -6142,
    StoreMismatch = -6141,
    FileFormatMismatch = -6140,
    DeviceFirmwareMismatch = -6138,
    UnknownErrorWhileUpdating = -6137,
    RejectResetWhileUpdating = -6134,
    DownloadFailed = -6133,
    DownloadVerificationFailed = -6132,
    AlreadyLatestVersion = -6131,
    DownloadNotStarted = -6130,
    DeviceNotActivated = -6128,
    StoreVerificationFailed = -6127,
    StoreIdFormatError = -6126,
    DeviceIsActivated = -6124,
    UnknownCommand = -6117,
    UpdateFailed = -6109,
    CameraLost = -6103,
};

// The code's English text; "Unrecognized CameraError" for any value without one (0 included).
std::string toString(CameraError code);

// Range-checked conversion: -6500..-6401 become AlgorithmApiError, the listed
// module codes map to themselves, anything else throws std::out_of_range.
CameraError toCameraError(int code);

enum class ImportStatus : int {
    NoTask = 0,
    Importing = 2,
    Verifying = 3,
    Completed = 4,
    ImportFailed = 5,
    VerifyFailed = 7,
};

enum class ExportStatus : int {
    NoTask = 0,
    InProgress = 1,
    Completed = 3,
    Failed = 4,  // has no text of its own, but ends the job
    GenerateFailed = 6,
};

enum class UpgradeStatus : int {
    NoTask = 0,
    Transferring = 1,
    Upgrading = 2,
    Verifying = 3,
    Completed = 4,
    UpgradeFailed = 5,
    TransferFailed = 6,
    VerifyFailed = 7,
};

std::string to_string(ImportStatus status);
std::string to_string(ExportStatus status);
std::string to_string(UpgradeStatus status);

// True for the statuses after which the module will not finish the job.
bool is_terminal_failure(ImportStatus status);
bool is_export_failure(ExportStatus status);
bool is_upgrade_failure(UpgradeStatus status);

// Raised by the task handlers when a module command fails; what() is the message.
class HardwareException : public std::runtime_error {
public:
    HardwareException(const std::string& code, const std::string& message);

    const std::string& code() const { return code_; }
    const std::string& message() const { return message_; }

private:
    std::string code_;
    std::string message_;
};

}  // namespace velmora::Utils::Errors
