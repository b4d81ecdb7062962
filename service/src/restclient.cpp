#include "restclient.h"

#include <chrono>
#include <optional>
#include <stdexcept>

#include <boost/json.hpp>

#include <Poco/Exception.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/NumberParser.h>

#include "logger.h"

namespace velmora::Engine::REST {
namespace {

using Logging::log;

const std::string kJson = "application/json";
const std::string kForm = "application/x-www-form-urlencoded";

// Characters encoded in form bodies on top of the URI library's always-unsafe set.
const std::string kFormReserved = "!$&'()*+,;=:@[]";

std::string formEncode(const std::string& text) {
    std::string encoded;
    Poco::URI::encode(text, kFormReserved, encoded);
    return encoded;
}

}  // namespace

RestClient::RestClient(const std::string& baseUrl, int port, TlsVerification verification) {
    std::string scheme = "http";
    std::string rest = baseUrl;
    if (rest.rfind("http://", 0) == 0) {
        rest.erase(0, 7);
    } else if (rest.rfind("https://", 0) == 0) {
        scheme = "https";
        rest.erase(0, 8);
    }

    if (scheme == "https") {
        tlsContext_ = makeClientContext(verification);
    }

    std::string hostPort = rest;
    std::string basePath = "/";
    auto slash = rest.find('/');
    if (slash != std::string::npos) {
        hostPort = rest.substr(0, slash);
        basePath = rest.substr(slash);
    }
    if (basePath.empty()) {
        basePath = "/";
    }

    std::string host = hostPort;
    unsigned urlPort = 0;
    auto colon = hostPort.find(':');
    if (colon != std::string::npos) {
        host = hostPort.substr(0, colon);
        std::string portText = hostPort.substr(colon + 1);
        if (!portText.empty()) {
            if (!Poco::NumberParser::tryParseUnsigned(portText, urlPort) || urlPort > 65535) {
                throw std::invalid_argument("Invalid port in base URL");
            }
        }
    }
    if (host.empty()) {
        throw std::invalid_argument("Invalid base URL: host is empty");
    }

    baseUri_.setScheme(scheme);
    baseUri_.setHost(host);
    if (port >= 1) {
        if (port > 65535) {
            throw std::invalid_argument("Port out of range");
        }
        baseUri_.setPort(static_cast<unsigned short>(port));
    } else if (urlPort != 0) {
        baseUri_.setPort(static_cast<unsigned short>(urlPort));
    }
    baseUri_.setPath(basePath);
    log().info("RestClient() init with baseUri_: scheme={}, host={}, port={}, path={};", baseUri_.getScheme(),
               baseUri_.getHost(), baseUri_.getPort(), baseUri_.getPath());
}

RestClient::~RestClient() = default;

void RestClient::setAuthToken(const std::string& token) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    token_ = token;
}

void RestClient::clearAuthToken() {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    token_.clear();
}

void RestClient::setTimeout(const int& seconds) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    timeout_ = seconds;
}

void RestClient::setExchangeDeadline(int seconds) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    deadline_ = seconds;
}

const Poco::URI& RestClient::getBaseUri() const {
    return baseUri_;
}

void RestClient::interrupt(std::chrono::milliseconds grace) {
    interrupter_.interrupt(grace);
}

void RestClient::resume() {
    interrupter_.resume();
}

RawResponse RestClient::request(const std::string& method, const std::string& path, const std::string* body,
                                const std::string& contentType) {
    return requestRaw(method, path, body, contentType);
}

RawResponse RestClient::requestRaw(const std::string& method, const std::string& path,
                                   const std::string* body, const std::string& contentType) {
    if (body == nullptr) {
        return exchange(method, path, nullptr, contentType);
    }
    const std::vector<std::string_view> pieces{*body};
    return exchange(method, path, &pieces, contentType);
}

