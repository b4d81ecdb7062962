// The object-storage client and its upload policy against s3rver on loopback, and
// against a recording peer where exact requests or refusals are needed.
#include <gtest/gtest.h>

#include <Poco/String.h>
#include <spdlog/sinks/ostream_sink.h>
#include <boost/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "logger.h"
#include "s3client.h"
#include "s3client_provider.h"
#include "s3rver_fixture.h"
#include "stalling_peer.h"
#include "test_support.h"

namespace {

using velmora::Engine::Sync::S3ClientProvider;
using namespace orvix::test;
using Clock = std::chrono::steady_clock;

// Collects what the process logger writes while it lives, one "level message" per line.
class LogCapture {
public:
    LogCapture() : sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_)) {
        sink_->set_pattern("%l %v");
        velmora::Engine::Logging::log().sinks().push_back(sink_);
    }
    ~LogCapture() {
        auto& sinks = velmora::Engine::Logging::log().sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(stream_.str());
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }
    std::vector<std::string> linesStarting(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& line : lines()) {
            if (line.rfind(prefix, 0) == 0) {
                out.push_back(line);
            }
        }
        return out;
    }

private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) {
        c = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

std::string asString(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// What curl, an independent S3 client, finds under a key: the HTTP status and body.
std::pair<int, std::string> fetchWithCurl(const S3rverPeer& peer, const std::string& target) {
    TempDir dir;
    ChildProcess curl(
        {"/usr/bin/curl", "-s", "-o", dir.file("body"), "-w", "%{http_code}", "--aws-sigv4",
         "aws:amz:us-east-1:s3", "--user", std::string(S3rverPeer::kAccessKey) + ":" + S3rverPeer::kSecretKey,
         "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", peer.endpoint() + target},
        {}, dir.path());
    if (curl.wait(std::chrono::seconds(30)) != 0) {
        return {-1, curl.stderrText()};
    }
    const std::string body = std::filesystem::exists(dir.file("body")) ? readFile(dir.file("body")) : "";
    return {std::stoi(curl.stdoutText()), body};
}

TEST(S3ClientWrapper, ObjectUrlDropsTrailingDotsAndSlashesOfTheEndpoint) {
    struct Case {
        std::string endpoint;
        std::string key;
        std::string url;
    };
    const std::string key = "VelmoraMonitoring/RecognitionModules/42/a b.jpg";
    const Case cases[] = {
        {"https://storage.example.com/", key, "https://storage.example.com/develop/" + key},
        {"https://storage.example.com/.", key, "https://storage.example.com/develop/" + key},
        {"https://storage.example.com//", key, "https://storage.example.com/develop/" + key},
        {"https://storage.example.com/././/", key, "https://storage.example.com/develop/" + key},
        {"https://storage.example.com", key, "https://storage.example.com/develop/" + key},
        {"http://10.0.0.5:9000", "x", "http://10.0.0.5:9000/develop/x"},
        {"storage.example.com", "d/\xD1\x84.evom", "storage.example.com/develop/d/\xD1\x84.evom"},
        {"", "k", "/develop/k"},
    };
    for (const auto& c : cases) {
        S3ClientWrapper wrapper(c.endpoint, "develop", "id", "secret");
        EXPECT_EQ(wrapper.GetObjectUrl(c.key), c.url) << c.endpoint;
        S3ClientProvider provider(c.endpoint, "develop", "id", "secret");
        EXPECT_EQ(provider.getObjectUrl(c.key), c.url) << c.endpoint;
    }
}

TEST(S3ClientWrapper, SendsNothingUntilAsked) {
    RecordingServer peer;
    {
        S3ClientWrapper plain(peer.baseUrl(), "develop", "id", "secret");
        S3ClientProvider provider(peer.baseUrl(), "develop", "id", "secret");
        S3ClientWrapper secure("https://127.0.0.1:" + std::to_string(peer.port()), "develop", "id", "secret");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(peer.requests().empty());
}

// The upload as it goes over the wire: a path-style PUT of the file's bytes, payload
// not signed, and an Authorization header that the independent signer reproduces.
TEST(S3ClientWrapper, PutIsAPathStyleRequestSignedForUsEast1) {
    RecordingServer peer([](const RecordedRequest&) {
        return CannedReply{200, "OK", "application/xml", ""};
    });
    TempDir dir;
    const std::string content = randomBytes(70000, 7);
    writeFile(dir.file("picture.jpg"), content);
    S3ClientWrapper wrapper(peer.baseUrl() + "/", "develop", "AKIDLOGIN", "the secret");
    const std::string key = "VelmoraMonitoring/RecognitionModules/42/pic \xD1\x84.jpg";
    ASSERT_TRUE(wrapper.PutObject(dir.file("picture.jpg"), key));

    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.uri, "/develop/VelmoraMonitoring/RecognitionModules/42/pic%20%D1%84.jpg");
    EXPECT_EQ(request.body, content);
    auto header = [&](const std::string& name) {
        for (const auto& [key, value] : request.headers) {
            if (Poco::icompare(key, name) == 0) {
                return value;
            }
        }
        return std::string{};
    };
    EXPECT_EQ(header("x-amz-content-sha256"), "UNSIGNED-PAYLOAD");
    EXPECT_EQ(header("Content-Length"), std::to_string(content.size()));
    EXPECT_EQ(header("Host"), "127.0.0.1:" + std::to_string(peer.port()));
    const std::string amzDate = header("x-amz-date");
    ASSERT_EQ(amzDate.size(), 16u);
    EXPECT_EQ(header("Authorization")
                  .rfind("AWS4-HMAC-SHA256 Credential=AKIDLOGIN/" + amzDate.substr(0, 8) +
                             "/us-east-1/s3/aws4_request, ",
                         0),
              0u);

    boost::json::array input{
        boost::json::object{{"method", "PUT"},
                            {"target", request.uri},
                            {"headers", boost::json::object{{"Host", header("Host")},
                                                            {"X-Amz-Date", amzDate},
                                                            {"X-Amz-Content-Sha256", "UNSIGNED-PAYLOAD"}}},
                            {"region", "us-east-1"},
                            {"service", "s3"},
                            {"accessKeyId", "AKIDLOGIN"},
                            {"secretAccessKey", "the secret"}}};
    writeFile(dir.file("cases.json"), boost::json::serialize(input));
    ChildProcess node({"/usr/bin/env", "node", std::string(ORVIX_SOURCE_DIR) + "/tests/peers/sign.js",
                       dir.file("cases.json")},
                      {}, dir.path());
    ASSERT_EQ(node.wait(std::chrono::seconds(30)), 0) << node.stderrText();
    const auto theirs = boost::json::parse(node.stdoutText()).as_array();
    EXPECT_EQ(header("Authorization"), std::string(theirs.at(0).at("authorization").as_string()));
}

TEST(S3ClientProvider, UploadsAndDownloadsByteForByte) {
    S3rverPeer s3;
    TempDir dir;
    struct Case {
        std::string name;
        std::string content;
        std::string key;
    };
    const Case cases[] = {
        {"empty.txt", "", "VelmoraMonitoring/RecognitionModules/42/empty.txt"},
        {"log.txt", "line one\nline two\n",
         "VelmoraMonitoring/RecognitionModules/42/logs/orvix 2026-02-16.txt"},
        {"bytes.bin", randomBytes(256, 1),
         "VelmoraMonitoring/RecognitionModules/42/\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.bin"},
        {"backup.evom", randomBytes(6 * 1024 * 1024 + 13, 2),
         "VelmoraMonitoring/RecognitionModules/42/backup.evom"},
    };
    S3ClientProvider provider(s3.endpoint(), s3.bucket(), S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
    for (const auto& c : cases) {
        writeFile(dir.file(c.name), c.content);
        std::string url = "untouched";
        ASSERT_TRUE(provider.uploadFile(dir.file(c.name), c.key, url, false)) << c.name;
        EXPECT_EQ(url, s3.endpoint() + "/" + s3.bucket() + "/" + c.key);
        EXPECT_TRUE(std::filesystem::exists(dir.file(c.name))) << "kept without deleteLocal";
        EXPECT_EQ(asString(provider.downloadFile(c.key)), c.content) << c.name;
    }
    // curl confirms the empty object exists (an empty download alone cannot tell).
    EXPECT_EQ(fetchWithCurl(s3, "/develop/VelmoraMonitoring/RecognitionModules/42/empty.txt"),
              std::make_pair(200, std::string{}));
    EXPECT_EQ(
        fetchWithCurl(s3, "/develop/VelmoraMonitoring/RecognitionModules/42/logs/orvix%202026-02-16.txt"),
        std::make_pair(200, std::string("line one\nline two\n")));

    // A second upload under the same key replaces the object.
    writeFile(dir.file("log.txt"), "replaced");
    std::string url;
    ASSERT_TRUE(provider.uploadFile(dir.file("log.txt"), cases[1].key, url, false));
    EXPECT_EQ(asString(provider.downloadFile(cases[1].key)), "replaced");
}

TEST(S3ClientProvider, DeleteLocalRemovesTheFileOnlyAfterSuccess) {
    S3rverPeer s3;
    TempDir dir;
    S3ClientProvider provider(s3.endpoint(), s3.bucket(), S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
    std::string url;
    writeFile(dir.file("upload.txt"), "to be removed");
    ASSERT_TRUE(provider.uploadFile(dir.file("upload.txt"), "k/removed.txt", url, true));
    EXPECT_FALSE(std::filesystem::exists(dir.file("upload.txt")));
    EXPECT_EQ(asString(provider.downloadFile("k/removed.txt")), "to be removed");

    writeFile(dir.file("kept.txt"), "stays");
    ASSERT_TRUE(provider.uploadFile(dir.file("kept.txt"), "k/kept.txt", url, false));
    EXPECT_EQ(readFile(dir.file("kept.txt")), "stays");

    // A refused upload never removes the local file.
    S3ClientProvider refused(s3.endpoint(), s3.bucket(), "WRONGKEY", S3rverPeer::kSecretKey);
    writeFile(dir.file("refused.txt"), "must stay");
    url = "before";
    EXPECT_FALSE(refused.uploadFile(dir.file("refused.txt"), "k/refused.txt", url, true));
    EXPECT_EQ(url, "before");
    EXPECT_EQ(readFile(dir.file("refused.txt")), "must stay");
}

TEST(S3ClientProvider, WrongAccessKeyCountsAsFailedAttempts) {
    S3rverPeer s3;
    TempDir dir;
    writeFile(dir.file("a.txt"), "data");
    S3ClientProvider provider(s3.endpoint(), s3.bucket(), "NOTAKEY", S3rverPeer::kSecretKey);
    LogCapture capture;
    std::string url;
    EXPECT_FALSE(provider.uploadFile(dir.file("a.txt"), "k/a.txt", url, false));
    EXPECT_EQ(capture
                  .linesStarting("error S3 PutObject failed: bucket=develop, key=k/a.txt, path=" +
                                 dir.file("a.txt"))
                  .size(),
              5u);
    EXPECT_EQ(capture.linesStarting("error PutObject failed: InvalidAccessKeyId").size(), 5u);
    for (int attempt = 1; attempt <= 5; ++attempt) {
        EXPECT_EQ(capture
                      .linesStarting("warning Attempt " + std::to_string(attempt) +
                                     ": can't upload file in S3 (key=k/a.txt);")
                      .size(),
                  1u);
    }
    EXPECT_EQ(capture.linesStarting("error uploadFile: all 5 attempts out, object key=k/a.txt;").size(), 1u);

    // Downloads with the wrong key: empty, and one error line naming the refusal.
    S3ClientProvider good(s3.endpoint(), s3.bucket(), S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
    ASSERT_TRUE(good.uploadFile(dir.file("a.txt"), "k/a.txt", url, false));
    LogCapture download;
    EXPECT_TRUE(provider.downloadFile("k/a.txt").empty());
    const auto lines = download.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("error GetObjectData failed: InvalidAccessKeyId - ", 0), 0u) << lines[0];
}

TEST(S3ClientProvider, MissingKeyGivesAnEmptyVectorAndOneErrorLine) {
    S3rverPeer s3;
    S3ClientWrapper wrapper(s3.endpoint(), s3.bucket(), S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
    LogCapture capture;
    EXPECT_TRUE(wrapper.GetObjectData("VelmoraMonitoring/no such key.bin").empty());
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("error GetObjectData failed: NoSuchKey - ", 0), 0u) << lines[0];

    // A bucket that does not exist is a failure of the same kind.
    S3ClientWrapper other(s3.endpoint(), "no-such-bucket", S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
    EXPECT_TRUE(other.GetObjectData("k").empty());
    EXPECT_EQ(capture.linesStarting("error GetObjectData failed: NoSuchBucket - ").size(), 1u);
}

TEST(S3ClientProvider, StoppedServerGivesFiveAttemptsAndFalse) {
    S3rverPeer s3;
    TempDir dir;
    writeFile(dir.file("a.txt"), "data");
    S3ClientProvider provider(s3.endpoint(), s3.bucket(), S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
    s3.stop();
    LogCapture capture;
    std::string url = "before";
    const auto start = Clock::now();
    EXPECT_FALSE(provider.uploadFile(dir.file("a.txt"), "k/a.txt", url, true));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(5 * 300));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_EQ(url, "before");
    EXPECT_TRUE(std::filesystem::exists(dir.file("a.txt")));
    EXPECT_EQ(capture.linesStarting("warning Attempt ").size(), 5u);
    EXPECT_EQ(capture.linesStarting("warning Attempt 5: can't upload file in S3 (key=k/a.txt);").size(), 1u);
    EXPECT_EQ(capture.linesStarting("error uploadFile: all 5 attempts out, object key=k/a.txt;").size(), 1u);

    LogCapture download;
    EXPECT_TRUE(provider.downloadFile("k/a.txt").empty());
    EXPECT_EQ(download.linesStarting("error GetObjectData failed: ").size(), 1u);
}

TEST(S3ClientProvider, MissingLocalFileFailsEveryAttemptWithoutSending) {
    RecordingServer peer;
    S3ClientProvider provider(peer.baseUrl(), "develop", "id", "secret");
    LogCapture capture;
    std::string url;
    const auto start = Clock::now();
    EXPECT_FALSE(provider.uploadFile("/nonexistent/dir/file.jpg", "k/file.jpg", url, true));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(5 * 300));
    EXPECT_EQ(capture.linesStarting("warning Attempt ").size(), 5u);
    EXPECT_EQ(capture.linesStarting("error uploadFile: all 5 attempts out, object key=k/file.jpg;").size(),
              1u);
    EXPECT_TRUE(peer.requests().empty());
    // A directory is not a readable file either.
    TempDir dir;
    S3ClientWrapper wrapper(peer.baseUrl(), "develop", "id", "secret");
    EXPECT_FALSE(wrapper.PutObject(dir.path(), "k/dir"));
    EXPECT_TRUE(peer.requests().empty());
}

// Two refusals, then acceptance: true on the third attempt with two failures logged.
TEST(S3ClientProvider, SucceedsOnTheThirdAttempt) {
    std::atomic<int> calls{0};
    RecordingServer peer([&calls](const RecordedRequest&) {
        if (++calls <= 2) {
            return CannedReply{
                503, "Slow Down", "application/xml",
                "<Error><Code>SlowDown</Code><Message>Reduce your request rate.</Message></Error>"};
        }
        return CannedReply{200, "OK", "application/xml", ""};
    });
    TempDir dir;
    writeFile(dir.file("a.jpg"), "jpeg bytes");
    S3ClientProvider provider(peer.baseUrl(), "develop", "id", "secret");
    LogCapture capture;
    std::string url;
    const auto start = Clock::now();
    EXPECT_TRUE(provider.uploadFile(dir.file("a.jpg"), "k/a.jpg", url, true));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(2 * 300));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3 * 300 + 2000));
    EXPECT_EQ(url, peer.baseUrl() + "/develop/k/a.jpg");
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.jpg")));
    EXPECT_EQ(peer.requests().size(), 3u);
    EXPECT_EQ(capture.linesStarting("error PutObject failed: SlowDown - Reduce your request rate.").size(),
              2u);
    EXPECT_EQ(capture.linesStarting("warning Attempt 1: can't upload file in S3 (key=k/a.jpg);").size(), 1u);
    EXPECT_EQ(capture.linesStarting("warning Attempt 2: can't upload file in S3 (key=k/a.jpg);").size(), 1u);
    EXPECT_TRUE(capture.linesStarting("warning Attempt 3").empty());
    EXPECT_EQ(capture.linesStarting("info ").size(), 1u);
    EXPECT_NE(capture.linesStarting("info ").at(0).find(url), std::string::npos);
}

// "https://" and a bare address both mean TLS: against a plain HTTP peer the
// handshake fails, which is a failed request, not a crash or a plain-text fallback.
TEST(S3ClientWrapper, HttpsAndBareEndpointsUseTls) {
    S3rverPeer s3;
    TempDir dir;
    writeFile(dir.file("a.txt"), "data");
    const std::string address = "127.0.0.1:" + std::to_string(s3.port());
    for (const std::string& endpoint : {"https://" + address, address}) {
        S3ClientWrapper wrapper(endpoint, s3.bucket(), S3rverPeer::kAccessKey, S3rverPeer::kSecretKey);
        LogCapture capture;
        EXPECT_FALSE(wrapper.PutObject(dir.file("a.txt"), "k/a.txt")) << endpoint;
        EXPECT_TRUE(wrapper.GetObjectData("k/a.txt").empty()) << endpoint;
        const auto failures = capture.linesStarting("error GetObjectData failed: ");
        ASSERT_EQ(failures.size(), 1u) << endpoint;
        // The failure is the TLS handshake, not an answer of the storage.
        EXPECT_NE(failures[0].find("SSL"), std::string::npos) << failures[0];
    }
    // Nothing reached the bucket over plain text.
    EXPECT_EQ(fetchWithCurl(s3, "/develop/k/a.txt").first, 404);
}

}  // namespace

