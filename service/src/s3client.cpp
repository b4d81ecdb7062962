#include "s3client.h"

#include <Poco/Exception.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "aws_sigv4.h"
#include "http_exchange.h"
#include "logger.h"
#include "tls_policy.h"

namespace velmora::Engine::Sync {

namespace {

constexpr const char* kRegion = "us-east-1";
constexpr const char* kService = "s3";
// Connecting, and each send or receive, may take this long before the exchange fails.
constexpr int kSocketTimeoutSeconds = 10;
// Every exchange ends within its deadline, however the storage paces it: an upload has
// a floor plus the time its body takes at a slow link's pace, bounded; a download,
// whose size is not known before its answer, the bound of a large one.
constexpr int kUploadDeadlineFloorSeconds = 15;
constexpr std::uint64_t kSlowLinkBytesPerSecond = 128 * 1024;
constexpr int kUploadDeadlineMaxSeconds = 120;
constexpr int kDownloadDeadlineSeconds = 300;

int uploadDeadlineSeconds(std::uint64_t bodyLength) {
    const std::uint64_t seconds = kUploadDeadlineFloorSeconds + bodyLength / kSlowLinkBytesPerSecond;
    return static_cast<int>(std::min<std::uint64_t>(seconds, kUploadDeadlineMaxSeconds));
}

// The text between <tag> and </tag> in a storage error document, or "".
std::string xmlField(const std::string& body, const std::string& tag) {
    const std::string open = "<" + tag + ">";
    const auto begin = body.find(open);
    if (begin == std::string::npos) {
        return {};
    }
    const auto end = body.find("</" + tag + ">", begin + open.size());
    return end == std::string::npos ? std::string{}
                                    : body.substr(begin + open.size(), end - begin - open.size());
}

}  // namespace

// The storage error of one refused request: the service's error code (or the HTTP
// status when it sent none) and its message.
struct S3Error : std::runtime_error {
    S3Error(std::string code, const std::string& message)
        : std::runtime_error(message), code(std::move(code)) {}
    std::string code;

    static S3Error fromReply(const Poco::Net::HTTPResponse& response, const std::string& body) {
        std::string code = xmlField(body, "Code");
        std::string message = xmlField(body, "Message");
        if (code.empty()) {
            code = "HTTP " + std::to_string(static_cast<int>(response.getStatus()));
        }
        if (message.empty()) {
            message = response.getReason();
        }
        return S3Error(code, message);
    }
};

// One endpoint's connection settings and request signing. Each request opens its
// own session, so concurrent callers share nothing mutable.
class S3Transport {
public:
    S3Transport(const std::string& endpoint, const std::string& login, const std::string& password)
        : credentials_{login, password} {
        std::string address = endpoint;
        if (address.rfind("http://", 0) == 0) {
            https_ = false;
        } else if (address.rfind("https://", 0) != 0) {
            // A bare host (with an optional port and path) is reached over HTTPS.
            address = "https://" + address;
        }
        try {
            const Poco::URI uri(address);
            host_ = uri.getHost();
            port_ = uri.getPort();
            basePath_ = uri.getPath();
            while (!basePath_.empty() && basePath_.back() == '/') {
                basePath_.pop_back();
            }
        } catch (const Poco::Exception& e) {
            invalid_ = "invalid storage endpoint \"" + endpoint + "\": " + e.displayText();
            return;
        }
        if (host_.empty()) {
            invalid_ = "invalid storage endpoint \"" + endpoint + "\": no host";
            return;
        }
        hostHeader_ = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
        if (port_ != (https_ ? 443 : 80)) {
            hostHeader_ += ":" + std::to_string(port_);
        }
        if (https_) {
            // Peer certificate and host name are checked against the system's CAs;
            // a peer that fails is refused, whatever other clients of the process accept.
            context_ = REST::makeClientContext(REST::TlsVerification::SystemCAs);
        }
    }