RawResponse RestClient::exchange(const std::string& method, const std::string& path,
                                 const std::vector<std::string_view>* pieces,
                                 const std::string& contentType) {
    std::string token;
    int timeout = 0;
    int deadlineSeconds = 0;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        token = token_;
        timeout = timeout_;
        deadlineSeconds = deadline_;
    }
    Poco::URI target(baseUri_, path);
    std::unique_ptr<Poco::Net::HTTPClientSession> session;
    if (target.getScheme() == "https") {
        session =
            std::make_unique<Poco::Net::HTTPSClientSession>(target.getHost(), target.getPort(), tlsContext_);
    } else {
        session = std::make_unique<Poco::Net::HTTPClientSession>(target.getHost(), target.getPort());
    }
    ExchangeInterrupter::InFlight inFlight(interrupter_, *session);
    const std::chrono::milliseconds grace = inFlight.grace();
    if (grace.count() > 0) {
        const Poco::Timespan span(0, static_cast<long>(grace.count()) * 1000);
        session->setTimeout(span, span, span);
    } else if (timeout != 0) {
        session->setTimeout(Poco::Timespan(timeout, 0));
    }

    std::string pathAndQuery = target.getPathAndQuery();
    if (pathAndQuery.empty()) {
        pathAndQuery = "/";
    }
    Poco::Net::HTTPRequest httpRequest(method, pathAndQuery, Poco::Net::HTTPMessage::HTTP_1_1);
    httpRequest.set("User-Agent", userAgent_);
    if (!token.empty()) {
        httpRequest.set("Authorization", "Bearer " + token);
    }
    if (pieces != nullptr) {
        if (!contentType.empty()) {
            httpRequest.setContentType(contentType);
        }
        std::size_t length = 0;
        for (std::string_view piece : *pieces) {
            length += piece.size();
        }
        httpRequest.setContentLength64(static_cast<Poco::Int64>(length));
        std::ostream& out = session->sendRequest(httpRequest);
        for (std::string_view piece : *pieces) {
            out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        }
    } else {
        session->sendRequest(httpRequest);
    }

    if (grace.count() == 0) {
        inFlight.throwIfInterrupted();
    }
    const std::optional<Clock::time_point> deadline = exchangeDeadline(deadlineSeconds, grace);
    if (deadline) {
        inFlight.enforce(*deadline);
        armReceive(*session, timeout, *deadline);
    }
    try {
        Poco::Net::HTTPResponse httpResponse;
        std::istream& in = session->receiveResponse(httpResponse);
        RawResponse response;
        response.status = static_cast<int>(httpResponse.getStatus());
        response.reason = httpResponse.getReason();
        for (const auto& [name, value] : httpResponse) {
            response.headers[name] = value;
        }
        receiveBody(*session, httpResponse, in, timeout, deadline,
                    [&response](const char* piece, std::size_t size) { response.body.append(piece, size); });
        return response;
    } catch (const Poco::TimeoutException&) {
        throw;
    } catch (const Poco::Exception&) {
        if (inFlight.overdue()) {
            // Its connection was shut down at the deadline while the headers came.
            throw Poco::TimeoutException("Timeout", "the answer did not arrive within the exchange deadline");
        }
        throw;
    }
}

RawResponse RestClient::Get(const std::string& path) {
    return requestRaw("GET", path, nullptr, "");
}

RawResponse RestClient::GetRaw(const std::string& path) {
    return Get(path);
}

RawResponse RestClient::GetWithQuery(const std::string& path, const Query& query) {
    return requestRaw("GET", appendParams(path, query), nullptr, "");
}

RawResponse RestClient::Delete(const std::string& path) {
    return requestRaw("DELETE", path, nullptr, "");
}

RawResponse RestClient::DeleteWithQuery(const std::string& path, const Query& query) {
    return requestRaw("DELETE", appendParams(path, query), nullptr, "");
}

RawResponse RestClient::sendJson(const std::string& method, const std::string& path,
                                 const boost::json::value& value) {
    std::string body = boost::json::serialize(value);
    return requestRaw(method, path, &body, kJson);
}

RawResponse RestClient::Post(const std::string& path, const boost::json::value& value) {
    return sendJson("POST", path, value);
}
RawResponse RestClient::PostRaw(const std::string& path, const boost::json::value& value) {
    return Post(path, value);
}
RawResponse RestClient::Put(const std::string& path, const boost::json::value& value) {
    return sendJson("PUT", path, value);
}
RawResponse RestClient::PutRaw(const std::string& path, const boost::json::value& value) {
    return Put(path, value);
}
RawResponse RestClient::Patch(const std::string& path, const boost::json::value& value) {
    return sendJson("PATCH", path, value);
}
RawResponse RestClient::PatchRaw(const std::string& path, const boost::json::value& value) {
    return Patch(path, value);
}
RawResponse RestClient::PostWithQuery(const std::string& path, const boost::json::value& value,
                                      const Query& query) {
    return sendJson("POST", appendParams(path, query), value);
}
RawResponse RestClient::PutWithQuery(const std::string& path, const boost::json::value& value,
                                     const Query& query) {
    return sendJson("PUT", appendParams(path, query), value);
}
RawResponse RestClient::PatchWithQuery(const std::string& path, const boost::json::value& value,
                                       const Query& query) {
    return sendJson("PATCH", appendParams(path, query), value);
}

RawResponse RestClient::sendForm(const std::string& method, const std::string& path,
                                 const std::string& form) {
    return requestRaw(method, path, &form, kForm);
}