namespace {

struct StallingCase {
    const char* label;
    StallingPeer::Pace pace;
    std::chrono::seconds atLeast;  // what ends the exchange, and not sooner
    std::chrono::seconds atMost;
};

// Silent: each receive waits 10 s. Trickling: every receive gets its byte, so only
// the deadline of a small file's upload (15 s) ends it.
const StallingCase kStallingPeers[] = {
    {"silent", StallingPeer::Pace::Silent, std::chrono::seconds(9), std::chrono::seconds(12)},
    {"trickling", StallingPeer::Pace::Trickle, std::chrono::seconds(14), std::chrono::seconds(17)},
};

}  // namespace

TEST(S3ClientWrapper, UploadToAStallingPeerFailsByItsDeadline) {
    TempDir dir;
    writeFile(dir.file("a.jpg"), randomBytes(20000, 3));
    for (const auto& c : kStallingPeers) {
        StallingPeer peer(c.pace);
        S3ClientWrapper wrapper(peer.baseUrl(), "develop", "id", "secret");
        LogCapture capture;
        const auto start = Clock::now();
        EXPECT_FALSE(wrapper.PutObject(dir.file("a.jpg"), "k/a.jpg")) << c.label;
        const auto elapsed = Clock::now() - start;
        EXPECT_GE(elapsed, c.atLeast) << c.label;
        EXPECT_LE(elapsed, c.atMost) << c.label;
        EXPECT_EQ(peer.connections(), 1) << c.label;
        EXPECT_GE(peer.received(), 20000) << c.label;  // the body went out before the wait
        const auto failures = capture.linesStarting("error PutObject failed: ");
        ASSERT_EQ(failures.size(), 1u) << c.label;
        EXPECT_NE(failures[0].find("Timeout"), std::string::npos) << c.label << ": " << failures[0];
    }
}

