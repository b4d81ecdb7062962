// The REST client against an in-process HTTP peer that records what it receives.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <boost/json.hpp>

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include "restclient.h"
#include "test_support.h"

namespace {

using orvix::test::CannedReply;
using orvix::test::RecordedRequest;
using orvix::test::RecordingServer;
using velmora::Engine::REST::RawResponse;
using velmora::Engine::REST::RestClient;

TEST(RestClientBaseUrl, SchemeHostPortAndPath) {
    struct Case {
        std::string url;
        int port;
        std::string scheme;
        std::string host;
        unsigned short effectivePort;
        std::string path;
    };
    const Case cases[] = {
        {"https://10.1.2.3:8443/api", 0, "https", "10.1.2.3", 8443, "/api"},
        {"http://10.0.0.5", 8080, "http", "10.0.0.5", 8080, "/"},
        {"10.0.0.5:81/x/y", 0, "http", "10.0.0.5", 81, "/x/y"},
        {"http://10.0.0.5:81", 82, "http", "10.0.0.5", 82, "/"},  // the argument wins
        {"http://host:0/", 0, "http", "host", 80, "/"},           // port 0 in the URL means the default
        {"https://host", 0, "https", "host", 443, "/"},
        {"http://host:", 0, "http", "host", 80, "/"},
    };
    for (const auto& c : cases) {
        RestClient client(c.url, c.port);
        const auto& uri = client.getBaseUri();
        EXPECT_EQ(uri.getScheme(), c.scheme) << c.url;
        EXPECT_EQ(uri.getHost(), c.host) << c.url;
        EXPECT_EQ(uri.getPort(), c.effectivePort) << c.url;
        EXPECT_EQ(uri.getPath(), c.path) << c.url;
    }
}

TEST(RestClientBaseUrl, RejectsBadUrlsWithTheirTexts) {
    struct Case {
        std::string url;
        int port;
        std::string message;
    };
    const Case cases[] = {
        {"10.0.0.5:99999", 0, "Invalid port in base URL"},
        {"10.0.0.5:8o", 0, "Invalid port in base URL"},
        {"http://:80", 0, "Invalid base URL: host is empty"},
        {"http://", 0, "Invalid base URL: host is empty"},
        {"http://10.0.0.5", 70000, "Port out of range"},
    };
    for (const auto& c : cases) {
        try {
            RestClient client(c.url, c.port);
            ADD_FAILURE() << c.url << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.url;
        }
    }
}

TEST(RestClientEncoding, QueryParameters) {
    using Q = velmora::Engine::REST::Query;
    EXPECT_EQ(RestClient::appendParams("/items", Q{{"page", "2"}, {"q", "a b"}}), "/items?page=2&q=a%20b");
    EXPECT_EQ(RestClient::appendParams("/items", Q{}), "/items");
    EXPECT_EQ(RestClient::appendParams("/items?old=1", Q{{"new", "x"}}), "/items?new=x");
    EXPECT_EQ(RestClient::appendParams("/items", Q{{"a&b", "c=d"}}), "/items?a%26b=c%3Dd");
}

TEST(RestClientEncoding, FormBodies) {
    boost::json::object form;
    form["a"] = "x y";
    form["b"] = 1;
    form["c"] = true;
    EXPECT_EQ(RestClient::buildForm(form), "a=x%20y&b=1&c=true");

    boost::json::object reserved;
    reserved["k"] = "!$&'()*+,;=:@[]-_.~";
    reserved["n"] = nullptr;
    reserved["arr"] = boost::json::array{1, "s"};
    EXPECT_EQ(RestClient::buildForm(reserved),
              "k=%21%24%26%27%28%29%2A%2B%2C%3B%3D%3A%40%5B%5D-_.~&n=null&arr=%5B1%2C%22s%22%5D");

    boost::json::object utf;
    utf["name"] = "\xd0\xaf";  // a Cyrillic letter, two bytes
    EXPECT_EQ(RestClient::buildForm(utf), "name=%D0%AF");
    EXPECT_EQ(RestClient::buildForm(boost::json::object{}), "");
}

class RestClientExchange : public ::testing::Test {
protected:
    RecordingServer peer;
};

TEST_F(RestClientExchange, VerbsSendMethodPathBodyAndContentType) {
    RestClient client(peer.baseUrl() + "/base/", 0);
    boost::json::object obj{{"a", 1}};
    boost::json::object form{{"k", "v w"}};
    struct Case {
        std::function<RawResponse()> call;
        std::string method;
        std::string uri;
        std::string body;
        std::string contentType;  // "" means no Content-Type header
    };
    const Case cases[] = {
        {[&] { return client.Get("/items/7"); }, "GET", "/items/7", "", ""},
        {[&] { return client.GetRaw("rel"); }, "GET", "/base/rel", "", ""},
        {[&] {
             return client.GetWithQuery("/q", {{"x", "1 2"}});
         },
         "GET", "/q?x=1%202", "", ""},
        {[&] { return client.Delete("/d"); }, "DELETE", "/d", "", ""},
        {[&] {
             return client.DeleteWithQuery("/d", {{"id", "5"}});
         },
         "DELETE", "/d?id=5", "", ""},
        {[&] { return client.Post("/p", obj); }, "POST", "/p", R"({"a":1})", "application/json"},
        {[&] { return client.Post("/p", boost::json::value(nullptr)); }, "POST", "/p", "null",
         "application/json"},
        {[&] { return client.PutRaw("/p", obj); }, "PUT", "/p", R"({"a":1})", "application/json"},
        {[&] { return client.Patch("/p", obj); }, "PATCH", "/p", R"({"a":1})", "application/json"},
        {[&] {
             return client.PostWithQuery("/p", obj, {{"t", "1"}});
         },
         "POST", "/p?t=1", R"({"a":1})", "application/json"},
        {[&] { return client.PostForm("/f", std::string("raw=1&x")); }, "POST", "/f", "raw=1&x",
         "application/x-www-form-urlencoded"},
        {[&] { return client.DeleteForm("/f", form); }, "DELETE", "/f", "k=v%20w",
         "application/x-www-form-urlencoded"},
        {[&] { return client.PatchFormRaw("/f", form); }, "PATCH", "/f", "k=v%20w",
         "application/x-www-form-urlencoded"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        RawResponse response = cases[i].call();
        EXPECT_EQ(response.status, 200);
        auto recorded = peer.requests();
        ASSERT_EQ(recorded.size(), i + 1);
        const RecordedRequest& got = recorded.back();
        EXPECT_EQ(got.method, cases[i].method) << i;
        EXPECT_EQ(got.uri, cases[i].uri) << i;
        EXPECT_EQ(got.body, cases[i].body) << i;
        EXPECT_EQ(got.headers.count("Content-Type") ? got.headers.at("Content-Type") : "",
                  cases[i].contentType)
            << i;
        EXPECT_EQ(got.headers.at("User-Agent"), "Orvix-RESTClient") << i;
        if (!cases[i].body.empty()) {
            EXPECT_EQ(got.headers.at("Content-Length"), std::to_string(cases[i].body.size())) << i;
        }
    }
}

TEST_F(RestClientExchange, BearerTokenIsSentUntilCleared) {
    RestClient client(peer.baseUrl(), 0);
    client.setAuthToken("abc");
    client.Get("/a");
    client.clearAuthToken();
    client.Get("/b");
    auto recorded = peer.requests();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].headers.at("Authorization"), "Bearer abc");
    EXPECT_EQ(recorded[1].headers.count("Authorization"), 0u);
}

