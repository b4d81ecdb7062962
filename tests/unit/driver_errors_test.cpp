// Module error codes, job status texts and their failure predicates.
#include <gtest/gtest.h>

#include <stdexcept>

#include "errors.h"

namespace {

using namespace velmora::Utils::Errors;

TEST(CameraErrors, EveryCodeHasItsText) {
    const std::pair<int, const char*> cases[] = {
        {-10002, "Monitoring server not available"},
        {-10001, "Error on monitoring server"},
        {-6500, "Algorithm API error"},
        {-6214, "Sync request timed out"},
        {-6213, "Parameter error"},
        {-6212, "Login failed"},
        {-6211, "File verification failed"},
        {-6210, "Unknown mistake"},
        {-6209, "Algorithm API timeout"},
        {-6207, "Network error"},
        {-6204, "Failed to write file"},
        {-6203, "Failed to write file"},
        {-6202, "File does not exist"},
        {-6200, "Json parsing failed"},
        {-6144, "App update faild"},
        {-6143, "Engine version mismatch"},
        {-6142, "Device mismatch"},
        {-6141, "Store mismatch"},
        {-6140, "File format mismatch"},
        {-6138, "Device firmware mismatch, function limited"},
        {-6137, "Unknown error while updating"},
        {-6134, "Reject reset while updating"},
        {-6133, "Download failed"},
        {-6132, "Download verification failed"},
        {-6131, "The device is already the latest version"},
        {-6130, "Download not started"},
        {-6128, "Device not activated"},
        {-6127, "The server failed to verify the store"},
        {-6126, "Store id format error"},
        {-6124, "Device is activated"},
        {-6117, "Device communication unknown command"},
        {-6109, "Update faild"},
        {-6103, "Camera lost"},
        {0, "Unrecognized CameraError"},
        {500, "Unrecognized CameraError"},
        {-6208, "Unrecognized CameraError"},
        {-6450, "Unrecognized CameraError"},  // inside the algorithm band, but not a code of its own
    };
    for (const auto& [code, text] : cases) {
        EXPECT_EQ(toString(static_cast<CameraError>(code)), text) << code;
    }
}

TEST(CameraErrors, ConversionChecksTheRange) {
    const std::pair<int, int> mapped[] = {
        {-6500, -6500}, {-6450, -6500}, {-6401, -6500}, {-6214, -6214},
        {-6213, -6213}, {-6203, -6203}, {-6124, -6124}, {-6103, -6103},
    };
    for (const auto& [code, expected] : mapped) {
        EXPECT_EQ(static_cast<int>(toCameraError(code)), expected) << code;
    }
    for (int code : {-6400, -6208, -6501, -6102, -6205, 0, 500, -10001, -10002}) {
        try {
            toCameraError(code);
            ADD_FAILURE() << "no exception for " << code;
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(std::string(e.what()), "Unknown CameraError code: " + std::to_string(code));
        }
    }
}

TEST(JobStatuses, TextsAndFailures) {
    struct Case {
        int value;
        const char* text;
        bool failure;
    };
    const Case imports[] = {{0, "no import task", false}, {1, "unknown", false},
                            {2, "importing", false},      {3, "verifying package integrity", false},
                            {4, "completed", false},      {5, "fail to import", true},
                            {6, "unknown", false},        {7, "fail to verify", true},
                            {-1, "unknown", false}};
    for (const auto& c : imports) {
        EXPECT_EQ(to_string(static_cast<ImportStatus>(c.value)), c.text) << c.value;
        EXPECT_EQ(is_terminal_failure(static_cast<ImportStatus>(c.value)), c.failure) << c.value;
    }
    const Case exports[] = {{0, "no export task", false},  {1, "in progress", false}, {2, "unknown", false},
                            {3, "completed", false},       {4, "unknown", true},      {5, "unknown", false},
                            {6, "fail to generate", true}, {-1, "unknown", false}};
    for (const auto& c : exports) {
        EXPECT_EQ(to_string(static_cast<ExportStatus>(c.value)), c.text) << c.value;
        EXPECT_EQ(is_export_failure(static_cast<ExportStatus>(c.value)), c.failure) << c.value;
    }
    const Case upgrades[] = {{0, "no upgrade task", false}, {1, "transferring", false},
                             {2, "upgrading", false},       {3, "verifying", false},
                             {4, "completed", false},       {5, "fail to upgrade", true},
                             {6, "fail to transfer", true}, {7, "fail to verify", true},
                             {8, "unknown", false},         {-1, "unknown", false}};
    for (const auto& c : upgrades) {
        EXPECT_EQ(to_string(static_cast<UpgradeStatus>(c.value)), c.text) << c.value;
        EXPECT_EQ(is_upgrade_failure(static_cast<UpgradeStatus>(c.value)), c.failure) << c.value;
    }
}

TEST(HardwareException, KeepsCodeAndMessage) {
    const HardwareException error("-6213", "Ошибка при выполнении команды: Parameter error");
    EXPECT_EQ(std::string(error.what()), "Ошибка при выполнении команды: Parameter error");
    EXPECT_EQ(error.code(), "-6213");
    EXPECT_EQ(error.message(), "Ошибка при выполнении команды: Parameter error");
    const std::runtime_error& base = error;
    EXPECT_EQ(std::string(base.what()), error.message());
}

}  // namespace
