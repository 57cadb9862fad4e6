#include "web_pages.h"

#include "web/web_rules.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>
#include <sys/stat.h>

namespace plotanix::web {

namespace {

std::string timeText(std::time_t time) {
    std::tm local{};
    ::localtime_r(&time, &local);
    std::array<char, 32> text{};
    std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &local);
    return text.data();
}

std::string copyKind(const std::string& name) {
    return name.substr(name.size() - 3);
}

} // namespace

std::string statusText(const WebStatus& status) {
    std::string text =
        status.lineLost ? "The line is lost; waiting for it to return" : status.activity;
    if (!status.lineLost && status.instructions >= 0)
        text += ": " + std::to_string(status.instructions) + " instructions, " +
                std::to_string(status.ignored) + " ignored";
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

std::vector<SavedPage> savedPages(const std::string& folder, size_t most) {
    std::vector<SavedPage> pages;
    std::set<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!servedName(name) || name == "PLOTTER.TXT") continue;
        struct stat info {};
        if (::lstat(entry->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        names.insert(name);
        if (name.ends_with(".PNG")) pages.push_back({name, info.st_mtime, {}});
    }
    std::sort(pages.begin(), pages.end(), [](const SavedPage& a, const SavedPage& b) {
        return a.time != b.time ? a.time > b.time : a.name > b.name;
    });
    if (pages.size() > most) pages.resize(most);
    for (SavedPage& page : pages) {
        for (const char* kind : {".SVG", ".PDF"}) {
            const std::string copy = page.name.substr(0, 13) + kind;
            if (names.contains(copy)) page.copies.push_back(copy);
        }
    }
    return pages;
}

std::string frontPage(const WebStatus& status, uint64_t pageVersion,
                      const std::vector<SavedPage>& saved) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                       "<title>Plotanix</title><link rel=\"stylesheet\" href=\"/style.css\">"
                       "<script src=\"/live.js\" defer></script></head>\n<body>\n<header>"
                       "<h1>Plotanix</h1>";
    if (!status.line.empty()) html += "<p id=\"line\">" + escapeHtml(status.line) + "</p>";
    html += "<p id=\"state\"" + std::string(status.lineLost ? " class=\"lost\"" : "") + ">" +
            escapeHtml(statusText(status)) + "</p>";
    for (const std::string& said : status.adapter)
        html += "<p class=\"adapter\">" + escapeHtml(said) + "</p>";
    html += "</header>\n<main>\n<section id=\"current\"><h2>The page</h2>";
    if (pageVersion == 0) {
        html += "<p>No page yet.</p>";
    } else {
        html += "<img id=\"page\" src=\"/page.png?v=" + std::to_string(pageVersion) +
                "\" width=\"800\" height=\"600\" alt=\"The page as it is drawn\">";
    }
    html += "</section>\n<section id=\"saved\"><h2>Saved pages</h2>";
    if (saved.empty()) html += "<p>None yet.</p>";
    html += "<ul id=\"pages\">";
    for (const SavedPage& page : saved) {
        const std::string href = "/files/" + page.name;
        html += "\n<li><a href=\"" + href + "\"><img src=\"" + href + "\" alt=\"" + page.name +
                "\" width=\"200\" height=\"150\" loading=\"lazy\"></a><p>" +
                page.name.substr(0, 13) + "<br><time>" + timeText(page.time) +
                "</time><br><a href=\"" + href + "\">PNG</a>";
        for (const std::string& copy : page.copies)
            html += " <a href=\"/files/" + copy + "\">" + copyKind(copy) + "</a>";
        html += "</p></li>";
    }
    html += "</ul>";
    // Two saved pages laid over each other, drawn on request: the older
    // under, the newer over it in shifted colours.
    if (saved.size() >= 2) {
        const auto choices = [&](const char* name, size_t chosen) {
            std::string select = "<select name=\"" + std::string(name) + "\">";
            for (size_t i = 0; i < saved.size(); ++i)
                select += "<option" + std::string(i == chosen ? " selected" : "") + ">" +
                          escapeHtml(saved[i].name) + "</option>";
            return select + "</select>";
        };
        html += "<form id=\"overlay\" action=\"/overlay.png\" method=\"get\">Lay " +
                choices("a", 1) + " under " + choices("b", 0) + " <button>Overlay</button></form>";
    }
    html += "</section>\n<p><a href=\"/files/PLOTTER.TXT\">The transcript</a></p>\n"
            "</main>\n</body></html>\n";
    return html;
}

const char styleSheet[] =
    R"(body { font-family: sans-serif; margin: 1em 2em; color: #222; background: #f4f4f0; }
h1 { font-size: 1.4em; margin: 0 0 .3em; }
h2 { font-size: 1.1em; }
#state { font-weight: bold; }
#state.lost { color: #a00; }
#page { max-width: 100%; height: auto; border: 1px solid #888; background: #fff; }
#pages { list-style: none; padding: 0; display: flex; flex-wrap: wrap; gap: 1em; }
#pages li { width: 200px; }
#pages img { width: 200px; height: auto; border: 1px solid #888; background: #fff; }
#pages p { margin: .2em 0; font-size: .9em; }
)";

// Without a script the page is whole as loaded; with one it follows the
// live channel: a new picture when the page changes, the state when it
// changes, the list when a page is saved.
const char liveScript[] = R"("use strict";
(function () {
  if (!window.EventSource) return;
  var replaceFrom = function (fresh, id) {
    var now = document.getElementById(id), next = fresh.getElementById(id);
    if (now && next) now.replaceWith(document.importNode(next, true));
  };
  var refresh = function () {
    fetch("/", { cache: "no-store" }).then(function (r) { return r.text(); }).then(function (text) {
      var fresh = new DOMParser().parseFromString(text, "text/html");
      ["state", "current", "saved"].forEach(function (id) { replaceFrom(fresh, id); });
    }).catch(function () {});
  };
  var events = new EventSource("/events");
  events.addEventListener("page", function (e) {
    var img = document.getElementById("page");
    if (img) img.src = "/page.png?v=" + encodeURIComponent(e.data); else refresh();
  });
  events.addEventListener("state", function (e) {
    var state = document.getElementById("state");
    if (state) state.textContent = e.data;
  });
  events.addEventListener("saved", refresh);
})();
)";

} // namespace plotanix::web
