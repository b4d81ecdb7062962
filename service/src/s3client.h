#pragma once

// The agent's client of S3-compatible object storage: one bucket, static access
// keys, path-style object addresses. It signs its own requests (AWS Signature
// Version 4, payload not signed) and speaks HTTP or HTTPS by the endpoint's prefix.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace velmora::Engine::Sync {
class S3Transport;
}

class S3ClientWrapper {
public:
    // Nothing is sent here: the endpoint is only parsed. "http://" selects plain
    // HTTP; "https://" and any other text select HTTPS with certificate checks.
    S3ClientWrapper(const std::string& endpoint, const std::string& bucket, const std::string& login,
                    const std::string& password);
    ~S3ClientWrapper();
    S3ClientWrapper(const S3ClientWrapper&) = delete;
    S3ClientWrapper& operator=(const S3ClientWrapper&) = delete;

    // endpoint (without trailing dots and slashes) + "/" + bucket + "/" + key, key as given.
    std::string GetObjectUrl(const std::string& key);
    // The object's bytes; empty on any failure (logged once at error level).
    std::vector<unsigned char> GetObjectData(const std::string& key);
    // Streams the local file into the object; true when the storage accepted it.
    // False without sending anything when the file cannot be opened.
    bool PutObject(const std::string& localPath, const std::string& key);

    // Each exchange connects, sends and receives within 10 s a step, and is over by
    // its deadline: an upload 15 s plus a second per 128 KiB of the file, at most
    // 120 s; a download 300 s.
    // For a stop: every exchange in flight ends at once, and each one that starts
    // before Resume() has at most `grace` (see REST::ExchangeInterrupter).
    void Interrupt(std::chrono::milliseconds grace);
    void Resume();
    bool Interrupted() const;

private:
    std::unique_ptr<velmora::Engine::Sync::S3Transport> client_;
    std::string endpoint_;
    std::string bucket_;
    std::string login_;
    std::string password_;
};
