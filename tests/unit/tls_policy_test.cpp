// Each client keeps its own certificate policy, whatever other clients exist: the
// module and cloud clients accept any certificate, object storage verifies the
// peer against the system's trust store, and creating one never changes another.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Exception.h>

#include "captured_log.h"
#include "restclient.h"
#include "s3client.h"
#include "test_support.h"
#include "tls_peer.h"

namespace {

using orvix::test::ScopedEnv;
using orvix::test::TlsPeer;
using velmora::Engine::REST::RestClient;
using velmora::Engine::REST::TlsVerification;

bool restReaches(RestClient& client) {
    try {
        auto answer = client.Get("/probe");
        return answer.status == 200 && answer.body == TlsPeer::kBody;
    } catch (const std::exception&) {
        return false;
    }
}

bool storageReaches(const TlsPeer& peer) {
    S3ClientWrapper storage(peer.baseUrl(), "bucket", "login", "password");
    return !storage.GetObjectData("object").empty();
}

TEST(TlsPolicy, StorageVerifiesWhileModuleClientsAcceptAnyCertificate) {
    TlsPeer peer;
    orvix::test::CapturedLog log;

    RestClient https(peer.baseUrl(), 0);
    EXPECT_TRUE(restReaches(https));
    EXPECT_FALSE(storageReaches(peer)) << "an https REST client must not make object storage trust anyone";

    // A plain client created afterwards changes neither policy.
    RestClient http("http://127.0.0.1:" + std::to_string(orvix::test::freePort()), 0);
    EXPECT_TRUE(restReaches(https));
    EXPECT_FALSE(storageReaches(peer));

    RestClient second(peer.baseUrl(), 0);
    EXPECT_TRUE(restReaches(second));
    EXPECT_TRUE(restReaches(https));
    EXPECT_FALSE(storageReaches(peer));

    // Only the REST exchanges got past the handshake; storage was refused each time.
    EXPECT_EQ(peer.requests(), 4);
    EXPECT_EQ(log.countContaining("GetObjectData failed"), 3u);
}

// The refusals above are verification at work, not a storage client that cannot
// speak TLS: once the system's trust store holds the peer's certificate, the same
// storage client reaches it.
TEST(TlsPolicy, StorageAndVerifyingClientsTrustWhatTheSystemStoreTrusts) {
    TlsPeer peer;
    RestClient verifying(peer.baseUrl(), 0, TlsVerification::SystemCAs);
    EXPECT_THROW(verifying.Get("/probe"), Poco::Exception);
    EXPECT_FALSE(storageReaches(peer));
    EXPECT_EQ(peer.requests(), 0);

    // The trust store is read when a context is made, so only new clients see it.
    ScopedEnv trust("SSL_CERT_FILE", peer.certificatePath().c_str());
    RestClient trusting(peer.baseUrl(), 0, TlsVerification::SystemCAs);
    EXPECT_TRUE(restReaches(trusting));
    EXPECT_TRUE(storageReaches(peer));
    EXPECT_EQ(peer.requests(), 2);
}

// Clients made and dropped on other threads (as a re-initialisation does) leave
// a storage request and a module request on this thread with their own policy.
TEST(TlsPolicy, ClientsCreatedConcurrentlyDoNotChangeEachOther) {
    TlsPeer peer;
    const std::string plainUrl = "http://127.0.0.1:" + std::to_string(orvix::test::freePort());
    std::atomic<bool> done{false};
    std::vector<std::thread> makers;
    for (int t = 0; t < 2; ++t) {
        makers.emplace_back([&, t] {
            for (int i = 0; i < 40 && !done; ++i) {
                RestClient client((i + t) % 2 == 0 ? peer.baseUrl() : plainUrl, 0);
            }
        });
    }
    RestClient module(peer.baseUrl(), 0);
    int reached = 0;
    int storageReached = 0;
    for (int i = 0; i < 5; ++i) {
        reached += restReaches(module) ? 1 : 0;
        storageReached += storageReaches(peer) ? 1 : 0;
    }
    done = true;
    for (auto& maker : makers) {
        maker.join();
    }
    EXPECT_EQ(reached, 5);
    EXPECT_EQ(storageReached, 0);
}

}  // namespace
