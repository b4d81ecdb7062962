#pragma once

// Shared fixtures for the test suites: temporary directories, child processes,
// a plain HTTP caller and a recording HTTP peer on loopback.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace orvix::test {

// Built with a sanitizer that changes how much memory a process holds (shadow
// memory, AddressSanitizer's quarantine of freed blocks): memory bounds are
// checked in the plain build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// A fresh directory under the system temporary directory, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// Sets an environment variable for the scope of the object.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const char* value);  // null unsets
    ~ScopedEnv();

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// A program run as a child process with its standard output and error captured to
// files. Killed (SIGKILL) on destruction when still running.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& outputDir);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }
    void signal(int signo) const;
    // The exit status, or -1 when it did not end in time; a death by signal gives 128 + signo.
    int wait(std::chrono::milliseconds timeout);
    bool running();
    std::string stdoutText() const;
    std::string stderrText() const;

private:
    int pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string stdoutPath_;
    std::string stderrPath_;
};

// Polls until something listens on 127.0.0.1:port, or the time runs out.
bool waitForPort(unsigned short port, std::chrono::milliseconds timeout);
// Polls `condition` every 50 ms until it holds or the time runs out.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
// An unused TCP port on loopback, as the kernel hands it out.
unsigned short freePort();

struct HttpAnswer {
    int status = 0;
    std::string reason;
    std::map<std::string, std::string> headers;
    std::string body;
    bool hasContentLength = false;
};

// A plain HTTP/1.1 exchange with 127.0.0.1 (independent of the agent's client), with
// extra request headers such as Authorization. Throws on transport failure.
HttpAnswer httpCall(unsigned short port, const std::string& method, const std::string& target,
                    const std::string& body = {}, const std::string& contentType = {},
                    int timeoutSeconds = 10, const std::map<std::string, std::string>& headers = {});

// What a RecordingServer received.
struct RecordedRequest {
    std::string method;
    std::string uri;
    std::string version;
    std::map<std::string, std::string> headers;
    std::string body;
};

struct CannedReply {
    int status = 200;
    std::string reason;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers = {};
};

// An in-process HTTP peer on an ephemeral loopback port that records every request
// and answers with the reply chosen by `responder` (200 and "{}" by default).
class RecordingServer {
public:
    using Responder = std::function<CannedReply(const RecordedRequest&)>;
    explicit RecordingServer(Responder responder = {});
    // On a chosen loopback port, for a peer that goes away and comes back.
    RecordingServer(Responder responder, unsigned short port);
    ~RecordingServer();
    unsigned short port() const;
    std::string baseUrl() const;  // "http://127.0.0.1:<port>"
    std::vector<RecordedRequest> requests() const;
    void setResponder(Responder responder);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvix::test
