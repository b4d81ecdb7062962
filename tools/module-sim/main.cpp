// orvix-module-sim: answers the recognition module's HTTP API from state kept in memory,
// so that the agent, its tests and a person trying it have a real peer on the network.

#include "http_front.h"
#include "module_state.h"

#include <pthread.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

namespace {

const char* const kUsage = R"(Usage: orvix-module-sim [options]

Simulates the recognition module's HTTP API for the Orvix Agent.

Options:
  --host ADDRESS       address to listen on (default 127.0.0.1)
  --port PORT          TCP port to listen on (default 8081; 0 picks a free one)
  --job-seconds S      how long export, import and upgrade jobs take, in seconds,
                       fractions allowed (default 3; 0 finishes them at once)
  --sn SERIAL          the module's serial number (default VLM2A0C1B7E4)
  --seed N             seed of the recognition scores, for repeatable runs
  --help               show this text

Module API (envelope {"code": 0, "data": ...}; wrong method 405, unknown command 404):
  GET  /api/get_device_info, get_board_info, get_learnmode, get_calib, get_extra_info,
       get_item_list, get_result, get_sync_status,
       export_template_status, import_template_status, offline_upgrade_status
  POST /api/get_image (image/jpeg), get_sync_limit, get_item_template_list,
       add_item_template, delete_item_template, delete_item, clear_all_template,
       set_learnmode, set_sync_normal, set_sync_master, set_sync_slave, set_sync_limit,
       set_sold_out_limit, set_max_result, set_predict_speed, set_time, set_extra_info,
       set_calib, result_feedback, manual_sync, reset_device, reboot,
       enable_internet_once, export_template,
       import_template and offline_upgrade (multipart form, part named "file")
  GET  /download/<name>  an exported archive, e.g. templates_1.evom (a ZIP archive)
  Wrong parameters are refused with code -6213, a body that is not JSON with -6200.

Control endpoint (never affected by faults):
  GET  /control/state    fault settings, module state, job statuses, request history,
                         "in_flight" and "peak_in_flight" (/api/ and /download/
                         requests being served now, and the most at once)
  POST /control/fault    JSON object, every key optional:
         "mode":      "none" | "silent" (hold the request unanswered until the mode
                      changes, then close) | "close" (close without answer) |
                      "http500" | "nonjson" (HTTP 200 with an HTML body) |
                      "refuse" (HTTP 200 with {"code": <code>, "data": null}) |
                      "trickle" (the normal answer, padded to 120 bytes, sent one
                      byte every 500 ms)
         "code":      module code used by "refuse" (default -6213)
         "delay_ms":  delay before every answer, 0 to switch off
         "count":     spoil only the next N matching requests, then back to normal
                      (null: until changed)
         "commands":  limit the fault to these command names ("download" stands for
                      /download/); [] or null: all
         "fail_jobs": jobs started from now on end in their failure status; any of
                      "export", "import", "upgrade"; [] for none
       {"mode": "none"} alone ends the fault mode (a delay stays until "delay_ms": 0).
       Faults apply to /api/ and /download/; "refuse" leaves downloads alone.
  POST /control/reset    default settings, seeded templates, no jobs, no faults

Each request is logged on standard output in one line. SIGINT or SIGTERM stops the
simulator with status 0.
)";

bool parseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end != nullptr && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    double port = 8081;
    orvix::modsim::ModuleOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::cerr << "orvix-module-sim: unknown option or missing value: " << arg << "\n" << kUsage;
            return 2;
        }
        const std::string value = argv[++i];
        double number = 0;
        if (arg == "--host") {
            host = value;
        } else if (arg == "--port" && parseNumber(value, port) && port >= 0 && port <= 65535 &&
                   port == static_cast<int>(port)) {
        } else if (arg == "--job-seconds" && parseNumber(value, number) && number >= 0 && number <= 3600) {
            options.jobSeconds = number;
        } else if (arg == "--sn" && !value.empty()) {
            options.serial = value;
        } else if (arg == "--seed" && parseNumber(value, number) && number >= 0 && number <= 4294967295.0) {
            options.seed = static_cast<std::uint32_t>(number);
        } else {
            std::cerr << "orvix-module-sim: bad option: " << arg << " " << value << "\n" << kUsage;
            return 2;
        }
    }

    // The signals are taken by this thread alone: block them before any other thread exists.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        orvix::modsim::ModuleState module(options);
        orvix::modsim::HttpFront front(module, host, static_cast<unsigned short>(port));
        front.start();
        std::printf(
            "orvix-module-sim: module %s listening on http://%s:%u (jobs take %g s); control at "
            "/control/state\n",
            options.serial.c_str(), host.c_str(), static_cast<unsigned>(front.port()), options.jobSeconds);
        std::fflush(stdout);

        int received = 0;
        sigwait(&stopSignals, &received);
        std::printf("orvix-module-sim: signal %d, stopping\n", received);
        std::fflush(stdout);
        front.stop();
    } catch (const std::exception& error) {
        std::cerr << "orvix-module-sim: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
