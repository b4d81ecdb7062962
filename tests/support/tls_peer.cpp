#include "tls_peer.h"

#include <atomic>
#include <stdexcept>

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/StreamCopier.h>

namespace orvix::test {

struct TlsPeer::Impl {
    std::atomic<int> requests{0};
    Poco::Net::Context::Ptr context;
    std::unique_ptr<Poco::Net::SecureServerSocket> socket;
    std::unique_ptr<Poco::Net::HTTPServer> server;
};

namespace {

class CountingHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit CountingHandler(TlsPeer::Impl* impl) : impl_(impl) {}

    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override {
        std::string ignored;
        Poco::StreamCopier::copyToString(request.stream(), ignored);
        ++impl_->requests;
        response.setContentType("text/plain");
        response.setContentLength64(static_cast<Poco::Int64>(TlsPeer::kBody.size()));
        response.sendBuffer(TlsPeer::kBody.data(), TlsPeer::kBody.size());
    }

private:
    TlsPeer::Impl* impl_;
};

class CountingFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit CountingFactory(TlsPeer::Impl* impl) : impl_(impl) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new CountingHandler(impl_);  // the HTTP library takes ownership
    }

private:
    TlsPeer::Impl* impl_;
};

}  // namespace

TlsPeer::TlsPeer() : impl_(std::make_unique<Impl>()) {
    ChildProcess openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                          dir_.file("key.pem"), "-out", certificatePath(), "-subj", "/CN=localhost",
                          "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1"},
                         {}, dir_.path());
    if (openssl.wait(std::chrono::seconds(30)) != 0) {
        throw std::runtime_error("openssl could not make a certificate: " + openssl.stderrText());
    }
    Poco::Net::initializeSSL();
    impl_->context = new Poco::Net::Context(Poco::Net::Context::TLS_SERVER_USE, dir_.file("key.pem"),
                                            certificatePath(), "", Poco::Net::Context::VERIFY_NONE);
    impl_->socket = std::make_unique<Poco::Net::SecureServerSocket>(Poco::Net::SocketAddress("127.0.0.1", 0),
                                                                    64, impl_->context);
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(4);
    impl_->server =
        std::make_unique<Poco::Net::HTTPServer>(new CountingFactory(impl_.get()), *impl_->socket, params);
    impl_->server->start();
}

TlsPeer::~TlsPeer() {
    impl_->server->stopAll(true);
    Poco::Net::uninitializeSSL();
}

unsigned short TlsPeer::port() const {
    return impl_->socket->address().port();
}

std::string TlsPeer::baseUrl() const {
    return "https://127.0.0.1:" + std::to_string(port());
}

int TlsPeer::requests() const {
    return impl_->requests.load();
}

}  // namespace orvix::test