    // One signed exchange, over by its deadline (`deadlineSeconds` from now, or the
    // grace of a stop): `body` (may be null) is streamed with `bodyLength`, and the
    // answer's body handed to `sink` piece by piece as it arrives.
    void exchange(Poco::Net::HTTPResponse& response, const std::string& method, const std::string& bucket,
                  const std::string& key, std::istream* body, std::uint64_t bodyLength, int deadlineSeconds,
                  const std::function<void(const char*, std::size_t)>& sink) {
        const std::unique_ptr<Poco::Net::HTTPClientSession> session = open();
        REST::ExchangeInterrupter::InFlight inFlight(interrupter_, *session);
        const std::chrono::milliseconds grace = inFlight.grace();
        if (grace.count() > 0) {
            const Poco::Timespan span(0, static_cast<long>(grace.count()) * 1000);
            session->setTimeout(span, span, span);
        }
        const auto deadline = REST::exchangeDeadline(deadlineSeconds, grace).value();
        inFlight.enforce(deadline);
        try {
            run(*session, inFlight, response, method, bucket, key, body, bodyLength, deadline, sink);
        } catch (const Poco::TimeoutException&) {
            throw;
        } catch (const Poco::Exception&) {
            if (inFlight.overdue()) {
                // Its connection was shut down at the deadline, whatever it was waiting on.
                throw Poco::TimeoutException("Timeout", "the exchange did not end within its deadline");
            }
            throw;
        }
    }

private:
    void run(Poco::Net::HTTPClientSession& session, const REST::ExchangeInterrupter::InFlight& inFlight,
             Poco::Net::HTTPResponse& response, const std::string& method, const std::string& bucket,
             const std::string& key, std::istream* body, std::uint64_t bodyLength,
             REST::Clock::time_point deadline,
             const std::function<void(const char*, std::size_t)>& sink) const {
        const std::string path = basePath_ + "/" + bucket + "/" + key;
        Utils::SigV4::Request toSign{
            method, path, {}, {{"Host", hostHeader_}}, Utils::SigV4::kUnsignedPayload};
        const auto signedRequest =
            Utils::SigV4::sign(toSign, kRegion, kService, credentials_, std::time(nullptr));

        Poco::Net::HTTPRequest request(method, Utils::SigV4::requestTarget(path, {}),
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        for (const auto& [name, value] : signedRequest.headers) {
            request.set(name, value);
        }
        if (body != nullptr) {
            request.setContentLength64(static_cast<Poco::Int64>(bodyLength));
        }
        std::ostream& out = session.sendRequest(request);
        if (body != nullptr) {
            sendBody(session, out, *body, bodyLength, deadline);
        }
        if (inFlight.grace().count() == 0) {
            inFlight.throwIfInterrupted();
        }
        REST::armReceive(session, kSocketTimeoutSeconds, deadline);
        std::istream& in = session.receiveResponse(response);
        REST::receiveBody(session, response, in, kSocketTimeoutSeconds, deadline, sink);
    }

public:
    void interrupt(std::chrono::milliseconds grace) { interrupter_.interrupt(grace); }
    void resume() { interrupter_.resume(); }
    bool interrupted() const { return interrupter_.interrupted(); }

private:
    std::unique_ptr<Poco::Net::HTTPClientSession> open() const {
        if (!invalid_.empty()) {
            throw std::invalid_argument(invalid_);
        }
        std::unique_ptr<Poco::Net::HTTPClientSession> session;
        if (https_) {
            session = std::make_unique<Poco::Net::HTTPSClientSession>(host_, port_, context_);
        } else {
            session = std::make_unique<Poco::Net::HTTPClientSession>(host_, port_);
        }
        session->setTimeout(Poco::Timespan(kSocketTimeoutSeconds, 0));
        return session;
    }

    // A block at a time, so the deadline is looked at between any two sends.
    static void sendBody(Poco::Net::HTTPClientSession& session, std::ostream& out, std::istream& body,
                         std::uint64_t bodyLength, REST::Clock::time_point deadline) {
        char block[65536];
        std::uint64_t sent = 0;
        while (body.read(block, sizeof block) || body.gcount() > 0) {
            const auto got = static_cast<std::uint64_t>(body.gcount());
            if (got > bodyLength - sent) {
                break;
            }
            REST::armSend(session, kSocketTimeoutSeconds, deadline);
            // The stream hides the library's exception.
            if (!out.write(block, body.gcount())) {
                throw Poco::IOException("the storage did not take the request's body");
            }
            sent += got;
        }
        if (sent != bodyLength || body.gcount() != 0) {
            throw std::runtime_error("local file changed size during upload");
        }
        REST::armSend(session, kSocketTimeoutSeconds, deadline);
        if (!out.flush()) {
            throw Poco::IOException("the storage did not take the request's body");
        }
    }

    REST::ExchangeInterrupter interrupter_;
    Utils::SigV4::Credentials credentials_;
    bool https_ = true;
    std::string host_;
    unsigned short port_ = 0;
    std::string basePath_;
    std::string hostHeader_;
    std::string invalid_;
    Poco::Net::Context::Ptr context_;
};

}  // namespace velmora::Engine::Sync

using velmora::Engine::Logging::log;
using velmora::Engine::Sync::kDownloadDeadlineSeconds;
using velmora::Engine::Sync::S3Error;
using velmora::Engine::Sync::S3Transport;
using velmora::Engine::Sync::uploadDeadlineSeconds;

S3ClientWrapper::S3ClientWrapper(const std::string& endpoint, const std::string& bucket,
                                 const std::string& login, const std::string& password)
    : client_(std::make_unique<S3Transport>(endpoint, login, password)),
      endpoint_(endpoint),
      bucket_(bucket),
      login_(login),
      password_(password) {}

S3ClientWrapper::~S3ClientWrapper() = default;

std::string S3ClientWrapper::GetObjectUrl(const std::string& key) {
    std::string base = endpoint_;
    while (!base.empty() && (base.back() == '.' || base.back() == '/')) {
        base.pop_back();
    }
    return base + "/" + bucket_ + "/" + key;
}

std::vector<unsigned char> S3ClientWrapper::GetObjectData(const std::string& key) {
    try {
        Poco::Net::HTTPResponse response;
        std::vector<unsigned char> data;
        client_->exchange(response, Poco::Net::HTTPRequest::HTTP_GET, bucket_, key, nullptr, 0,
                          kDownloadDeadlineSeconds, [&](const char* piece, std::size_t size) {
                              if (data.empty() && response.hasContentLength()) {
                                  data.reserve(static_cast<std::size_t>(response.getContentLength64()));
                              }
                              data.insert(data.end(), piece, piece + size);
                          });
        if (response.getStatus() != Poco::Net::HTTPResponse::HTTP_OK) {
            throw S3Error::fromReply(response, std::string(data.begin(), data.end()));
        }
        // A connection that drops mid-body ends the stream early: never hand out a truncated object.
        if (response.hasContentLength() &&
            static_cast<std::uint64_t>(response.getContentLength64()) != data.size()) {
            throw S3Error("IncompleteBody", "received " + std::to_string(data.size()) + " of " +
                                                std::to_string(response.getContentLength64()) + " bytes");
        }
        return data;
    } catch (const S3Error& e) {
        log().error("GetObjectData failed: {} - {}", e.code, e.what());
    } catch (const Poco::Exception& e) {
        log().error("GetObjectData failed: {} - {}", e.className(), e.displayText());
    } catch (const std::exception& e) {
        log().error("GetObjectData failed: {} - {}", "Exception", e.what());
    }
    return {};
}

bool S3ClientWrapper::PutObject(const std::string& localPath, const std::string& key) {
    std::ifstream file(localPath, std::ios::binary);
    std::error_code error;
    const auto size = std::filesystem::file_size(localPath, error);
    if (!file || error) {
        return false;
    }
    try {
        Poco::Net::HTTPResponse response;
        std::string body;
        client_->exchange(response, Poco::Net::HTTPRequest::HTTP_PUT, bucket_, key, &file, size,
                          uploadDeadlineSeconds(size),
                          [&body](const char* piece, std::size_t length) { body.append(piece, length); });
        if (response.getStatus() != Poco::Net::HTTPResponse::HTTP_OK) {
            const auto refused = S3Error::fromReply(response, body);
            log().error("PutObject failed: {} - {}", refused.code, refused.what());
            return false;
        }
        return true;
    } catch (const Poco::Exception& e) {
        log().error("PutObject failed: {} - {}", e.className(), e.displayText());
    } catch (const std::invalid_argument& e) {
        log().error("PutObject failed: {} - {}", "InvalidEndpoint", e.what());
    }
    return false;
}

void S3ClientWrapper::Interrupt(std::chrono::milliseconds grace) {
    client_->interrupt(grace);
}

void S3ClientWrapper::Resume() {
    client_->resume();
}

bool S3ClientWrapper::Interrupted() const {
    return client_->interrupted();
}
