#include "headless_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <Poco/Base64Decoder.h>

namespace orvix::test {
namespace json = boost::json;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

// Long enough for a first start on a busy two-core machine.
constexpr milliseconds kCallTimeout(30000);

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string textOf(const json::value& value) {
    return value.is_string() ? std::string(value.as_string()) : json::serialize(value);
}

}  // namespace

std::string HeadlessBrowser::executable() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        for (const char* name : {"chromium", "chromium-browser"}) {
            const std::string candidate = dir + "/" + name;
            if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
    }
    return {};
}

HeadlessBrowser::HeadlessBrowser(const std::string& workDir, int width, int height) {
    const std::string program = executable();
    if (program.empty()) {
        throw std::runtime_error("chromium is not on PATH (scripts/setup.sh installs it)");
    }
    const std::vector<std::string> argv = {
        program,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--remote-debugging-pipe",
        "--user-data-dir=" + workDir + "/profile",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-extensions",
        "--hide-scrollbars",
        "--window-size=" + std::to_string(width) + "," + std::to_string(height),
        "about:blank"};
    int commands[2];
    int events[2];
    if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(events, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    stderrPath_ = workDir + "/chromium.err";
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        // Out of the way of 3 and 4 first, whatever numbers the pipes got.
        const int in = ::fcntl(commands[0], F_DUPFD, 10);
        const int out = ::fcntl(events[1], F_DUPFD, 10);
        ::dup2(in, 3);
        ::dup2(out, 4);
        const int devnull = ::open("/dev/null", O_RDWR);
        const int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(err, 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(commands[0]);
    ::close(events[1]);
    toBrowser_ = commands[1];
    fromBrowser_ = events[0];

    json::object created = call("Target.createTarget", {{"url", "about:blank"}}, false);
    json::object attached =
        call("Target.attachToTarget", {{"targetId", created.at("targetId")}, {"flatten", true}}, false);
    session_ = std::string(attached.at("sessionId").as_string());
    for (const char* domain : {"Page.enable", "Network.enable", "Runtime.enable", "Log.enable"}) {
        call(domain);
    }
}

HeadlessBrowser::~HeadlessBrowser() {
    if (pid_ > 0) {
        try {
            send({{"id", ++nextId_}, {"method", "Browser.close"}});
        } catch (const std::exception&) {
            // The browser is gone already; it is reaped below.
        }
        const auto deadline = steady_clock::now() + milliseconds(10000);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(milliseconds(50));
        }
    }
    if (toBrowser_ >= 0) {
        ::close(toBrowser_);
    }
    if (fromBrowser_ >= 0) {
        ::close(fromBrowser_);
    }
}

void HeadlessBrowser::send(const json::object& message) {
    const std::string text = json::serialize(message) + std::string(1, '\0');
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(toBrowser_, text.data() + written, text.size() - written);
        if (n <= 0) {
            throw std::runtime_error("the browser's pipe is closed");
        }
        written += static_cast<size_t>(n);
    }
}

json::object HeadlessBrowser::call(const std::string& method, json::object params, bool onPage) {
    const int id = ++nextId_;
    json::object message{{"id", id}, {"method", method}, {"params", std::move(params)}};
    if (onPage) {
        message["sessionId"] = session_;
    }
    send(message);
    const auto deadline = steady_clock::now() + kCallTimeout;
    while (answers_.find(id) == answers_.end()) {
        if (steady_clock::now() > deadline) {
            throw std::runtime_error("the browser did not answer " + method);
        }
        pump(milliseconds(200));
    }
    json::object answer = std::move(answers_.at(id));
    answers_.erase(id);
    if (const auto* error = answer.if_contains("error")) {
        throw std::runtime_error(method + " failed: " + json::serialize(*error));
    }
    const auto* result = answer.if_contains("result");
    return result && result->is_object() ? result->as_object() : json::object{};
}

bool HeadlessBrowser::pump(milliseconds wait) {
    pollfd ready{fromBrowser_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) {
        return false;
    }
    char buffer[65536];
    const ssize_t n = ::read(fromBrowser_, buffer, sizeof(buffer));
    if (n <= 0) {
        throw std::runtime_error("the browser went away; its errors: " + stderrPath_);
    }
    pending_.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending_.find('\0')) != std::string::npos) {
        const std::string text = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        json::object message = json::parse(text).as_object();
        if (const auto* id = message.if_contains("id")) {
            answers_[static_cast<int>(id->to_number<int64_t>())] = std::move(message);
        } else {
            onEvent(message);
        }
    }
    return true;
}

