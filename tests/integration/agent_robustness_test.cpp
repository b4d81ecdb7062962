// The agent process holds up: no configuration value takes its API away, old
// logs go, its files are its owner's alone, installing reports failure, and no
// client, however slow or large its requests, takes the local API away.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <boost/json.hpp>

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/Session.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/Net/NetworkInterface.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include "agent_process.h"
#include "cloud_sim_peer.h"
#include "json_text.h"
#include "module_sim_peer.h"
#include "test_support.h"

namespace {

using namespace orvix::test;
using namespace Poco::Data::Keywords;

HttpAnswer post(const std::string& path, const std::string& body) {
    return httpCall(AgentProcess::kPort, "POST", path, body, "application/json");
}

Poco::Data::Session openDatabase(const std::string& path) {
    Poco::Data::SQLite::Connector::registerConnector();
    return Poco::Data::Session("SQLite", path);
}

// key -> "type|value" of every configuration row.
std::map<std::string, std::string> configurationRows(const std::string& dbPath) {
    auto session = openDatabase(dbPath);
    std::vector<std::string> keys, types, values;
    session << "SELECT key, type, value FROM configurations", into(keys), into(types), into(values), now;
    std::map<std::string, std::string> rows;
    for (size_t i = 0; i < keys.size(); ++i) {
        rows[keys[i]] = types[i] + "|" + values[i];
    }
    return rows;
}

Poco::JSON::Object::Ptr currentConfig() {
    return parseObject(post("/api/agent/get_config", "{}").body)->getObject("data");
}

// Values no part of the agent can run with, as a set_config or config.json sends them.
const std::pair<std::string, std::string> kUnusable[] = {
    {"device_port", R"("70000")"},
    {"device_port", "70000"},
    {"device_port", R"("abc")"},
    {"device_ip", R"("")"},
    {"device_ip", R"("h:99999")"},
    {"monitoring_request_frequency", "1099511627776"},
    {"monitoring_request_frequency", "-1"},
    {"monitoring_request_frequency", R"("x")"},
    {"monitoring_service_port", R"("0")"},
    {"monitoring_getting_tasks", R"("yes")"},
    {"product_prediction_data_folder_path", R"("")"},
    {"recognition_queue_cap", "0"},
};

std::string updateOf(const std::pair<std::string, std::string>& value) {
    return "{\"" + value.first + "\":" + value.second + "}";
}

TEST(AgentConfiguration, SetConfigRefusesUnusableValuesAndStoresNothing) {
    TempDir home;
    auto agent = std::make_unique<AgentProcess>(home.path());
    ASSERT_TRUE(agent->waitReady()) << agent->process().stderrText();
    const auto rows = configurationRows(agent->dbPath());
    const std::string config = compact(currentConfig());
    for (const auto& value : kUnusable) {
        SCOPED_TRACE(updateOf(value));
        // Refused with the reason, which names the key.
        Poco::JSON::Object::Ptr answer = parseObject(post("/api/agent/set_config", updateOf(value)).body);
        EXPECT_EQ(answer->getValue<int>("code"), -6210);
        EXPECT_TRUE(answer->isNull("data"));
        EXPECT_EQ(answer->optValue<std::string>("msg", "").rfind(value.first + ": ", 0), 0u)
            << compact(answer);
        EXPECT_EQ(configurationRows(agent->dbPath()), rows);
        EXPECT_EQ(compact(currentConfig()), config);
    }
    EXPECT_NE(agent->todaysLog().find("set_config refused: device_port: "), std::string::npos);
    ASSERT_EQ(agent->stop(), 0);

    // The next start finds nothing it cannot use.
    agent = std::make_unique<AgentProcess>(home.path(), "");
    ASSERT_TRUE(agent->waitReady()) << agent->todaysLog();
    EXPECT_EQ(compact(currentConfig()), config);
    EXPECT_EQ(agent->stop(), 0);
}

TEST(AgentConfiguration, AConfigFileWithAnUnusableValueIsKeptAndTheApiRuns) {
    TempDir home;
    {
        // A first start points the module at loopback; each file below is refused whole.
        AgentProcess first(home.path());
        ASSERT_TRUE(first.waitReady());
        ASSERT_EQ(first.stop(), 0);
    }
    const std::string dbPath = home.path() + "/.local/share/VELMORA/OrvixAgent/service.db";
    const auto rows = configurationRows(dbPath);
    for (const auto& value : kUnusable) {
        SCOPED_TRACE(updateOf(value));
        AgentProcess agent(home.path(), updateOf(value));
        ASSERT_TRUE(agent.waitReady()) << agent.todaysLog();
        EXPECT_TRUE(std::filesystem::exists(agent.appData() + "/config.json"));
        EXPECT_EQ(post("/api/agent/get_config", R"({"keys":["device_port"]})").status, 200);
        EXPECT_EQ(agent.stop(), 0);
        EXPECT_NE(agent.todaysLog().find("Error parsing configuration file data: " + value.first + ": "),
                  std::string::npos);
        EXPECT_EQ(configurationRows(dbPath), rows);
        std::filesystem::remove(agent.appData() + "/config.json");
    }
}

TEST(AgentConfiguration, AStoredValueItCannotUseFallsBackToItsSeededValue) {
    TempDir home;
    {
        AgentProcess first(home.path());
        ASSERT_TRUE(first.waitReady());
        ASSERT_EQ(first.stop(), 0);
    }
    const std::string dbPath = home.path() + "/.local/share/VELMORA/OrvixAgent/service.db";
    {
        // Written by hand: values no reader accepts.
        auto session = openDatabase(dbPath);
        session << "UPDATE configurations SET value = 'abc' WHERE key = 'device_port'", now;
        session
            << "UPDATE configurations SET value = '1099511627776' WHERE key = 'monitoring_request_frequency'",
            now;
        session << "UPDATE configurations SET value = '0' WHERE key = 'monitoring_service_port'", now;
        session << "UPDATE configurations SET type = 'string', value = 'yes' WHERE key = "
                   "'monitoring_getting_tasks'",
            now;
        session << "UPDATE configurations SET value = '' WHERE key = 'product_prediction_data_folder_path'",
            now;
    }
    AgentProcess agent(home.path(), "");
    ASSERT_TRUE(agent.waitReady()) << agent.todaysLog();
    const std::string log = agent.todaysLog();
    for (const char* key : {"device_port", "monitoring_request_frequency", "monitoring_service_port",
                            "monitoring_getting_tasks", "product_prediction_data_folder_path"}) {
        EXPECT_NE(log.find(std::string("[warning] Configuration value of ") + key + " cannot be used ("),
                  std::string::npos)
            << key;
    }
    auto config = currentConfig();
    EXPECT_EQ(config->getValue<std::string>("device_port"), "80");
    EXPECT_EQ(config->getValue<int>("monitoring_request_frequency"), 20000);
    EXPECT_EQ(config->getValue<std::string>("monitoring_service_port"), "443");
    EXPECT_TRUE(config->getValue<bool>("monitoring_getting_tasks"));
    EXPECT_EQ(config->getValue<std::string>("product_prediction_data_folder_path"),
              home.path() + "/Documents/VELMORA/OrvixAgent/images");
    EXPECT_EQ(config->getValue<std::string>("device_ip"), "127.0.0.1");  // usable, so kept
    // In memory only: the rows stay for the operator to mend.
    EXPECT_EQ(configurationRows(dbPath).at("device_port"), "string|abc");
    EXPECT_EQ(agent.stop(), 0);
}

std::string localDateDaysAgo(int days) {
    std::time_t moment = std::time(nullptr) - static_cast<std::time_t>(days) * 24 * 60 * 60;
    std::tm local{};
    localtime_r(&moment, &local);
    char text[11];
    std::strftime(text, sizeof(text), "%Y-%m-%d", &local);
    return text;
}

TEST(AgentLogs, DailyFilesOlderThanTheRetentionAreRemovedAtStart) {
    TempDir home;
    const std::string logs = home.path() + "/.local/share/VELMORA/OrvixAgent/logs";
    const std::string ancient = logs + "/orvix_2020-01-01.log";
    const std::string fortyDays = logs + "/orvix_" + localDateDaysAgo(40) + ".log";
    const std::string yesterday = logs + "/orvix_" + localDateDaysAgo(1) + ".log";
    for (const auto& path : {ancient, fortyDays, yesterday}) {
        writeFile(path, "old line\n");
    }
    // Forty days is within the default of ninety, beyond the thirty set here.
    AgentProcess agent(home.path(), R"({"device_ip":"127.0.0.1","device_port":"9","log_retention_days":30})");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(fortyDays); }, std::chrono::seconds(10)));
    EXPECT_FALSE(std::filesystem::exists(ancient));
    EXPECT_TRUE(std::filesystem::exists(yesterday));
    EXPECT_NE(agent.todaysLog().find("Removed log file orvix_2020-01-01.log (older than 30 days);"),
              std::string::npos);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentFiles, AreReadableByTheirOwnerOnly) {
    TempDir home;
    ModuleSimPeer sim(home.path());
    // The documents folder exists, so the agent creates the pictures folder in it.
    std::filesystem::create_directories(home.path() + "/Documents/VELMORA/OrvixAgent");
    AgentProcess agent(home.path(), "");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    ASSERT_EQ(post("/api/agent/set_config",
                   R"({"device_ip":"127.0.0.1","device_port":")" + std::to_string(sim.port()) + R"("})")
                  .body,
              R"({"code":0,"data":null})");
    auto result = parseObject(httpCall(AgentProcess::kPort, "GET", "/api/get_result").body);
    ASSERT_EQ(result->getValue<int>("code"), 0);
    const std::string sid = result->getObject("data")->getValue<std::string>("sid");
    const std::string chosen =
        result->getObject("data")->getArray("items")->getObject(0)->getValue<std::string>("id");
    ASSERT_EQ(post("/api/result_feedback", R"({"sid":")" + sid + R"(","id":")" + chosen + R"("})").body,
              R"({"code":0,"data":null})");

    const std::string images = home.path() + "/Documents/VELMORA/OrvixAgent/images";
    const std::string paths[] = {
        agent.appData(),
        agent.dbPath(),
        agent.dbPath() + "-wal",
        agent.appData() + "/logs",
        agent.appData() + "/logs/orvix_" + todayLocalDate() + ".log",
        images,
        images + "/" + sid + ".jpg",
    };
    for (const auto& path : paths) {
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_mode & 077, 0u) << path << " mode " << std::oct << (info.st_mode & 0777);
    }
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentCommandLine, InstallFailsWhenTheFileCannotBeWritten) {
    // Tests run as root, who ignores permissions: the failures come from the shape of
    // the file system instead.
    struct Case {
        std::string name;
        std::function<void(const std::string& home)> arrange;
    };
    const Case cases[] = {
        {"the config folder is a file", [](const std::string& home) { writeFile(home + "/.config", "x"); }},
        {"a directory holds the entry's name",
         [](const std::string& home) {
             std::filesystem::create_directories(home + "/.config/autostart/orvix-driver.desktop");
         }},
        {"no autostart folder", [](const std::string&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir home;
        c.arrange(home.path());
        ChildProcess install({agentBinary(), "--install-service", "autostart"}, {{"HOME", home.path()}},
                             home.path());
        EXPECT_EQ(install.wait(std::chrono::seconds(10)), 1);
        EXPECT_NE(install.stderrText().find("could not write " + home.path() +
                                            "/.config/autostart/orvix-driver.desktop"),
                  std::string::npos)
            << install.stderrText();
        EXPECT_EQ(install.stdoutText().find("Wrote"), std::string::npos);
    }
}

// ---- hostile and slow clients ----

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The status of a raw answer, 0 when there is none.
int statusOf(const std::string& answer) {
    if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) {
        return 0;
    }
    return std::stoi(answer.substr(9, 3));
}

// What the agent answers on a raw connection: everything read until it closes or
// `timeout` passes.
std::string readAnswer(Poco::Net::StreamSocket& socket, std::chrono::milliseconds timeout) {
    std::string answer;
    const auto until = Clock::now() + timeout;
    char buffer[4096];
    while (Clock::now() < until) {
        try {
            if (!socket.poll(Poco::Timespan(0, 100 * 1000), Poco::Net::Socket::SELECT_READ)) {
                continue;
            }
            int got = socket.receiveBytes(buffer, sizeof(buffer));
            if (got <= 0) {
                break;
            }
            answer.append(buffer, static_cast<size_t>(got));
        } catch (const std::exception&) {
            break;
        }
    }
    return answer;
}

Poco::Net::StreamSocket connectToAgent() {
    Poco::Net::StreamSocket socket;
    socket.connect(Poco::Net::SocketAddress("127.0.0.1", AgentProcess::kPort), Poco::Timespan(5, 0));
    return socket;
}

// Sends `head`, then `body` in pieces of `piece` bytes as long as the agent takes
// them, and returns the agent's answer.
std::string sendRequest(const std::string& head, const std::string& body, size_t piece, bool chunked) {
    Poco::Net::StreamSocket socket = connectToAgent();
    socket.sendBytes(head.data(), static_cast<int>(head.size()));
    try {
        for (size_t at = 0; at < body.size(); at += piece) {
            if (socket.poll(Poco::Timespan(0), Poco::Net::Socket::SELECT_READ)) {
                break;  // answered early
            }
            std::string part = body.substr(at, piece);
            if (chunked) {
                char size[32];
                std::snprintf(size, sizeof(size), "%zx\r\n", part.size());
                part = size + part + "\r\n";
            }
            socket.sendBytes(part.data(), static_cast<int>(part.size()));
        }
        if (chunked) {
            socket.sendBytes("0\r\n\r\n", 5);
        }
    } catch (const std::exception&) {
        // The agent closed its side: its answer is what counts.
    }
    return readAnswer(socket, std::chrono::seconds(10));
}

// One client that sends the start of a request and then one byte every half
// second, until it is answered or told to stop.
class Trickler {
public:
    Trickler() : socket_(connectToAgent()), thread_([this] { run(); }) {}
    ~Trickler() {
        stop();
        thread_.join();
    }
    // Ends its thread soon, without waiting for it.
    void stop() { stop_ = true; }
    bool answered() const { return answered_; }
    std::string answer() {
        std::lock_guard<std::mutex> lock(mutex_);
        return answer_;
    }

private:
    void run() {
        const std::string start = "POST /api/agent/get_config HTTP/1.1\r\nHost: agent\r\nX-Slow: ";
        try {
            socket_.sendBytes(start.data(), static_cast<int>(start.size()));
            while (!stop_) {
                if (socket_.poll(Poco::Timespan(0, 500 * 1000), Poco::Net::Socket::SELECT_READ)) {
                    std::string text = readAnswer(socket_, std::chrono::seconds(2));
                    std::lock_guard<std::mutex> lock(mutex_);
                    answer_ = text;
                    answered_ = true;
                    return;
                }
                socket_.sendBytes("a", 1);
            }
        } catch (const std::exception&) {
            answered_ = true;
        }
    }

    Poco::Net::StreamSocket socket_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> answered_{false};
    std::mutex mutex_;
    std::string answer_;
    std::thread thread_;
};

std::string configWith(unsigned short modulePort, const std::string& extra) {
    return R"({"device_ip":"127.0.0.1","device_port":")" + std::to_string(modulePort) + "\"" +
           (extra.empty() ? "" : "," + extra) + "}";
}

