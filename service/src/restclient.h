#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <Poco/AutoPtr.h>
#include <Poco/URI.h>

#include "http_exchange.h"
#include "tls_policy.h"

namespace Poco::Net {
class Context;
class HTTPClientSession;
}  // namespace Poco::Net
namespace boost::json {
class value;
class object;
}  // namespace boost::json

namespace velmora::Engine::REST {

// One complete HTTP exchange; any status, 4xx and 5xx included, is a normal result.
struct RawResponse {
    int status = 0;
    std::string reason;
    std::map<std::string, std::string> headers;  // a repeated name keeps its last value
    std::string body;
};

using Query = std::vector<std::pair<std::string, std::string>>;

// The agent's HTTP client, fixed to one base URL. Each exchange opens its own
// session and copies the token and the timeout when it starts, so one client may
// serve several threads at once while another sets the token. Transport failures
// leave as the HTTP library's exceptions.
class RestClient {
public:
    inline static const std::string kBoundary = "----VelmoraBoundary7d91d0a123456";

    // Throws std::invalid_argument on a bad base URL or port. An https base URL
    // gets a TLS context of its own with `verification`; by default any server
    // certificate is accepted, as the module and the cloud service are deployed.
    RestClient(const std::string& baseUrl, int port,
               TlsVerification verification = TlsVerification::AcceptAny);
    ~RestClient();

    void setAuthToken(const std::string& token);
    void clearAuthToken();
    void setTimeout(const int& seconds);  // 0: the library's defaults
    // The whole answer (status line, headers and body) must arrive within this many
    // seconds after the request was sent, however the peer paces it; past it the
    // exchange fails with Poco::TimeoutException, like a receive time-out. 0: none.
    void setExchangeDeadline(int seconds);
    const Poco::URI& getBaseUri() const;

    // For a stop: every exchange in flight ends at once (its connection is shut
    // down), and each one that starts before resume() has at most `grace` to connect
    // and be answered, so a stop never waits on a peer that does not answer, while a
    // last short exchange (a task's answer) may still go through.
    void interrupt(std::chrono::milliseconds grace);
    void resume();

    RawResponse request(const std::string& method, const std::string& path, const std::string* body,
                        const std::string& contentType);
    RawResponse requestRaw(const std::string& method, const std::string& path, const std::string* body,
                           const std::string& contentType);

    RawResponse Get(const std::string& path);
    RawResponse GetRaw(const std::string& path);
    RawResponse GetWithQuery(const std::string& path, const Query& query);
    RawResponse Delete(const std::string& path);
    RawResponse DeleteWithQuery(const std::string& path, const Query& query);

    RawResponse Post(const std::string& path, const boost::json::value& value);
    RawResponse PostRaw(const std::string& path, const boost::json::value& value);
    RawResponse Put(const std::string& path, const boost::json::value& value);
    RawResponse PutRaw(const std::string& path, const boost::json::value& value);
    RawResponse Patch(const std::string& path, const boost::json::value& value);
    RawResponse PatchRaw(const std::string& path, const boost::json::value& value);
    RawResponse PostWithQuery(const std::string& path, const boost::json::value& value, const Query& query);
    RawResponse PutWithQuery(const std::string& path, const boost::json::value& value, const Query& query);
    RawResponse PatchWithQuery(const std::string& path, const boost::json::value& value, const Query& query);

    // Form bodies: a ready text is sent unchanged, an object is encoded by buildForm.
    RawResponse PostForm(const std::string& path, const std::string& form);
    RawResponse PutForm(const std::string& path, const std::string& form);
    RawResponse PatchForm(const std::string& path, const std::string& form);
    RawResponse DeleteForm(const std::string& path, const std::string& form);
    RawResponse PostFormRaw(const std::string& path, const std::string& form);
    RawResponse PutFormRaw(const std::string& path, const std::string& form);
    RawResponse PatchFormRaw(const std::string& path, const std::string& form);
    RawResponse DeleteFormRaw(const std::string& path, const std::string& form);
    RawResponse PostForm(const std::string& path, const boost::json::object& form);
    RawResponse PutForm(const std::string& path, const boost::json::object& form);
    RawResponse PatchForm(const std::string& path, const boost::json::object& form);
    RawResponse DeleteForm(const std::string& path, const boost::json::object& form);
    RawResponse PostFormRaw(const std::string& path, const boost::json::object& form);
    RawResponse PutFormRaw(const std::string& path, const boost::json::object& form);
    RawResponse PatchFormRaw(const std::string& path, const boost::json::object& form);
    RawResponse DeleteFormRaw(const std::string& path, const boost::json::object& form);

    // One multipart part holding `bytes`, with the fixed boundary kBoundary.
    // The bytes are sent from where they are, never copied into a body of their own.
    RawResponse PostFormData(const std::string& path, const std::string& fieldName,
                             const std::string& fileName, std::string_view bytes);

    // HEAD /api/x over plain HTTP/1.0 with a 2-second limit: true for a status below 405.
    bool checkConnectionHTTP();

    static std::string appendParams(const std::string& path, const Query& query);
    static std::string buildForm(const boost::json::object& form);
    static std::string buildMultipart(const std::string& fieldName, const std::string& fileName,
                                      std::string_view bytes);

private:
    // One exchange whose body is the concatenation of `pieces` (none: no body).
    RawResponse exchange(const std::string& method, const std::string& path,
                         const std::vector<std::string_view>* pieces, const std::string& contentType);

    RawResponse sendJson(const std::string& method, const std::string& path, const boost::json::value& value);
    RawResponse sendForm(const std::string& method, const std::string& path, const std::string& form);

    Poco::URI baseUri_;
    mutable std::mutex settingsMutex_;  // guards token_, timeout_ and deadline_
    std::string token_;
    int timeout_ = 0;
    int deadline_ = 0;
    std::string userAgent_ = "Orvix-RESTClient";
    ExchangeInterrupter interrupter_;
    Poco::AutoPtr<Poco::Net::Context> tlsContext_;
};

}  // namespace velmora::Engine::REST