RawResponse RestClient::PostForm(const std::string& path, const std::string& form) {
    return sendForm("POST", path, form);
}
RawResponse RestClient::PutForm(const std::string& path, const std::string& form) {
    return sendForm("PUT", path, form);
}
RawResponse RestClient::PatchForm(const std::string& path, const std::string& form) {
    return sendForm("PATCH", path, form);
}
RawResponse RestClient::DeleteForm(const std::string& path, const std::string& form) {
    return sendForm("DELETE", path, form);
}
RawResponse RestClient::PostFormRaw(const std::string& path, const std::string& form) {
    return PostForm(path, form);
}
RawResponse RestClient::PutFormRaw(const std::string& path, const std::string& form) {
    return PutForm(path, form);
}
RawResponse RestClient::PatchFormRaw(const std::string& path, const std::string& form) {
    return PatchForm(path, form);
}
RawResponse RestClient::DeleteFormRaw(const std::string& path, const std::string& form) {
    return DeleteForm(path, form);
}
RawResponse RestClient::PostForm(const std::string& path, const boost::json::object& form) {
    return sendForm("POST", path, buildForm(form));
}
RawResponse RestClient::PutForm(const std::string& path, const boost::json::object& form) {
    return sendForm("PUT", path, buildForm(form));
}
RawResponse RestClient::PatchForm(const std::string& path, const boost::json::object& form) {
    return sendForm("PATCH", path, buildForm(form));
}
RawResponse RestClient::DeleteForm(const std::string& path, const boost::json::object& form) {
    return sendForm("DELETE", path, buildForm(form));
}
RawResponse RestClient::PostFormRaw(const std::string& path, const boost::json::object& form) {
    return PostForm(path, form);
}
RawResponse RestClient::PutFormRaw(const std::string& path, const boost::json::object& form) {
    return PutForm(path, form);
}
RawResponse RestClient::PatchFormRaw(const std::string& path, const boost::json::object& form) {
    return PatchForm(path, form);
}
RawResponse RestClient::DeleteFormRaw(const std::string& path, const boost::json::object& form) {
    return DeleteForm(path, form);
}

namespace {

struct MultipartFrame {
    std::string head;
    std::string tail;
};

MultipartFrame multipartFrame(const std::string& fieldName, const std::string& fileName) {
    return {"--" + RestClient::kBoundary + "\r\n" + "Content-Disposition: form-data; name=\"" + fieldName +
                "\"; filename=\"" + fileName + "\"\r\n" + "Content-Type: application/octet-stream\r\n\r\n",
            "\r\n--" + RestClient::kBoundary + "--\r\n"};
}

}  // namespace

std::string RestClient::buildMultipart(const std::string& fieldName, const std::string& fileName,
                                       std::string_view bytes) {
    const MultipartFrame frame = multipartFrame(fieldName, fileName);
    std::string body;
    body.reserve(frame.head.size() + bytes.size() + frame.tail.size());
    body.append(frame.head).append(bytes).append(frame.tail);
    return body;
}

RawResponse RestClient::PostFormData(const std::string& path, const std::string& fieldName,
                                     const std::string& fileName, std::string_view bytes) {
    const MultipartFrame frame = multipartFrame(fieldName, fileName);
    const std::vector<std::string_view> pieces{frame.head, bytes, frame.tail};
    return exchange("POST", path, &pieces, "multipart/form-data; boundary=" + kBoundary);
}

bool RestClient::checkConnectionHTTP() {
    try {
        Poco::Net::HTTPClientSession session(baseUri_.getHost(), baseUri_.getPort());
        session.setTimeout(Poco::Timespan(2, 0));
        Poco::Net::HTTPRequest probe("HEAD", "/api/x", Poco::Net::HTTPMessage::HTTP_1_0);
        probe.set("User-Agent", userAgent_);
        session.sendRequest(probe);
        Poco::Net::HTTPResponse response;
        session.receiveResponse(response);
        return static_cast<int>(response.getStatus()) < 405;
    } catch (...) {
        return false;
    }
}

std::string RestClient::appendParams(const std::string& path, const Query& query) {
    if (query.empty()) {
        return path;
    }
    Poco::URI uri(path);
    uri.setQueryParameters(query);
    std::string base = path.substr(0, path.find('?'));
    return base + "?" + uri.getRawQuery();
}

std::string RestClient::buildForm(const boost::json::object& form) {
    std::string body;
    for (const auto& member : form) {
        if (!body.empty()) {
            body += '&';
        }
        std::string key(member.key());
        std::string value = member.value().is_string() ? std::string(member.value().get_string())
                                                       : boost::json::serialize(member.value());
        body += formEncode(key) + "=" + formEncode(value);
    }
    return body;
}

}  // namespace velmora::Engine::REST