TEST(S3ClientWrapper, DownloadFromAStallingPeerFailsByItsTimeout) {
    StallingPeer peer(StallingPeer::Pace::Silent);
    S3ClientWrapper wrapper(peer.baseUrl(), "develop", "id", "secret");
    const auto start = Clock::now();
    EXPECT_TRUE(wrapper.GetObjectData("k/a.jpg").empty());
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::seconds(9));
    EXPECT_LE(elapsed, std::chrono::seconds(12));
}

// A stop ends the upload in flight at once, and the upload makes no further attempt.
TEST(S3ClientProvider, InterruptEndsAnUploadInFlight) {
    TempDir dir;
    writeFile(dir.file("a.jpg"), randomBytes(20000, 4));
    for (const auto& c : kStallingPeers) {
        StallingPeer peer(c.pace);
        S3ClientProvider provider(peer.baseUrl(), "develop", "id", "secret");
        std::atomic<bool> uploaded{true};
        std::thread upload([&] {
            std::string url;
            uploaded = provider.uploadFile(dir.file("a.jpg"), "k/a.jpg", url, true);
        });
        EXPECT_TRUE(waitUntil([&] { return peer.received() >= 20000; }, std::chrono::seconds(5))) << c.label;
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto stop = Clock::now();
        provider.interrupt(std::chrono::milliseconds(1000));
        upload.join();
        EXPECT_LT(Clock::now() - stop, std::chrono::seconds(2)) << c.label;
        EXPECT_FALSE(uploaded) << c.label;
        EXPECT_EQ(peer.connections(), 1) << c.label;
        EXPECT_TRUE(std::filesystem::exists(dir.file("a.jpg"))) << c.label;
    }
}