void HeadlessBrowser::onEvent(const json::object& message) {
    const std::string method(message.at("method").as_string());
    const auto* found = message.if_contains("params");
    if (!found || !found->is_object()) {
        return;
    }
    const json::object& params = found->as_object();
    if (method == "Network.requestWillBeSent") {
        const std::string id(params.at("requestId").as_string());
        const json::object& request = params.at("request").as_object();
        BrowserRequest& entry = requests_[id];
        if (entry.url.empty()) {
            requestOrder_.push_back(id);
        }
        entry.method = std::string(request.at("method").as_string());
        entry.url = std::string(request.at("url").as_string());
    } else if (method == "Network.requestWillBeSentExtraInfo") {
        const std::string id(params.at("requestId").as_string());
        BrowserRequest& entry = requests_[id];
        for (const auto& [name, value] : params.at("headers").as_object()) {
            entry.headers[lower(std::string(name))] = textOf(value);
        }
    } else if (method == "Runtime.consoleAPICalled") {
        const std::string type(params.at("type").as_string());
        if (type == "error" || type == "assert") {
            std::string text = "console." + type + ":";
            for (const auto& arg : params.at("args").as_array()) {
                const auto* value = arg.as_object().if_contains("value");
                text += " " + (value ? textOf(*value) : json::serialize(arg));
            }
            consoleErrors_.push_back(text);
        }
    } else if (method == "Runtime.exceptionThrown") {
        consoleErrors_.push_back("exception: " + json::serialize(params.at("exceptionDetails")));
    } else if (method == "Log.entryAdded") {
        const json::object& entry = params.at("entry").as_object();
        if (entry.at("level") == "error") {
            consoleErrors_.push_back("log: " + textOf(entry.at("text")) +
                                     (entry.contains("url") ? " (" + textOf(entry.at("url")) + ")" : ""));
        }
    } else if (method == "Page.javascriptDialogOpening") {
        dialogs_.push_back(textOf(params.at("message")));
        // Answered from here: the page's script is blocked until the dialog is gone.
        json::object answer{{"accept", answerPrompts_}};
        if (answerPrompts_) {
            answer["promptText"] = promptText_;
        }
        send({{"id", ++nextId_},
              {"method", "Page.handleJavaScriptDialog"},
              {"params", std::move(answer)},
              {"sessionId", session_}});
    }
}

void HeadlessBrowser::navigate(const std::string& url) {
    call("Page.navigate", {{"url", url}});
}

json::value HeadlessBrowser::evaluate(const std::string& expression) {
    json::object result = call("Runtime.evaluate",
                               {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
    if (const auto* details = result.if_contains("exceptionDetails")) {
        throw std::runtime_error("the script failed: " + json::serialize(*details));
    }
    const json::object& value = result.at("result").as_object();
    const auto* found = value.if_contains("value");
    return found ? *found : json::value();
}

bool HeadlessBrowser::waitFor(const std::string& expression, milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    while (true) {
        // While a page loads its elements are not there yet: that is "not yet", not a failure.
        if (evaluate("(() => { try { return Boolean(" + expression +
                     "); } catch (e) { return false; } })()") == json::value(true)) {
            return true;
        }
        if (steady_clock::now() > deadline) {
            return false;
        }
        pump(milliseconds(100));
    }
}

std::string HeadlessBrowser::screenshotPng() {
    const json::value size = evaluate(
        "({width: document.documentElement.scrollWidth, height: document.documentElement.scrollHeight})");
    json::object clip{
        {"x", 0}, {"y", 0}, {"width", size.at("width")}, {"height", size.at("height")}, {"scale", 1}};
    json::object shot =
        call("Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", true}, {"clip", clip}});
    std::istringstream encoded(std::string(shot.at("data").as_string()));
    Poco::Base64Decoder decoder(encoded);
    return std::string(std::istreambuf_iterator<char>(decoder), std::istreambuf_iterator<char>());
}

std::vector<BrowserRequest> HeadlessBrowser::requests() {
    while (pump(milliseconds(0))) {
    }
    std::vector<BrowserRequest> list;
    for (const auto& id : requestOrder_) {
        list.push_back(requests_.at(id));
    }
    return list;
}

std::vector<std::string> HeadlessBrowser::consoleErrors() {
    while (pump(milliseconds(0))) {
    }
    return consoleErrors_;
}

void HeadlessBrowser::answerPrompts(const std::string& text) {
    answerPrompts_ = true;
    promptText_ = text;
}

std::vector<std::string> HeadlessBrowser::dialogs() {
    while (pump(milliseconds(0))) {
    }
    return dialogs_;
}

}  // namespace orvix::test
