#pragma once

// Upload policy over the object-storage client, shared by the monitoring client
// and the task handlers: five attempts 300 ms apart, the object URL as result,
// optional removal of the uploaded local file.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class S3ClientWrapper;

namespace spdlog {
class logger;
}

namespace velmora::Engine::Sync {

class S3ClientProvider {
public:
    S3ClientProvider(const std::string& endpoint, const std::string& bucket, const std::string& login,
                     const std::string& password);
    ~S3ClientProvider();
    S3ClientProvider(const S3ClientProvider&) = delete;
    S3ClientProvider& operator=(const S3ClientProvider&) = delete;

    // Blocks for the whole retry sequence (up to five attempts, 300 ms after each
    // failed one); a stop ends it after the attempt in flight. On success writes the object URL into `url`
    // and, when `deleteLocal`, removes the local file; on failure `url` and the file stay.
    bool uploadFile(const std::string& localPath, const std::string& key, std::string& url, bool deleteLocal);
    // The object's bytes, or an empty vector when it cannot be read.
    std::vector<unsigned char> downloadFile(const std::string& key);
    std::string getObjectUrl(const std::string& key) const;

    // For a stop: the exchange in flight ends at once and an upload makes no further
    // attempts; until resume() each exchange has at most `grace`.
    void interrupt(std::chrono::milliseconds grace);
    void resume();

    static constexpr int kUploadAttempts = 5;
    static constexpr int kRetryPauseMs = 300;

private:
    std::unique_ptr<S3ClientWrapper> wrapper_;
    std::string bucket_;
    std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace velmora::Engine::Sync
