// orvix-cloud-sim: answers the monitoring service's REST API and its token endpoint from
// state kept in memory, so that the agent, its tests and a person trying it have a real
// cloud peer on the network.

#include "http_front.h"
#include "sim_state.h"
#include "tls_context.h"

#include <Poco/Net/SSLManager.h>

#include <pthread.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

namespace {

const char* const kUsage = R"(Usage: orvix-cloud-sim [options]

Simulates the monitoring service and its token endpoint for the Orvix Agent.

Options:
  --host ADDRESS          address to listen on (default 127.0.0.1)
  --port PORT             TCP port to listen on (default 8090; 0 picks a free one)
  --client-secret TEXT    the secret of client "device" (default "secret")
  --token-lifetime S      access token lifetime in seconds (default 300)
  --refresh-lifetime S    refresh token lifetime in seconds (default 1800)
  --short-token           answer only access_token, expires_in and token_type (no refresh)
  --device-id ID          id of the seeded registry device (default 42)
  --device-sn SERIAL      its serial number (default VLM2A0C1B7E4, the module simulator's)
  --seed-duplicate        register a second device with the same serial number
  --tls                   HTTPS with a self-signed certificate made at start
                          (CN=localhost, alternative names localhost and 127.0.0.1)
  --cert FILE --key FILE  HTTPS with this PEM certificate and key instead
  --cert-out FILE         write the generated certificate there (PEM), to trust it
  --help                  show this text

Token endpoint (form body grant_type=client_credentials, client_id=device,
client_secret, optionally refresh_token):
  POST /auth/realms/Velmora/protocol/openid-connect/token
       200 {"access_token","expires_in","refresh_expires_in","refresh_token",
            "token_type":"Bearer","session_state","scope"} (short form: the first two
       and token_type); wrong client or secret 401 {"error":"invalid_client"};
       unknown or expired refresh_token 401 {"error":"invalid_grant"}.
       A refresh token is used once; renewal hands out new tokens.

Monitoring API: every /api/v1/ request needs "Authorization: Bearer <valid token>",
else 401 {"error":"invalid_token"}. D is a device id and may be empty (devices//task).
  POST /api/v1/devices/D/attributes | recognition | alert      recorded, 200 {}
  GET  /api/v1/devices/D/task          200 the oldest task queued for D (handed out
                                       once), or 204 with an empty body
  POST /api/v1/devices/D/tasks/T/confirm | reject | error      recorded, 200 {}
  GET  /api/v1/stores, /stores/types, /stores/departments, /stores/regions,
       /devices/models                 {"data":[...]}
  GET  /api/v1/devices?name=value&...  {"data":[devices whose fields equal every parameter]}
  GET | DELETE | PATCH /api/v1/devices/{id}     the device (PATCH merges fields);
                                       404 {"error":"not found"}
  GET  /api/v1/devices/{id}/attributes {"data": the last attributes posted for it}
  POST /api/v1/devices/data            {"ids":[...]} (or anything: all devices) ->
                                       {"data":[{"id","attributes"}]}
  POST /api/v1/devices, /api/v1/devices/models  create; answers the item with a new id

Control interface (no token, never faulted; JSON in and out):
  POST /control/reset        forget what was received, tasks and faults; registry and
                             token settings back to the start (issued tokens stay valid)
  GET  /control/received     {"token_requests":[{"grant_type","client_id","refresh","status"}],
                              "attributes"|"recognitions"|"alerts":[{"device","body"}],
                              "task_answers":[{"device","task_id","kind","body"}],
                              "tasks_fetched":[{"device","id"}],
                              "requests":[{"method","path","query","status","fault"}]}
                             bodies as parsed JSON (a string when not JSON), in order of
                             arrival; status 0 means dropped without answer
  POST /control/tasks        {"device":"42","id":"7","type":"exec_command","data":{...}}
                             queues a task (id optional: one is made); {"device","id"?,
                             "raw":<any JSON>} queues that exact answer body. -> {"id"}
  GET  /control/tasks        {"tasks":[{"device","id","task"}]}
  POST /control/fault        {"target":"token|attributes|recognition|alert|task|answers|
                              registry|all", "mode":"status|delay|empty|drop|trickle|none",
                              "status":500, "delay_ms":N, "count":N, "retry_after":"5",
                              "sid":"S"}
                             status: answer that status with a short JSON body; delay:
                             wait delay_ms, then answer normally (delay_ms also delays the
                             other modes); empty: 200 with an empty body; drop: close the
                             connection unanswered; trickle: 200 whose body comes one byte
                             every delay_ms (1000 when absent), for up to ten minutes;
                             none: clear the target (no target:
                             clear all). count: spoil the next N requests, -1 or absent:
                             until cleared. A target's own fault wins over "all".
                             retry_after: a Retry-After header on the status answer.
                             sid: only recognitions of that session id are spoilt.
                             Spoilt requests are not processed (nothing recorded but the
                             request and a token request, no task handed out).
  GET  /control/fault        {"faults":{target:{"mode","status","delay_ms","count",
                              "retry_after","sid"}}}
  POST /control/token        {"lifetime":N,"refresh_lifetime":N,"short":bool}, each optional
  GET  /control/token        the token settings and the number of valid access tokens
  POST /control/token/revoke invalidate every access token ({"refresh":true}: refresh
                             tokens too); the next /api/v1/ call gets 401
  GET  /control/registry     the registry and the last attributes per device

Each request is logged on standard output in one line. SIGINT or SIGTERM stops the
simulator with status 0.
)";

bool parseInteger(const std::string& text, long long min, long long max, long long& value) {
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && end != nullptr && *end == '\0' && value >= min && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    long long port = 8090;
    orvix::cloudsim::SimOptions options;
    orvix::cloudsim::TlsOptions tls;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--short-token") {
            options.token.shortForm = true;
            continue;
        }
        if (arg == "--seed-duplicate") {
            options.seedDuplicate = true;
            continue;
        }
        if (arg == "--tls") {
            tls.enabled = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << "orvix-cloud-sim: unknown option or missing value: " << arg << "\n" << kUsage;
            return 2;
        }
        const std::string value = argv[++i];
        if (arg == "--host") {
            host = value;
        } else if (arg == "--port" && parseInteger(value, 0, 65535, port)) {
        } else if (arg == "--client-secret") {
            options.clientSecret = value;
        } else if (arg == "--token-lifetime" && parseInteger(value, 0, 100000000, options.token.lifetime)) {
        } else if (arg == "--refresh-lifetime" &&
                   parseInteger(value, 0, 100000000, options.token.refreshLifetime)) {
        } else if (arg == "--device-id" && !value.empty()) {
            options.deviceId = value;
        } else if (arg == "--device-sn" && !value.empty()) {
            options.deviceSerial = value;
        } else if (arg == "--cert" && !value.empty()) {
            tls.certFile = value;
        } else if (arg == "--key" && !value.empty()) {
            tls.keyFile = value;
        } else if (arg == "--cert-out" && !value.empty()) {
            tls.certOut = value;
        } else {
            std::cerr << "orvix-cloud-sim: bad option: " << arg << " " << value << "\n" << kUsage;
            return 2;
        }
    }
    if (tls.certFile.empty() != tls.keyFile.empty()) {
        std::cerr << "orvix-cloud-sim: --cert and --key go together\n";
        return 2;
    }
    tls.enabled = tls.enabled || !tls.certFile.empty();

    // The signals are taken by this thread alone: block them before any other thread exists.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Poco::Net::initializeSSL();
    int status = 0;
    try {
        orvix::cloudsim::SimState state(options);
        orvix::cloudsim::HttpFront front(state, host, static_cast<unsigned short>(port), tls);
        front.start();
        std::printf("orvix-cloud-sim listening on %s://%s:%u (device %s, serial %s)\n", front.scheme(),
                    host.c_str(), static_cast<unsigned>(front.port()), options.deviceId.c_str(),
                    options.deviceSerial.c_str());
        std::fflush(stdout);

        int received = 0;
        sigwait(&stopSignals, &received);
        std::printf("orvix-cloud-sim: signal %d, stopping\n", received);
        std::fflush(stdout);
        front.stop();
    } catch (const std::exception& error) {
        std::cerr << "orvix-cloud-sim: " << error.what() << "\n";
        status = 1;
    }
    Poco::Net::uninitializeSSL();
    return status;
}