// The cloud client renews its token on the worker while request threads use the
// same client: every request carries one whole token, never a torn or empty one.
// Exchanges with a deadline start and end on several threads while the watchdog
// waits for the earliest of them: each one that ends takes its deadline along, and
// none is cut short (the sanitizer pass sees a watchdog that reads a gone one).
TEST_F(RestClientExchange, DeadlinesComeAndGoOnSeveralThreads) {
    RestClient client(peer.baseUrl(), 0);
    client.setExchangeDeadline(30);
    std::atomic<int> answered{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                if (client.Get("/t").status == 200) {
                    ++answered;
                }
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(answered, 100);
    EXPECT_EQ(peer.requests().size(), 100u);
}

TEST_F(RestClientExchange, TokenMaySwitchWhileOtherThreadsSend) {
    RestClient client(peer.baseUrl(), 0);
    const std::string first(200, 'a');
    const std::string second(300, 'b');
    client.setAuthToken(first);
    std::atomic<bool> stop{false};
    std::thread renewer([&] {
        for (int i = 0; !stop; ++i) {
            client.setAuthToken(i % 2 == 0 ? second : first);
            client.setTimeout(i % 2 == 0 ? 5 : 10);
        }
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
        senders.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                client.Get("/t");
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    stop = true;
    renewer.join();
    auto recorded = peer.requests();
    ASSERT_EQ(recorded.size(), 60u);
    for (const auto& request : recorded) {
        const std::string& header = request.headers.at("Authorization");
        EXPECT_TRUE(header == "Bearer " + first || header == "Bearer " + second) << header;
    }
}

TEST_F(RestClientExchange, MultipartBodyIsExact) {
    RestClient client(peer.baseUrl(), 0);
    std::string bytes("\x00\x01zip\r\n--", 9);
    client.PostFormData("/api/import_template", "file", "t.evom", bytes);
    auto got = peer.requests().at(0);
    const std::string boundary = "----VelmoraBoundary7d91d0a123456";
    EXPECT_EQ(got.headers.at("Content-Type"), "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(got.body, "--" + boundary + "\r\n" +
                            "Content-Disposition: form-data; name=\"file\"; filename=\"t.evom\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\n" +
                            bytes + "\r\n--" + boundary + "--\r\n");
}

TEST_F(RestClientExchange, ErrorStatusesAreResultsWithTheirBodyAndHeaders) {
    peer.setResponder([](const RecordedRequest&) {
        return CannedReply{404, "Nope", "text/plain", "missing"};
    });
    RestClient client(peer.baseUrl(), 0);
    RawResponse response = client.Get("/x");
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.reason, "Nope");
    EXPECT_EQ(response.body, "missing");
    EXPECT_EQ(response.headers.at("Content-Type"), "text/plain");
}

TEST_F(RestClientExchange, LargeBinaryBodyComesBackUnchanged) {
    std::string big(3 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 31 + 7);
    }
    peer.setResponder([&](const RecordedRequest&) { return CannedReply{200, "", "image/jpeg", big}; });
    RestClient client(peer.baseUrl(), 0);
    EXPECT_EQ(client.Get("/img").body, big);
}

TEST(RestClientTransport, RefusedConnectionRaises) {
    unsigned short port = orvix::test::freePort();  // nothing listens there any more
    RestClient client("http://127.0.0.1", port);
    client.setTimeout(2);
    EXPECT_THROW(client.Get("/x"), Poco::Exception);
}

TEST(RestClientTransport, SilentPeerTimesOut) {
    Poco::Net::ServerSocket silent(Poco::Net::SocketAddress("127.0.0.1", 0));  // accepts, never answers
    RestClient client("http://127.0.0.1", silent.address().port());
    client.setTimeout(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.Get("/x"), Poco::TimeoutException);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A peer that announces a body and closes before its end, as a connection shut
// down at the deadline or by a stop does: the cut answer is an error, never a body.
TEST(RestClientTransport, AnAnswerCutShortIsAnErrorNotABody) {
    Poco::Net::ServerSocket listening(Poco::Net::SocketAddress("127.0.0.1", 0));
    std::thread peer([&listening] {
        Poco::Net::StreamSocket connection = listening.acceptConnection();
        char request[4096];
        connection.receiveBytes(request, sizeof(request));
        const std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"code\":0";
        connection.sendBytes(start.data(), static_cast<int>(start.size()));
        connection.shutdown();
        connection.close();
    });
    RestClient client("http://127.0.0.1", listening.address().port());
    client.setTimeout(5);
    EXPECT_THROW(client.Get("/x"), Poco::Exception);
    peer.join();
}

TEST(RestClientProbe, HeadRequestBelow405IsReachable) {
    RecordingServer peer;
    RestClient client(peer.baseUrl(), 0);
    EXPECT_TRUE(client.checkConnectionHTTP());
    auto got = peer.requests().at(0);
    EXPECT_EQ(got.method, "HEAD");
    EXPECT_EQ(got.uri, "/api/x");
    EXPECT_EQ(got.version, "HTTP/1.0");

    peer.setResponder([](const RecordedRequest&) { return CannedReply{405, "", "text/plain", ""}; });
    EXPECT_FALSE(client.checkConnectionHTTP());

    RestClient nobody("127.0.0.1", orvix::test::freePort());
    EXPECT_FALSE(nobody.checkConnectionHTTP());
}

}  // namespace
