#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent-filesystem.h"
#include "agent-utils.h"
#include "build_constants.h"
#include "daemonizer.h"
#include "logger.h"
#include "server.h"
#include "service_notifier.h"
#include "status_command.h"

namespace {

using velmora::Engine::Logging::log;
using velmora::Engine::Logging::Logger;
using velmora::Engine::Test::Server;
namespace Constants = velmora::Utils::BuildConstants;

std::unique_ptr<Server> server_ptr;
std::optional<std::thread> server_thread;
// Feeds systemd's watchdog while the API answers; stopped before the server goes.
std::unique_ptr<velmora::Engine::ServiceWatchdog> watchdog;

// Exit statuses besides 0 (stopped by SIGINT or SIGTERM) and 2 (bad arguments).
constexpr int kExitCannotStart = 1;  // HOME unusable, or the local API cannot listen

void start_server() {
    try {
        int port = std::stoi(Constants::orvix_agent_port);
        server_ptr = std::make_unique<Server>(static_cast<unsigned short>(port),
                                              velmora::Utils::Filesystem::GetDefaultDBPath());
        server_thread.emplace([] {
            try {
                server_ptr->Run();
                velmora::Engine::notifyServiceManager("READY=1");
            } catch (const std::exception& e) {
                log().error("Server thread crashed: {}", velmora::Engine::Logging::reasonOf(e));
            }
        });
    } catch (const velmora::Engine::Test::ListenerError& e) {
        // Staying up without the API would look healthy to the service manager,
        // which would then never restart the agent.
        log().error("Failed to create server: {}", e.what());
        std::cerr << "orvix-agent: " << e.what() << std::endl;
        std::exit(kExitCannotStart);
    } catch (const std::exception& e) {
        log().error("Failed to create server: {}", velmora::Engine::Logging::reasonOf(e));
    }
}

void stop_server() {
    velmora::Engine::notifyServiceManager("STOPPING=1");
    if (watchdog) {
        watchdog->stop();
    }
    if (server_ptr) {
        server_ptr->Stop();
    }
    if (server_thread && server_thread->joinable()) {
        server_thread->join();
    }
    server_thread.reset();
    if (server_ptr && server_ptr->RequestsInFlight() > 0) {
        // A request still running holds the server; the process ends right after
        // this, so it is left in place rather than freed under that request.
        (void)server_ptr.release();
        return;
    }
    server_ptr.reset();
}

// SIGINT and SIGTERM are blocked in every thread from the start and taken here
// with sigwait, so the shutdown runs as ordinary code rather than inside an
// asynchronous signal handler.
sigset_t shutdown_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // A terminal that closes, or an operator used to "reload", sends SIGHUP; its
    // default would end the agent without a word.
    sigaddset(&set, SIGHUP);
    return set;
}

[[noreturn]] void run_headless_mode() {
    const std::string line = "Running in headless service mode (fallback from tray mode)";
    log().info(line);
    std::cout << line << std::endl;

    sigset_t set = shutdown_signals();
    int received = 0;
    for (;;) {
        if (sigwait(&set, &received) != 0) {
            continue;
        }
        if (received == SIGINT || received == SIGTERM) {
            break;
        }
        if (received == SIGHUP) {
            log().info("Received SIGHUP, ignored: the configuration is changed through the local API;");
        }
    }
    std::string text =
        received == SIGINT ? "Received SIGINT, shutting down..." : "Received SIGTERM, shutting down...";
    log().info(text);
    std::cout << text << std::endl;
    stop_server();
    std::exit(0);
}

