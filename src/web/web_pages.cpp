#include "web_pages.h"

#include "web/web_rules.h"

#include <algorithm>
#include <array>

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

namespace {

std::string pageItem(const SavedPage& page) {
    const std::string href = "/files/" + page.name;
    std::string html = "\n<li><a href=\"" + href + "\"><img src=\"" + href + "\" alt=\"" +
                       page.name + "\" width=\"200\" height=\"150\" loading=\"lazy\"></a><p>" +
                       page.name.substr(0, 13) + "<br><time>" + timeText(page.time) +
                       "</time><br><a href=\"" + href + "\">PNG</a>";
    for (const std::string& copy : page.copies)
        html += " <a href=\"/files/" + copy + "\">" + copyKind(copy) + "</a>";
    return html + "</p></li>";
}

// The page on the plotter while it has drawing not yet saved; otherwise
// the page saved last, named as such.
std::string currentPanel(const FrontPage& shown) {
    const bool live = shown.pageVersion != 0 && (shown.drawing || shown.lastSaved == nullptr);
    if (!live && shown.lastSaved != nullptr) {
        const std::string href = "/files/" + shown.lastSaved->name;
        return "<section id=\"current\" class=\"saved\"><h2>Last saved</h2><a href=\"" + href +
               "\"><img id=\"page\" src=\"" + href + "\" width=\"800\" height=\"600\" alt=\"" +
               shown.lastSaved->name + "\"></a><p>" + shown.lastSaved->name + ", <time>" +
               timeText(shown.lastSaved->time) + "</time></p></section>";
    }
    std::string html = "<section id=\"current\" class=\"drawing\"><h2>Now drawing</h2>";
    if (!live) return html + "<p>No page yet.</p></section>";
    return html + "<img id=\"page\" src=\"/page.png?v=" + std::to_string(shown.pageVersion) +
           "\" width=\"800\" height=\"600\" alt=\"The page as it is drawn\"></section>";
}

std::string savedPanel(const FrontPage& shown) {
    std::string html = "<section id=\"saved\"><h2>Saved pages</h2>";
    if (shown.reading) return html + "<p>Reading the folder.</p></section>";
    if (shown.total == 0) return html + "<p>None yet.</p></section>";
    const size_t last = shown.skip + shown.saved.size();
    html += "<p>" + std::to_string(shown.skip + 1) + " to " + std::to_string(last) + " of " +
            std::to_string(shown.total) +
            ", newest first. <a href=\"/pages.tar\" download>All saved pages in one file</a> "
            "(tar)</p><ul id=\"pages\">";
    for (const SavedPage& page : shown.saved)
        html += pageItem(page);
    html += "</ul>";
    // Two of the pages shown laid over each other, drawn on request: the
    // older under in black, the newer over it in red.
    if (shown.saved.size() >= 2) {
        const auto choices = [&](const char* name, size_t chosen) {
            std::string select = "<select name=\"" + std::string(name) + "\">";
            for (size_t i = 0; i < shown.saved.size(); ++i)
                select += "<option" + std::string(i == chosen ? " selected" : "") + ">" +
                          escapeHtml(shown.saved[i].name) + "</option>";
            return select + "</select>";
        };
        html += "<form id=\"overlay\" action=\"/overlay.png\" method=\"get\">Lay " +
                choices("a", 1) + " under " + choices("b", 0) + " <button>Overlay</button></form>";
    }
    if (shown.skip > 0 || last < shown.total) {
        html += "<nav>";
        if (shown.skip > 0)
            html += "<a href=\"/?from=" +
                    std::to_string(shown.skip - std::min(shown.skip, pagesShown)) +
                    "\">Newer pages</a> ";
        if (last < shown.total)
            html += "<a href=\"/?from=" + std::to_string(last) + "\">Older pages</a>";
        html += "</nav>";
    }
    return html + "</section>";
}

} // namespace

std::string frontPage(const WebStatus& status, const FrontPage& shown) {
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
    html += "</header>\n<main>\n" + currentPanel(shown) + "\n" + savedPanel(shown) +
            "\n<p><a href=\"/files/PLOTTER.TXT\">The transcript</a></p>\n</main>\n</body></html>\n";
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
nav a { margin-right: 1em; }
)";

// Without a script the page is whole as loaded; with one it follows the
// live channel: a new picture when the page changes, the state when it
// changes, the list when a page is saved or the channel is opened again.
const char liveScript[] = R"("use strict";
(function () {
  if (!window.EventSource) return;
  var replaceFrom = function (fresh, id) {
    var now = document.getElementById(id), next = fresh.getElementById(id);
    if (now && next) now.replaceWith(document.importNode(next, true));
  };
  var refresh = function () {
    fetch(location.pathname + location.search, { cache: "no-store" }).then(function (r) {
      return r.text();
    }).then(function (text) {
      var fresh = new DOMParser().parseFromString(text, "text/html");
      ["state", "current", "saved"].forEach(function (id) { replaceFrom(fresh, id); });
    }).catch(function () {});
  };
  var events = new EventSource("/events");
  // A channel ends now and then (at the end of its lifetime, or giving way
  // to another browser's) and the browser opens another: what was saved
  // meanwhile is looked at again.
  var opened = false;
  events.addEventListener("open", function () {
    if (opened) refresh();
    opened = true;
  });
  events.addEventListener("page", function (e) {
    var img = document.querySelector("#current.drawing #page");
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