// The module requests the simulator saw for one command.
size_t moduleCalls(const ModuleSimPeer& sim, const std::string& command) {
    auto history = parseObject(sim.state())->getArray("history");
    size_t calls = 0;
    for (size_t i = 0; i < history->size(); ++i) {
        calls +=
            history->getObject(static_cast<unsigned>(i))->getValue<std::string>("path") == "/api/" + command;
    }
    return calls;
}

std::string multipartHead(const std::string& path, const std::string& framing) {
    return "POST " + path + " HTTP/1.1\r\nHost: agent\r\nContent-Type: multipart/form-data; boundary=b\r\n" +
           framing + "\r\n";
}

TEST(AgentRequestLimits, BodiesBeyondTheirLimitAre413AndNeverReachTheModule) {
    TempDir home;
    ModuleSimPeer sim(home.path());
    AgentProcess agent(home.path(), configWith(sim.port(), R"("local_api_max_upload_bytes":65536)"));
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const std::string json = "{\"mode\":\"" + std::string(1024 * 1024 + 100, 'x') + "\"}";
    const std::string upload =
        "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f.evo\"\r\n\r\n" +
        std::string(70000, '\x01') + "\r\n--b--\r\n";
    struct Case {
        std::string name;
        std::string command;
        std::string head;
        std::string body;
        bool chunked;
    };
    const Case cases[] = {
        {"JSON body by its length", "set_learnmode",
         "POST /api/set_learnmode HTTP/1.1\r\nHost: agent\r\nContent-Type: "
         "application/json\r\nContent-Length: " +
             std::to_string(json.size()) + "\r\n\r\n",
         json, false},
        {"JSON body chunked", "set_learnmode",
         "POST /api/set_learnmode HTTP/1.1\r\nHost: agent\r\nContent-Type: application/json\r\n"
         "Transfer-Encoding: chunked\r\n\r\n",
         json, true},
        {"upload by its length", "offline_upgrade",
         multipartHead("/api/offline_upgrade", "Content-Length: " + std::to_string(upload.size()) + "\r\n"),
         upload, false},
        {"upload chunked", "offline_upgrade",
         multipartHead("/api/offline_upgrade", "Transfer-Encoding: chunked\r\n"), upload, true},
        {"announced length, no body sent", "offline_upgrade",
         multipartHead("/api/offline_upgrade", "Content-Length: 600000000\r\nExpect: 100-continue\r\n"), "",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = sendRequest(c.head, c.body, 16 * 1024, c.chunked);
        EXPECT_EQ(statusOf(answer), 413) << answer.substr(0, 200);
        EXPECT_EQ(answer.find("100 Continue"), std::string::npos);
        EXPECT_EQ(moduleCalls(sim, c.command), 0u);
    }
    // Within the limits both still reach the module.
    EXPECT_EQ(post("/api/set_learnmode", R"({"mode":1})").status, 200);
    EXPECT_EQ(moduleCalls(sim, "set_learnmode"), 1u);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentRequestLimits, AQuotedBoundaryWithFurtherParametersIsRead) {
    TempDir home;
    ModuleSimPeer sim(home.path());
    AgentProcess agent(home.path(), configWith(sim.port(), ""));
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const std::string file("\x00\x01upgrade\xFF", 10);
    const std::string body =
        "--simple boundary\r\nContent-Disposition: form-data; name=\"file\"; "
        "filename=\"u.evo\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
        file + "\r\n--simple boundary--\r\n";
    auto answer = httpCall(AgentProcess::kPort, "POST", "/api/offline_upgrade", body,
                           R"(multipart/form-data; boundary="simple boundary"; charset=utf-8)");
    EXPECT_EQ(answer.body, R"({"code":0,"data":null})");
    auto uploaded = parseObject(sim.state())->getObject("module")->getObject("uploads")->getObject("upgrade");
    EXPECT_EQ(uploaded->getValue<int>("size"), 10);
    EXPECT_EQ(agent.stop(), 0);
}

bool answersCheckConnect() {
    try {
        return httpCall(AgentProcess::kPort, "GET", "/api/agent/check_connect", {}, {}, 2).status == 200;
    } catch (const std::exception&) {
        return false;
    }
}

TEST(AgentSlowClients, TricklersNeverTakeAWorker) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    std::vector<std::unique_ptr<Trickler>> tricklers;
    for (int i = 0; i < 64; ++i) {
        tricklers.push_back(std::make_unique<Trickler>());
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        auto answer = httpCall(AgentProcess::kPort, "GET", "/api/agent/check_connect", {}, {}, 5);
        EXPECT_LT(millisecondsSince(start), 1000);
        EXPECT_EQ(answer.status, 200) << answer.body;
    }
    // Nobody was cut to make room: each keeps its connection until its own deadline.
    int cut = 0;
    for (const auto& trickler : tricklers) {
        cut += trickler->answered();
    }
    EXPECT_EQ(cut, 0);
    for (const auto& trickler : tricklers) {
        trickler->stop();
    }
    tricklers.clear();
    EXPECT_TRUE(waitUntil(answersCheckConnect, std::chrono::seconds(10)));
    EXPECT_EQ(agent.stop(), 0);
}