// The log directory, or a message for the person at the terminal (the log cannot
// take it) and the exit: every file of the agent lives under HOME.
void start_logging() {
    const std::string home = velmora::Utils::Filesystem::GetHomeDirectory();
    struct stat info {};
    // A HOME that does not exist yet is created with the log directory below.
    if (!home.empty() && ::stat(home.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
        std::cerr << "orvix-agent: HOME (" << home
                  << ") is not a directory; run the agent as a user with a home directory" << std::endl;
        std::exit(kExitCannotStart);
    }
    try {
        Logger::GetInstance().Initialize(velmora::Utils::Filesystem::GetLogDirectory());
    } catch (const std::exception& e) {
        std::cerr << "orvix-agent: cannot open the log in " << velmora::Utils::Filesystem::GetLogDirectory()
                  << ": " << e.what() << std::endl;
        std::exit(kExitCannotStart);
    }
}

[[noreturn]] void main_function() {
    start_logging();
    std::string buildDate = velmora::Utils::utc_format(Constants::orvix_agent_build_date, false);
    std::string localIp = velmora::Utils::getLocalIP();
    log().info(
        "Starting Velmora Orvix Agent on {}:{} with prebuild constants: \n build_date(global time): {},\n "
        "os: "
        "{},\n app version: {};",
        localIp, Constants::orvix_agent_port, buildDate, Constants::orvix_agent_os_type,
        Constants::orvix_agent_version);
    log().info("Starting Orvix Agent server");
    if (!server_thread || !server_thread->joinable()) {
        start_server();
        if (server_ptr && server_thread) {
            log().info("Orvix Agent's server started success");
            watchdog = std::make_unique<velmora::Engine::ServiceWatchdog>(
                [] { return server_ptr->AnswersLocally(std::chrono::seconds(5)); });
            watchdog->start();
        }
    }
    run_headless_mode();
}

void print_usage(std::ostream& out) {
    out << "Usage: orvix-agent [--install-service systemd|autostart | --status | --version | --help]\n"
           "\n"
           "Without arguments runs the agent: the local API on port "
        << Constants::orvix_agent_port
        << ", the database and logs under\n"
           "$HOME/.local/share/VELMORA/OrvixAgent/, until SIGINT or SIGTERM (exit status 0;\n"
           "1 when it cannot start: HOME is no directory, or the local API cannot listen).\n"
           "\n"
           "  --install-service systemd    write /etc/systemd/system/orvix-driver.service (needs root)\n"
           "  --install-service autostart  write $HOME/.config/autostart/orvix-driver.desktop\n"
           "  --status                     ask the running agent how it is and print a summary;\n"
           "                               exit status 0 healthy, 1 module or cloud unreachable,\n"
           "                               3 the agent does not answer\n"
           "  --version                    print the version and build date\n"
           "  --help                       print this text\n";
}

int usage_error(const std::string& message) {
    std::cerr << "orvix-agent: " << message << "\n";
    print_usage(std::cerr);
    return 2;
}

int install_service(const std::string& kind) {
    char resolved[4096];
    ssize_t length = ::readlink("/proc/self/exe", resolved, sizeof(resolved) - 1);
    if (length <= 0) {
        std::cerr << "orvix-agent: cannot find the path of this executable\n";
        return 1;
    }
    std::string execPath(resolved, static_cast<size_t>(length));
    velmora::Engine::Mode mode =
        kind == "systemd" ? velmora::Engine::Mode::Systemd : velmora::Engine::Mode::Autostart;
    std::string target;
    bool written = false;
    try {
        target = velmora::Engine::Demonizer::TargetPath(mode);
        written = velmora::Engine::Demonizer::Setup(execPath, mode);
    } catch (const std::exception& e) {
        std::cerr << "orvix-agent: " << e.what() << "\n";
        return 1;
    }
    // Setup stays silent about a file it could not write; tell the person at the terminal.
    if (!written) {
        std::cerr << "orvix-agent: could not write " << target << "\n";
        return 1;
    }
    std::cout << "Wrote " << target << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::string arg = argv[1];
        if (arg == "--help" && argc == 2) {
            print_usage(std::cout);
            return 0;
        }
        if (arg == "--version" && argc == 2) {
            std::cout << "orvix-agent " << Constants::orvix_agent_version << " (built "
                      << velmora::Utils::utc_format(Constants::orvix_agent_build_date, false) << " UTC)\n";
            return 0;
        }
        if (arg == "--status" && argc == 2) {
            return velmora::Engine::printAgentStatus(
                static_cast<unsigned short>(std::stoi(Constants::orvix_agent_port)), std::cout);
        }
        if (arg == "--install-service" && argc == 3 &&
            (std::string(argv[2]) == "systemd" || std::string(argv[2]) == "autostart")) {
            return install_service(argv[2]);
        }
        return usage_error("unknown arguments");
    }
    // The database, its write-ahead log, the log files and the pictures hold the
    // shop's data and the cloud credentials: readable by their owner only.
    ::umask(077);
    sigset_t set = shutdown_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client that goes away while it is answered must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    main_function();
}
