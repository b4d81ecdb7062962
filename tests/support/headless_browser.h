#pragma once

// Debian's Chromium, headless, driven over its DevTools pipe (file descriptors 3 and
// 4, NUL-separated JSON): one page, with every request it makes, every console error
// and every exception recorded, scripts evaluated in it and screenshots taken. No
// WebSocket and no extra package are needed.

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <boost/json.hpp>

namespace orvix::test {

struct BrowserRequest {
    std::string method;
    std::string url;
    std::map<std::string, std::string> headers;  // as sent on the wire, names in lower case
};

class HeadlessBrowser {
public:
    // The Chromium executable on PATH, "" when there is none.
    static std::string executable();

    // Starts Chromium with a fresh profile under `workDir` and opens one blank page.
    // Throws when Chromium is missing or does not come up.
    explicit HeadlessBrowser(const std::string& workDir, int width = 1200, int height = 1700);
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    void navigate(const std::string& url);
    // The value of a script expression (promises awaited); throws on an exception.
    boost::json::value evaluate(const std::string& expression);
    // Evaluates `expression` until it is true or the time runs out; an expression that
    // throws (an element not there yet) counts as false.
    bool waitFor(const std::string& expression, std::chrono::milliseconds timeout);
    // The whole page as a PNG, beyond the window if it is longer.
    std::string screenshotPng();

    // Everything recorded so far (events that arrived while waiting on something).
    std::vector<BrowserRequest> requests();
    std::vector<std::string> consoleErrors();
    std::vector<std::string> dialogs();  // messages of the alert and prompt dialogs opened
    // From now on a prompt is answered with `text`; until then dialogs are dismissed.
    void answerPrompts(const std::string& text);

private:
    boost::json::object call(const std::string& method, boost::json::object params = {}, bool onPage = true);
    void send(const boost::json::object& message);
    // Reads what arrived within `wait`, records events; true when something came.
    bool pump(std::chrono::milliseconds wait);
    void onEvent(const boost::json::object& message);

    int pid_ = -1;
    int toBrowser_ = -1;
    int fromBrowser_ = -1;
    std::string stderrPath_;
    std::string pending_;
    int nextId_ = 0;
    std::map<int, boost::json::object> answers_;
    std::string session_;
    std::map<std::string, BrowserRequest> requests_;  // by request id
    std::vector<std::string> requestOrder_;
    std::vector<std::string> consoleErrors_;
    std::vector<std::string> dialogs_;
    bool answerPrompts_ = false;
    std::string promptText_;
};

}  // namespace orvix::test
