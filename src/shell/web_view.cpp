#include "shell/web_view.h"

#include "web/web_rules.h"

namespace plotanix {

std::string webTokenFor(const Settings& settings, std::string& why) {
    if (!settings.webTokenFile.empty())
        return web::WebServer::tokenFromFile(settings.webTokenFile, why);
    if (!settings.web || web::isLoopback(settings.web->host)) return {};
    return web::WebServer::newToken();
}

bool WebView::follow(const Settings& settings, std::string& why, BackgroundWork* work) {
    if (server_ && address_ == settings.web && tokenFile_ == settings.webTokenFile) return true;
    server_.reset();
    address_ = settings.web;
    tokenFile_ = settings.webTokenFile;
    tokenKept_.clear();
    if (!settings.web) return true;
    web::WebServer::Options options{settings.web->host, settings.web->port, {}, settings.dir};
    options.work = work;
    options.token = webTokenFor(settings, why);
    if (!why.empty()) return false;
    server_ = web::WebServer::start(options, why);
    if (!server_) return false;
    if (!options.token.empty()) {
        tokenKept_ = settings.webTokenFile;
        if (tokenKept_.empty()) {
            tokenKept_ = settings.dir + "/" + webTokenName;
            if (!web::WebServer::writeTokenFile(tokenKept_, options.token, server_->addresses(),
                                                why)) {
                server_.reset();
                return false;
            }
        }
    }
    tell();
    return true;
}

std::string WebView::url() const {
    if (!server_) return {};
    std::string shown;
    for (const std::string& address : server_->addresses())
        shown += (shown.empty() ? "" : " ") + address;
    if (!tokenKept_.empty()) shown += " (its token in " + tokenKept_ + ")";
    return shown;
}

void WebView::showPage(web::WebServer::PageProvider page) {
    if (server_) server_->showPage(std::move(page));
}

void WebView::pageChanged(int32_t instructions, int32_t ignored) {
    if (!server_) return;
    status_.instructions = instructions;
    status_.ignored = ignored;
    tell();
    server_->pageChanged();
}

void WebView::pageSaved(const std::string& name) {
    if (server_) server_->pageSaved(name);
}

void WebView::activity(std::string text) {
    status_.activity = std::move(text);
    status_.instructions = status_.ignored = -1;
    tell();
}

void WebView::line(std::string description) {
    status_.line = std::move(description);
    tell();
}

void WebView::lineLost(bool lost) {
    status_.lineLost = lost;
    tell();
}

void WebView::adapter(std::vector<std::string> said) {
    status_.adapter = std::move(said);
    tell();
}

void WebView::tell() {
    if (server_) server_->setStatus(status_);
}

} // namespace plotanix
