#pragma once

// The agent's client of S3-compatible object storage: one bucket, static access
// keys, path-style object addresses. It signs its own requests (AWS Signature
// Version 4, payload not signed) and speaks HTTP or HTTPS by the endpoint's prefix.

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

private:
    std::unique_ptr<velmora::Engine::Sync::S3Transport> client_;
    std::string endpoint_;
    std::string bucket_;
    std::string login_;
    std::string password_;
};
