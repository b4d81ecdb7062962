#pragma once

// The agent as a process with all its peers on loopback: the module simulator, the
// cloud simulator (monitoring service and token endpoint) and s3rver as the object
// storage, plus the local API calls the cloud tests make through it.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <Poco/Types.h>
#include <boost/json.hpp>

#include "agent_process.h"
#include "cloud_sim_peer.h"
#include "module_sim_peer.h"
#include "s3rver_fixture.h"
#include "test_support.h"

namespace velmora::Engine::Sync {
class S3ClientProvider;
}

namespace orvix::test {

// The monitoring request period the cloud tests run the agent with.
inline constexpr int kCloudPeriodMs = 200;

// One call of the running agent's local API (a JSON body when one is given).
HttpAnswer agentCall(const std::string& method, const std::string& target, const std::string& body = {});
// The same, expecting status 200 and a JSON object.
boost::json::object agentJson(const std::string& method, const std::string& target,
                              const std::string& body = {});
// The code of check_connect.
int checkConnect();
// The value of one configuration key as get_config answers it, or null.
boost::json::value configValue(const std::string& key);

// The configuration that points an agent at its peers.
std::string peersConfig(unsigned short modulePort, const std::string& cloudUrl, const S3rverPeer& storage,
                        int periodMs = kCloudPeriodMs);

// The agent and everything it talks to. TMPDIR of the agent is a folder of its own,
// so a task that leaves a file behind shows.
struct CloudAgent {
    // `beforeStart` runs once the peers listen and before the agent starts.
    explicit CloudAgent(const std::vector<std::string>& cloudArgs = {},
                        const std::function<void(CloudAgent&)>& beforeStart = {});
    ~CloudAgent();

    void putObject(const std::string& key, const std::string& bytes);
    std::string getObject(const std::string& key);
    // The object behind a URL the agent reported.
    std::string objectAt(const std::string& url);
    boost::json::object moduleState();
    // Rows of one of the agent's tables, read from its database file as it runs.
    Poco::Int64 count(const std::string& table);
    // Makes a sale through the local API; returns its session id.
    std::string sale(const std::string& item = "1002");
    // The recognitions the cloud holds for the session id.
    std::vector<boost::json::object> recognitionsOf(const std::string& sid);
    // Waits until the task has its answer and gives it ({"kind","body"}), or null.
    boost::json::value answerOf(const std::string& taskId,
                                std::chrono::milliseconds timeout = std::chrono::seconds(60));
    std::string log() { return agent->todaysLog(); }

    TempDir output;
    TempDir home;
    TempDir tmp;
    TempDir files;
    ModuleSimPeer module;
    CloudSimPeer cloud;
    S3rverPeer storage;
    std::unique_ptr<AgentProcess> agent;
    std::unique_ptr<velmora::Engine::Sync::S3ClientProvider> objects;
    int uploads = 0;
};

}  // namespace orvix::test
