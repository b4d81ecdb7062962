#include "s3client_provider.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "logger.h"
#include "s3client.h"

namespace velmora::Engine::Sync {

S3ClientProvider::S3ClientProvider(const std::string& endpoint, const std::string& bucket,
                                   const std::string& login, const std::string& password)
    : wrapper_(std::make_unique<S3ClientWrapper>(endpoint, bucket, login, password)),
      bucket_(bucket),
      logger_(Logging::Logger::GetInstance().GetLogger()) {}

S3ClientProvider::~S3ClientProvider() = default;

bool S3ClientProvider::uploadFile(const std::string& localPath, const std::string& key, std::string& url,
                                  bool deleteLocal) {
    for (int attempt = 1; attempt <= kUploadAttempts; ++attempt) {
        try {
            if (wrapper_->PutObject(localPath, key)) {
                url = wrapper_->GetObjectUrl(key);
                logger_->info("File uploaded to S3: {};", url);
                if (deleteLocal) {
                    std::error_code error;
                    if (!std::filesystem::remove(localPath, error) || error) {
                        logger_->warn("Can't delete local file: {};", localPath);
                    }
                }
                return true;
            }
            logger_->error("S3 PutObject failed: bucket={}, key={}, path={}", bucket_, key, localPath);
            logger_->warn("Attempt {}: can't upload file in S3 (key={});", attempt, key);
        } catch (const std::exception& e) {
            logger_->error("Exception uploadFile: {}", e.what());
        }
        if (wrapper_->Interrupted()) {
            logger_->warn("uploadFile: stopped after attempt {}, object key={};", attempt, key);
            return false;
        }
        // sleep_for resumes after a signal interrupts it.
        std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    }
    logger_->error("uploadFile: all {} attempts out, object key={};", kUploadAttempts, key);
    return false;
}

std::vector<unsigned char> S3ClientProvider::downloadFile(const std::string& key) {
    return wrapper_->GetObjectData(key);
}

std::string S3ClientProvider::getObjectUrl(const std::string& key) const {
    return wrapper_->GetObjectUrl(key);
}

void S3ClientProvider::interrupt(std::chrono::milliseconds grace) {
    wrapper_->Interrupt(grace);
}

void S3ClientProvider::resume() {
    wrapper_->Resume();
}

}  // namespace velmora::Engine::Sync
