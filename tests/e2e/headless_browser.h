#pragma once
// Headless Chromium driven through its DevTools protocol on a pipe pair
// (no port to pick, nothing another test could reach): one page, and
// scripts evaluated in it whose promises the browser resolves when the
// page shows what they wait for. Every wait blocks in poll() on the pipe
// with a deadline. The browser, its helpers and its profile go when the
// object does.

#include "common/unique_fd.h"
#include "support/temp_dir.h"

#include <chrono>
#include <optional>
#include <string>

namespace plotanix::testing {

class HeadlessBrowser {
  public:
    HeadlessBrowser();
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    // Why the browser could not start, or the last call failed.
    const std::string& failure() const { return failure_; }

    // A new page at the address; false (failure says why) when it cannot be had.
    bool open(const std::string& url);
    // The string the expression (a promise, resolved by the page) gives;
    // nullopt on an error or when the time is up. An expression that is
    // cut short by the page's navigation is evaluated again.
    std::optional<std::string> evaluate(const std::string& expression,
                                        std::chrono::milliseconds timeout);
    // The browser's own messages, for a failure's report.
    std::string log() const;

  private:
    // Sends the command and returns its answer's message.
    std::optional<std::string> call(const std::string& method, const std::string& params,
                                    bool inPage, std::chrono::steady_clock::time_point deadline);

    TempDir profile_;
    UniqueFd toBrowser_;
    UniqueFd fromBrowser_;
    int pid_ = -1;
    int nextId_ = 1;
    std::string pending_; // bytes read after the last whole message
    std::string session_;
    std::string failure_;
};

// The text as a JSON string literal.
std::string jsonString(const std::string& text);

} // namespace plotanix::testing