// Hundreds of connections at once: silent ones, tricklers, and clients that
// pipeline requests and never read a byte of the answers.
TEST(AgentSlowClients, HundredsOfSlowPeersLeaveGetDeviceInfoWithinASecond) {
    TempDir home;
    ModuleSimPeer sim(home.path());
    AgentProcess agent(home.path(), configWith(sim.port(), ""));
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    std::vector<Poco::Net::StreamSocket> silent;
    for (int i = 0; i < 100; ++i) {
        silent.push_back(connectToAgent());
    }
    std::vector<std::unique_ptr<Trickler>> tricklers;
    for (int i = 0; i < 100; ++i) {
        tricklers.push_back(std::make_unique<Trickler>());
    }
    std::string pipelined;
    // Megabytes of answers, more than the socket buffers hold.
    for (int i = 0; i < 2000; ++i) {
        pipelined += "GET /api/agent/get_status HTTP/1.1\r\nHost: agent\r\n\r\n";
    }
    std::vector<Poco::Net::StreamSocket> nonReaders;
    for (int i = 0; i < 100; ++i) {
        nonReaders.push_back(connectToAgent());
        nonReaders.back().setBlocking(false);
        try {
            nonReaders.back().sendBytes(pipelined.data(), static_cast<int>(pipelined.size()));
        } catch (const std::exception&) {
            // its send buffer is full: it sent what it could
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long long slowest = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        auto answer = httpCall(AgentProcess::kPort, "GET", "/api/get_device_info", {}, {}, 5);
        slowest = std::max(slowest, millisecondsSince(start));
        EXPECT_EQ(answer.status, 200) << answer.body;
    }
    EXPECT_LT(slowest, 1000);
    int cut = 0;
    for (const auto& trickler : tricklers) {
        cut += trickler->answered();
    }
    EXPECT_EQ(cut, 0);
    EXPECT_EQ(agent.stop(std::chrono::seconds(10)), 0);
}

// Clients that are slow to send their request after connecting (a till busy
// elsewhere, a computer kept busy by another program) but well within the deadline.
TEST(AgentSlowClients, SixtyFourClientsBesideACpuHogAreNeverAnswered408) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    std::vector<std::unique_ptr<ChildProcess>> hogs;
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i) {
        hogs.push_back(
            std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", "while :; do :; done"},
                                           std::map<std::string, std::string>{}, home.path()));
    }
    const std::string request =
        "GET /api/agent/check_connect HTTP/1.1\r\nHost: agent\r\nConnection: close\r\n\r\n";
    std::mutex mutex;
    std::map<int, int> statuses;
    std::vector<std::thread> clients;
    for (int i = 0; i < 64; ++i) {
        clients.emplace_back([&] {
            for (int k = 0; k < 5; ++k) {
                int status = -1;
                try {
                    Poco::Net::StreamSocket socket = connectToAgent();
                    std::this_thread::sleep_for(std::chrono::milliseconds(400));
                    socket.sendBytes(request.data(), static_cast<int>(request.size()));
                    status = statusOf(readAnswer(socket, std::chrono::seconds(20)));
                } catch (const std::exception&) {
                }
                std::lock_guard<std::mutex> lock(mutex);
                ++statuses[status];
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    hogs.clear();
    EXPECT_EQ(statuses, (std::map<int, int>{{200, 320}}));
    EXPECT_EQ(agent.stop(), 0);
}

// The agent's peak and current resident memory, in KiB.
std::pair<long, long> residentKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    long peak = 0;
    long now = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            peak = std::stol(line.substr(6));
        } else if (line.rfind("VmRSS:", 0) == 0) {
            now = std::stol(line.substr(6));
        }
    }
    return {peak, now};
}

