#include "errors.h"

namespace velmora::Utils::Errors {

namespace {

struct CodeText {
    CameraError code;
    const char* text;
};

constexpr CodeText kCameraErrors[] = {
    {CameraError::MonitoringServerNotAvailable, "Monitoring server not available"},
    {CameraError::MonitoringServerError, "Error on monitoring server"},
    {CameraError::AlgorithmApiError, "Algorithm API error"},
    {CameraError::SyncRequestTimedOut, "Sync request timed out"},
    {CameraError::ParameterError, "Parameter error"},
    {CameraError::LoginFailed, "Login failed"},
    {CameraError::FileVerificationFailed, "File verification failed"},
    {CameraError::UnknownMistake, "Unknown mistake"},
    {CameraError::AlgorithmApiTimeout, "Algorithm API timeout"},
    {CameraError::NetworkError, "Network error"},
    {CameraError::FailedToWriteFile, "Failed to write file"},
    {CameraError::FailedToWriteFile2, "Failed to write file"},
    {CameraError::FileDoesNotExist, "File does not exist"},
    {CameraError::JsonParsingFailed, "Json parsing failed"},
    {CameraError::AppUpdateFailed, "App update faild"},
    {CameraError::EngineVersionMismatch, "Engine version mismatch"},
    {CameraError::DeviceMismatch, "Device mismatch"},
    {CameraError::StoreMismatch, "Store mismatch"},
    {CameraError::FileFormatMismatch, "File format mismatch"},
    {CameraError::DeviceFirmwareMismatch, "Device firmware mismatch, function limited"},
    {CameraError::UnknownErrorWhileUpdating, "Unknown error while updating"},
    {CameraError::RejectResetWhileUpdating, "Reject reset while updating"},
    {CameraError::DownloadFailed, "Download failed"},
    {CameraError::DownloadVerificationFailed, "Download verification failed"},
    {CameraError::AlreadyLatestVersion, "The device is already the latest version"},
    {CameraError::DownloadNotStarted, "Download not started"},
    {CameraError::DeviceNotActivated, "Device not activated"},
    {CameraError::StoreVerificationFailed, "The server failed to verify the store"},
    {CameraError::StoreIdFormatError, "Store id format error"},
    {CameraError::DeviceIsActivated, "Device is activated"},
    {CameraError::UnknownCommand, "Device communication unknown command"},
    {CameraError::UpdateFailed, "Update faild"},
    {CameraError::CameraLost, "Camera lost"},
};

// The algorithm library reports its own failures anywhere in this band.
constexpr int kAlgorithmBandLow = -6500;
constexpr int kAlgorithmBandHigh = -6401;
// The module's own codes; the monitoring codes above them are the agent's.
constexpr int kModuleCodesLow = -6214;
constexpr int kModuleCodesHigh = -6103;

}  // namespace

std::string toString(CameraError code) {
    for (const auto& entry : kCameraErrors) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return "Unrecognized CameraError";
}

CameraError toCameraError(int code) {
    if (code >= kAlgorithmBandLow && code <= kAlgorithmBandHigh) {
        return CameraError::AlgorithmApiError;
    }
    if (code >= kModuleCodesLow && code <= kModuleCodesHigh) {
        for (const auto& entry : kCameraErrors) {
            if (static_cast<int>(entry.code) == code) {
                return entry.code;
            }
        }
    }
    throw std::out_of_range("Unknown CameraError code: " + std::to_string(code));
}

std::string to_string(ImportStatus status) {
    switch (status) {
        case ImportStatus::NoTask:
            return "no import task";
        case ImportStatus::Importing:
            return "importing";
        case ImportStatus::Verifying:
            return "verifying package integrity";
        case ImportStatus::Completed:
            return "completed";
        case ImportStatus::ImportFailed:
            return "fail to import";
        case ImportStatus::VerifyFailed:
            return "fail to verify";
    }
    return "unknown";
}

std::string to_string(ExportStatus status) {
    switch (status) {
        case ExportStatus::NoTask:
            return "no export task";
        case ExportStatus::InProgress:
            return "in progress";
        case ExportStatus::Completed:
            return "completed";
        case ExportStatus::GenerateFailed:
            return "fail to generate";
        case ExportStatus::Failed:
            break;
    }
    return "unknown";
}

std::string to_string(UpgradeStatus status) {
    switch (status) {
        case UpgradeStatus::NoTask:
            return "no upgrade task";
        case UpgradeStatus::Transferring:
            return "transferring";
        case UpgradeStatus::Upgrading:
            return "upgrading";
        case UpgradeStatus::Verifying:
            return "verifying";
        case UpgradeStatus::Completed:
            return "completed";
        case UpgradeStatus::UpgradeFailed:
            return "fail to upgrade";
        case UpgradeStatus::TransferFailed:
            return "fail to transfer";
        case UpgradeStatus::VerifyFailed:
            return "fail to verify";
    }
    return "unknown";
}

bool is_terminal_failure(ImportStatus status) {
    return status == ImportStatus::ImportFailed || status == ImportStatus::VerifyFailed;
}

bool is_export_failure(ExportStatus status) {
    return status == ExportStatus::Failed || status == ExportStatus::GenerateFailed;
}

bool is_upgrade_failure(UpgradeStatus status) {
    return status == UpgradeStatus::UpgradeFailed || status == UpgradeStatus::TransferFailed ||
           status == UpgradeStatus::VerifyFailed;
}

HardwareException::HardwareException(const std::string& code, const std::string& message)
    : std::runtime_error(message), code_(code), message_(message) {}

}  // namespace velmora::Utils::Errors