TEST(AgentRequestLimits, ConcurrentUploadsStayWithinTheMemoryBudget) {
    TempDir home;
    ModuleSimPeer sim(home.path());
    const long budgetMiB = 32;
    AgentProcess agent(home.path(), configWith(sim.port(), "\"local_api_upload_budget_bytes\":" +
                                                               std::to_string(budgetMiB * 1024 * 1024)));
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const long before = residentKiB(agent.process().pid()).second;
    const std::string body =
        "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"u.evo\"\r\n\r\n" +
        std::string(8 * 1024 * 1024, '\x01') + "\r\n--b--\r\n";
    std::mutex mutex;
    std::map<int, int> statuses;
    std::vector<std::thread> clients;
    for (int i = 0; i < 32; ++i) {
        clients.emplace_back([&] {
            int status = 0;
            try {
                status = httpCall(AgentProcess::kPort, "POST", "/api/offline_upgrade", body,
                                  "multipart/form-data; boundary=b", 60)
                             .status;
            } catch (const std::exception&) {
                status = -1;
            }
            std::lock_guard<std::mutex> lock(mutex);
            ++statuses[status];
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    const long peak = residentKiB(agent.process().pid()).first;
    // Those beyond the budget were told to come back; the others reached the module.
    EXPECT_GT(statuses[503], 0);
    EXPECT_GT(statuses[200], 0);
    EXPECT_EQ(statuses[200] + statuses[503], 32);
    EXPECT_EQ(agent.stop(), 0);
    if (kSanitizedBuild) {
        GTEST_SKIP() << "resident memory is not the agent's own under a sanitizer; checked in the plain build";
    }
    EXPECT_LT(peak - before, (budgetMiB + 100) * 1024) << "before " << before << " KiB, peak " << peak << " KiB";
}

TEST(AgentSlowClients, ARequestNotReadWithinItsDeadlineIsAnswered408) {
    TempDir home;
    AgentProcess agent(home.path());
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    const auto start = Clock::now();
    Trickler trickler;
    ASSERT_TRUE(waitUntil([&] { return trickler.answered(); }, std::chrono::seconds(40)));
    EXPECT_GE(millisecondsSince(start), 29000);
    EXPECT_LT(millisecondsSince(start), 33000);
    EXPECT_EQ(statusOf(trickler.answer()), 408) << trickler.answer();
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentSlowClients, ThePoolServesThirtyTwoRequestsAtOnce) {
    TempDir home;
    ModuleSimPeer sim(home.path());
    AgentProcess agent(home.path(), configWith(sim.port(), ""));
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    sim.fault(R"({"delay_ms":3000,"commands":["get_calib"]})");
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 32; ++i) {
        clients.emplace_back([&] {
            if (httpCall(AgentProcess::kPort, "GET", "/api/get_calib", {}, {}, 15).status == 200) {
                ++answered;
            }
        });
    }
    EXPECT_TRUE(waitUntil([&] { return parseObject(sim.state())->getValue<int>("in_flight") >= 32; },
                          std::chrono::milliseconds(2500)));
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(answered, 32);
    EXPECT_GE(parseObject(sim.state())->getValue<int>("peak_in_flight"), 32);
    EXPECT_EQ(agent.stop(), 0);
}

TEST(AgentSlowClients, SigtermEndsTheProcessWhileClientsTrickleAndTheModuleHangs) {
    TempDir home;
    ModuleSimPeer sim(home.path());
    AgentProcess agent(home.path(), configWith(sim.port(), ""));
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    sim.fault(R"({"mode":"silent"})");
    std::vector<std::unique_ptr<Trickler>> tricklers;
    for (int i = 0; i < 8; ++i) {
        tricklers.push_back(std::make_unique<Trickler>());
    }
    std::vector<std::thread> waiting;
    for (int i = 0; i < 8; ++i) {
        waiting.emplace_back([] {
            try {
                httpCall(AgentProcess::kPort, "GET", "/api/get_calib", {}, {}, 20);
            } catch (const std::exception&) {
            }
        });
    }
    EXPECT_TRUE(waitUntil([&] { return parseObject(sim.state())->getValue<int>("in_flight") >= 8; },
                          std::chrono::seconds(5)));
    const auto start = Clock::now();
    EXPECT_EQ(agent.stop(std::chrono::seconds(10)), 0);
    EXPECT_LT(millisecondsSince(start), 10000);
    for (auto& client : waiting) {
        client.join();
    }
    sim.fault(R"({"mode":"none"})");
}

TEST(AgentSlowModule, AModuleTricklingItsAnswerMeetsTheExchangeDeadline) {
    TempDir home;
    ModuleSimPeer sim(home.path());
    AgentProcess agent(home.path(), configWith(sim.port(), ""));
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    sim.fault(R"({"mode":"trickle","commands":["get_calib"]})");
    const auto start = Clock::now();
    auto answer = httpCall(AgentProcess::kPort, "GET", "/api/get_calib", {}, {}, 60);
    // The padded answer takes a minute at the module's pace; the deadline is six seconds.
    EXPECT_LT(millisecondsSince(start), 8000);
    EXPECT_EQ(parseObject(answer.body)->getValue<int>("code"), -6103);
    EXPECT_NE(agent.todaysLog().find("get_calib() exception: Timeout"), std::string::npos);
    sim.fault(R"({"mode":"none"})");
    EXPECT_EQ(agent.stop(), 0);
}

// ---- opt-in hardening ----

// An IPv4 address of this machine other than loopback, "" when it has none.
std::string otherLocalAddress() {
    for (const auto& interface : Poco::Net::NetworkInterface::list()) {
        if (!interface.isLoopback() && interface.supportsIPv4() && interface.isUp()) {
            const std::string address = interface.firstAddress(Poco::Net::IPAddress::IPv4).toString();
            if (!address.empty() && address != "0.0.0.0") {
                return address;
            }
        }
    }
    return {};
}

bool agentAnswersOn(const std::string& address) {
    try {
        Poco::Net::StreamSocket socket;
        socket.connect(Poco::Net::SocketAddress(address, AgentProcess::kPort), Poco::Timespan(2, 0));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

TEST(AgentHardening, TheListenerBindsTheConfiguredAddressOnly) {
    TempDir home;
    AgentProcess agent(home.path(),
                       R"({"device_ip":"127.0.0.1","device_port":"9","local_api_bind_address":"127.0.0.1"})");
    ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
    EXPECT_NE(agent.todaysLog().find("Local API listens on 127.0.0.1:5555 with 32 workers;"),
              std::string::npos);
    const std::string other = otherLocalAddress();
    if (!other.empty()) {
        EXPECT_FALSE(agentAnswersOn(other)) << other;
    }
    for (const char* bad : {R"("localhost")", R"("127.0.0.1:80")", R"("")", "1"}) {
        SCOPED_TRACE(bad);
        Poco::JSON::Object::Ptr answer = parseObject(
            post("/api/agent/set_config", std::string(R"({"local_api_bind_address":)") + bad + "}").body);
        EXPECT_EQ(answer->getValue<int>("code"), -6210);
        EXPECT_EQ(answer->optValue<std::string>("msg", "").rfind("local_api_bind_address: ", 0), 0u)
            << compact(answer);
    }
    EXPECT_EQ(currentConfig()->getValue<std::string>("local_api_bind_address"), "127.0.0.1");
    EXPECT_EQ(agent.stop(), 0);

    // Absent, the listener takes every interface, as it always did.
    TempDir fresh;
    AgentProcess open(fresh.path());
    ASSERT_TRUE(open.waitReady()) << open.process().stderrText();
    EXPECT_NE(open.todaysLog().find("Local API listens on 0.0.0.0:5555"), std::string::npos);
    if (!other.empty()) {
        EXPECT_TRUE(agentAnswersOn(other)) << other;
    }
    EXPECT_FALSE(currentConfig()->has("local_api_bind_address"));
    EXPECT_EQ(open.stop(), 0);
}

TEST(AgentHardening, CloudCertificatesAreCheckedOnlyWhenAsked) {
    CloudSimPeer cloud({"--tls"});
    ASSERT_TRUE(cloud.tls());
    struct Case {
        std::string verify;
        bool connects;
    };
    for (const Case& c : {Case{"true", false}, Case{"false", true}}) {
        SCOPED_TRACE("monitoring_tls_verify " + c.verify);
        cloud.reset();
        TempDir home;
        AgentProcess agent(
            home.path(),
            R"({"device_ip":"127.0.0.1","device_port":"9","monitoring_service_address":"https://127.0.0.1",)"
            R"("monitoring_service_port":")" +
                std::to_string(cloud.port()) +
                R"(","velmora_monitoring_client_secret":"secret","monitoring_request_frequency":300,)"
                R"("monitoring_tls_verify":)" +
                c.verify + "}");
        ASSERT_TRUE(agent.waitReady()) << agent.process().stderrText();
        auto connected = [] {
            return httpCall(AgentProcess::kPort, "GET", "/api/agent/check_connect").body ==
                   R"({"code":0,"data":null})";
        };
        if (c.connects) {
            EXPECT_TRUE(waitUntil(connected, std::chrono::seconds(15)));
        } else {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            EXPECT_FALSE(connected());
            EXPECT_EQ(cloud.received("token_requests").size(), 0u);
        }
        EXPECT_EQ(agent.stop(), 0);
    }
}

}  // namespace
