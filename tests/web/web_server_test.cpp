// The web view's server in process, on loopback: its routes, the files it
// will and will not serve, who may ask, how many at once, and the live
// channel's messages.

#include "live_channel.h"
#include "output/png_writer.h"
#include "page/page_image.h"
#include "routes.h"
#include "support/png_file.h"
#include "support/temp_dir.h"
#include "web/web_rules.h"
#include "web/web_server.h"
#include "web_client.h"
#include "web_pages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace plotanix::testing {
namespace {

using web::WebServer;
using namespace std::chrono_literals;

struct Served {
    TempDir folder;
    std::unique_ptr<PageImage> page = createPageImage(800, 600, 24, 0xFFFFFF);
    std::unique_ptr<WebServer> server;

    explicit Served(std::string token = {}) {
        std::string why;
        server = WebServer::start({"127.0.0.1", 0, std::move(token), folder.path().string()}, why);
        EXPECT_NE(server, nullptr) << why;
        server->showPage([this] { return page.get(); });
    }
    Answer get(const std::string& target, const std::string& headers = "") {
        return request(*server, target, headers);
    }
};

DecodedPng decodePng(const std::string& bytes) {
    TempDir scratch;
    writeFile(scratch.file("page.png"), bytes);
    return readPng(scratch.file("page.png"));
}

bool hasEvent(const std::string& stream, const std::string& event) {
    return stream.find(event) != std::string::npos;
}

TEST(WebServer, RoutesAnswerWithTheirStatusAndType) {
    Served s;
    ASSERT_TRUE(savePng(*s.page, s.folder.file("PLOTTER_00001.PNG")));
    writeFile(s.folder.file("PLOTTER.TXT"), "SP1;PA100,100;");
    const struct {
        const char* method;
        const char* target;
        int status;
        const char* type; // the start of Content-Type
    } cases[] = {
        {"GET", "/", 200, "text/html"},
        {"GET", "/?anything=1", 200, "text/html"},
        {"HEAD", "/", 200, "text/html"},
        {"GET", "/style.css", 200, "text/css"},
        {"GET", "/live.js", 200, "text/javascript"},
        {"GET", "/page.png", 200, "image/png"},
        {"GET", "/page.png?v=7", 200, "image/png"},
        {"GET", "/files/PLOTTER_00001.PNG", 200, "image/png"},
        {"GET", "/files/PLOTTER.TXT", 200, "text/plain"},
        {"GET", "/pages.tar", 200, "application/x-tar"},
        {"GET", "/nothing", 404, "text/plain"},
        {"GET", "/files/", 404, "text/plain"},
        {"POST", "/", 405, "text/plain"},
        {"PUT", "/files/PLOTTER_00009.PNG", 405, "text/plain"},
        {"DELETE", "/files/PLOTTER_00001.PNG", 405, "text/plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        const Answer answer = request(*s.server, c.target, "", c.method);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_TRUE(answer.header("content-type").starts_with(c.type))
            << answer.header("content-type");
        EXPECT_EQ(answer.header("content-security-policy"), "default-src 'self'");
        EXPECT_EQ(answer.header("x-content-type-options"), "nosniff");
    }
    EXPECT_EQ(s.get("/files/PLOTTER.TXT").body, "SP1;PA100,100;");
    EXPECT_EQ(readFile(s.folder.file("PLOTTER_00001.PNG")), s.get("/files/PLOTTER_00001.PNG").body);
    // Nothing a request did wrote a file.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(s.folder.path()), {}), 2);
}

// A browser's connection serves request after request; a body is refused.
TEST(WebServer, ConnectionsAreKeptAndBodiesRefused) {
    Served s;
    const std::string last =
        "GET /live.js HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    UniqueFd client =
        sentFrom(s.server->port(), "GET /style.css HTTP/1.1\r\nHost: localhost\r\n\r\n");
    std::string got;
    ASSERT_TRUE(pump(*s.server, client.get(), got,
                     [](const std::string& g) { return g.find("h1 {") != std::string::npos; }));
    EXPECT_EQ(got.find("Connection: close"), std::string::npos) << got;
    ASSERT_EQ(::send(client.get(), last.data(), last.size(), MSG_NOSIGNAL), ssize_t(last.size()));
    EXPECT_NE(drained(*s.server, client.get()).find("EventSource"), std::string::npos)
        << "the second answer on the same connection";
    const Answer withBody = exchangeRaw(*s.server, "GET / HTTP/1.1\r\nHost: localhost\r\n"
                                                   "Content-Length: 5\r\n\r\nhello");
    EXPECT_TRUE(withBody.status == 400 || withBody.status == 0) << withBody.status; // or closed
    const Answer posted = exchangeRaw(*s.server, "POST / HTTP/1.1\r\nHost: localhost\r\n"
                                                 "Content-Length: 100000000\r\n\r\nstart");
    EXPECT_EQ(posted.status, 405);
    EXPECT_EQ(posted.header("allow"), "GET, HEAD");
}

// Saved pages newest first, each with its copies; the page drawn, and the
// script that follows the live channel (no inline script: the policy
// forbids it).
TEST(WebServer, FrontPageListsTheSavedPagesNewestFirst) {
    Served s;
    const auto at = std::filesystem::file_time_type::clock::now();
    for (int n = 1; n <= 3; ++n) {
        const std::string name = s.folder.file("PLOTTER_0000" + std::to_string(n) + ".PNG");
        ASSERT_TRUE(savePng(*s.page, name));
        std::filesystem::last_write_time(name, at - std::chrono::hours(3 - n));
    }
    writeFile(s.folder.file("PLOTTER_00002.SVG"), "<svg/>");
    writeFile(s.folder.file("PLOTTER_00002.PDF"), "%PDF");
    writeFile(s.folder.file("notes.PNG"), "not a page");
    const std::string html = s.get("/").body;
    const size_t third = html.find("src=\"/files/PLOTTER_00003.PNG\"");
    const size_t second = html.find("src=\"/files/PLOTTER_00002.PNG\"");
    const size_t first = html.find("src=\"/files/PLOTTER_00001.PNG\"");
    ASSERT_NE(first, std::string::npos) << html;
    EXPECT_LT(third, second);
    EXPECT_LT(second, first);
    EXPECT_NE(html.find("href=\"/files/PLOTTER_00002.SVG\">SVG</a>"), std::string::npos);
    EXPECT_NE(html.find("href=\"/files/PLOTTER_00002.PDF\">PDF</a>"), std::string::npos);
    EXPECT_EQ(html.find("PLOTTER_00001.SVG"), std::string::npos);
    EXPECT_EQ(html.find("notes.PNG"), std::string::npos);
    EXPECT_NE(html.find("<script src=\"/live.js\""), std::string::npos);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_EQ(html.find("style=\""), std::string::npos);
}

// The page on the plotter while it has drawing not saved, otherwise the
// page saved last, each under its own heading.
TEST(WebServer, NowDrawingIsToldFromLastSaved) {
    Served s;
    const std::string live = "<h2>Now drawing</h2><img id=\"page\" src=\"/page.png?v=";
    const std::string saved = "<h2>Last saved</h2><a href=\"/files/PLOTTER_00001.PNG\"><img "
                              "id=\"page\" src=\"/files/PLOTTER_00001.PNG\"";
    const std::string none = "<h2>Now drawing</h2><p>No page yet.</p>";
    const struct {
        const char* step;
        std::function<void()> act;
        const std::string& shown;
    } steps[] = {
        {"a blank page, nothing saved", [] {}, live},
        {"saved",
         [&] {
             savePng(*s.page, s.folder.file("PLOTTER_00001.PNG"));
             s.server->pageSaved("PLOTTER_00001.PNG");
         },
         saved},
        {"drawn on again", [&] { s.server->pageChanged(); }, live},
        {"saved again", [&] { s.server->pageSaved("PLOTTER_00001.PNG"); }, saved},
        {"no page, one saved", [&] { s.server->showPage(nullptr); }, saved},
        {"no page, none saved",
         [&] { std::filesystem::remove(s.folder.file("PLOTTER_00001.PNG")); }, none},
    };
    for (const auto& step : steps) {
        step.act();
        const std::string html = s.get("/").body;
        EXPECT_NE(html.find(step.shown), std::string::npos) << step.step << "\n" << html;
    }
    EXPECT_EQ(s.get("/page.png").status, 404);
}

// The newest pages first, the older ones a link away.
TEST(WebServer, OlderPagesAreALinkAway) {
    Served s;
    const auto at = std::filesystem::file_time_type::clock::now();
    const size_t count = 2 * web::pagesShown + 10;
    for (size_t n = 1; n <= count; ++n) {
        std::array<char, 32> page{};
        std::snprintf(page.data(), page.size(), "PLOTTER_%05zu.PNG", n);
        const std::string name = s.folder.file(page.data());
        writeFile(name, "page");
        std::filesystem::last_write_time(name, at - std::chrono::minutes(count - n));
    }
    const auto newer = [](int from) {
        return "<a href=\"/?from=" + std::to_string(from) + "\">Newer pages</a> ";
    };
    const auto older = [](int from) {
        return "<a href=\"/?from=" + std::to_string(from) + "\">Older pages</a>";
    };
    const struct {
        std::string target;
        size_t listed;      // the panel's page and the list's
        const char* newest; // the list's first
        std::string links;
    } cases[] = {
        {"/", 101, "PLOTTER_00210", older(100)},
        {"/?from=100", 101, "PLOTTER_00110", newer(0) + older(200)},
        {"/?from=200", 11, "PLOTTER_00010", newer(100)},
        {"/?from=99999", 11, "PLOTTER_00010", newer(100)},
        {"/?from=x", 101, "PLOTTER_00210", older(100)},
    };
    for (const auto& c : cases) {
        const std::string html = s.get(c.target).body;
        std::vector<std::string> names;
        for (size_t at = html.find("alt=\"PLOTTER_"); at != std::string::npos;
             at = html.find("alt=\"PLOTTER_", at + 1))
            names.push_back(html.substr(at + 5, 13));
        EXPECT_EQ(names.size(), c.listed) << c.target;
        EXPECT_EQ(names.size() > 1 ? names[1] : "", c.newest) << c.target;
        const size_t nav = html.find("<nav>") + 5;
        EXPECT_EQ(html.substr(nav, html.find("</nav>") - nav), c.links) << c.target;
    }
}

TEST(WebServer, StateIsShownEscaped) {
    Served s;
    s.server->setStatus({"Plotting", 12, 3, "/dev/ttyUSB0 <at> 9600", false, {"adapter & bus"}});
    const std::string html = s.get("/").body;
    EXPECT_NE(html.find(">Plotting: 12 instructions, 3 ignored<"), std::string::npos) << html;
    EXPECT_NE(html.find("/dev/ttyUSB0 &lt;at&gt; 9600"), std::string::npos);
    EXPECT_NE(html.find("adapter &amp; bus"), std::string::npos);
    s.server->setStatus({"Plotting", 12, 3, "", true, {}});
    EXPECT_NE(s.get("/").body.find("class=\"lost\">The line is lost"), std::string::npos);
}

// Encoded when asked for and kept until the page changes.
TEST(WebServer, PageImageIsThePageAsItStands) {
    Served s;
    const DecodedPng before = decodePng(s.get("/page.png").body);
    ASSERT_EQ(before.width, 800);
    EXPECT_EQ(before.rgb, decodePng(s.get("/page.png").body).rgb);
    s.page->row(10)[3 * 20] = 0; // blue off at (20, 10)
    EXPECT_EQ(decodePng(s.get("/page.png").body).rgb, before.rgb) << "kept until told";
    s.server->pageChanged();
    const DecodedPng after = decodePng(s.get("/page.png").body);
    EXPECT_NE(after.rgb, before.rgb);
    EXPECT_EQ(after.rgb[(10 * 800 + 20) * 3 + 2], 0);
}

// The page replaced under the server (a new plot's page, the old one
// freed): a request reads the page there is then, a snapshot of it stays
// until the server is told of a change, and no page means none shown.
TEST(WebServer, PageReplacedUnderTheServer) {
    Served s;
    const auto shown = [&] {
        const Answer answer = s.get("/page.png");
        return answer.status == 200 ? int64_t(decodePng(answer.body).pixel(5, 5)) : -answer.status;
    };
    const struct {
        const char* step;
        std::function<void()> act;
        int64_t colour; // -status when not a page
    } steps[] = {
        {"replaced before any request", [&] { s.page = createPageImage(800, 600, 24, 0); }, 0},
        {"replaced, not told", [&] { s.page = createPageImage(800, 600, 24, 0x808080); }, 0},
        {"told", [&] { s.server->pageChanged(); }, 0x808080},
        {"gone, told", [&] { s.page.reset(), s.server->pageChanged(); }, -404},
        {"back, shown",
         [&] {
             s.page = createPageImage(800, 600, 24, 0xFFFFFF);
             s.server->showPage([&] { return s.page.get(); });
         },
         0xFFFFFF},
    };
    for (const auto& step : steps) {
        step.act();
        EXPECT_EQ(shown(), step.colour) << step.step;
    }
}

// Copied when a request needs the page, only when it changed since the
// last copy, and whole after the page it came from is gone.
TEST(PageSnapshots, CopiedOnDemandOnlyWhenChanged) {
    auto page = createPageImage(8, 4, 24, 0xFFFFFF);
    int asked = 0;
    web::PageSnapshots snapshots;
    EXPECT_EQ(snapshots.now().pixels, nullptr) << "nothing shown";
    snapshots.show([&] { return ++asked, page.get(); });
    for (int i = 0; i < 100; ++i)
        snapshots.changed();
    EXPECT_EQ(asked, 0) << "changes alone copy nothing";
    const web::PageSnapshot first = snapshots.now();
    EXPECT_EQ(snapshots.now().pixels, first.pixels) << "unchanged: the same copy";
    EXPECT_EQ(asked, 1);
    page = createPageImage(8, 4, 24, 0);
    snapshots.changed();
    const web::PageSnapshot second = snapshots.now();
    EXPECT_EQ(asked, 2);
    EXPECT_GT(second.version, first.version);
    EXPECT_EQ(first.pixels->pixel(1, 1), 0xFFFFFFu) << "the old copy stays whole";
    EXPECT_EQ(second.pixels->pixel(1, 1), 0u);
}

// Only the page folder's own files by their names: no path, no encoded
// slash, no link, nothing outside.
TEST(WebServer, ServesSavedFilesByNameOnly) {
    Served s;
    TempDir outside;
    writeFile(outside.file("secret.PNG"), "secret");
    writeFile(s.folder.file("PLOTTER_00001.PNG"), "page one");
    ASSERT_EQ(
        ::symlink(outside.file("secret.PNG").c_str(), s.folder.file("PLOTTER_00002.PNG").c_str()),
        0);
    ASSERT_EQ(::symlink("/etc/passwd", s.folder.file("PLOTTER_00003.PDF").c_str()), 0);
    std::filesystem::create_directory(s.folder.file("PLOTTER_00004.PNG"));
    ASSERT_EQ(::mkfifo(s.folder.file("PLOTTER_00005.PNG").c_str(), 0600), 0);
    writeFile(s.folder.file("PLOTTER_00006.png"), "lower case");
    writeFile(s.folder.file("other.txt"), "not served");
    const std::string up = std::filesystem::relative(outside.path(), s.folder.path()).string();
    const struct {
        std::string target;
        int status;
    } cases[] = {
        {"/files/PLOTTER_00001.PNG", 200},
        {"/files/PLOTTER_00002.PNG", 404}, // a link out of the folder
        {"/files/PLOTTER_00003.PDF", 404}, // a link to a system file
        {"/files/PLOTTER_00004.PNG", 404}, // a folder
        {"/files/PLOTTER_00005.PNG", 404}, // a pipe: never waited on
        {"/files/PLOTTER_00006.png", 404},
        {"/files/PLOTTER_00007.PNG", 404}, // not there
        {"/files/other.txt", 404},
        {"/files/PLOTTER_00001.PNG/", 404},
        {"/files//PLOTTER_00001.PNG", 404},
        {"/files/./PLOTTER_00001.PNG", 404},
        {"/files/../" + s.folder.path().filename().string() + "/PLOTTER_00001.PNG", 404},
        {"/files/" + up + "/secret.PNG", 404},
        {"/files/..%2f" + outside.path().filename().string() + "%2fsecret.PNG", 404},
        {"/files/%2e%2e/%2e%2e/etc/passwd", 404},
        {"/files/%2E%2E%2F%2E%2E%2Fetc%2Fpasswd", 404},
        {"/files/PLOTTER_00001.PNG%00.txt", 200}, // cut at the NUL: the page itself
        {"/files/..", 404},
        {"/etc/passwd", 404},
        {"/../../etc/passwd", 404},
        {"/%2e%2e/%2e%2e/etc/passwd", 404},
        {"/files/%2fetc%2fpasswd", 404},
        {"/files/\\..\\..\\etc\\passwd", 404},
    };
    for (const auto& c : cases) {
        const Answer answer = s.get(c.target);
        EXPECT_EQ(answer.status, c.status) << c.target;
        if (c.status == 404) {
            EXPECT_EQ(answer.body, "Not found.\n") << c.target;
        }
    }
}

TEST(WebServer, HostMustNameTheAddressOrThisMachine) {
    Served s;
    const std::string port = std::to_string(s.server->port());
    std::array<char, 256> machine{};
    ASSERT_EQ(::gethostname(machine.data(), machine.size() - 1), 0);
    const struct {
        std::string host;
        int status;
    } cases[] = {
        {"127.0.0.1:" + port, 200},
        {"127.0.0.1", 200},
        {"localhost:" + port, 200},
        {"LocalHost", 200},
        {std::string(machine.data()) + ":" + port, 200},
        {"evil.example", 421},
        {"evil.example:" + port, 421},
        {"127.0.0.1.evil.example", 421},
        {"localhost.evil.example:" + port, 421},
        {"127.0.0.2:" + port, 421}, // not the address the request came to
        {"127.0.0.1:1", 421},       // another port
        {"127.0.0.1:" + port + "x", 421},
        {"[::1]:" + port, 421},
        {"", 421},
    };
    for (const auto& c : cases) {
        const Answer answer = exchangeRaw(*s.server, "GET / HTTP/1.1\r\nHost: " + c.host +
                                                         "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(answer.status, c.status) << c.host;
    }
    // HTTP/1.0 may leave the Host out; the server does not guess.
    EXPECT_EQ(exchangeRaw(*s.server, "GET / HTTP/1.0\r\n\r\n").status, 421);
}

TEST(WebServer, TokenIsGivenOnceThenKeptAsACookie) {
    const std::string token = "0123456789abcdef0123456789abcdef";
    Served s(token), other("another-view-token-0123");
    const std::string cookie = "plotanix_token_" + std::to_string(s.server->port()) + "=";
    const Answer given = s.get("/?token=" + token);
    EXPECT_EQ(given.status, 303);
    EXPECT_EQ(given.header("location"), "/");
    EXPECT_EQ(given.header("set-cookie"), cookie + token + "; Path=/; HttpOnly; SameSite=Strict");
    // Both views' cookies in one browser: each view finds its own.
    const std::string both = "Cookie: " + web::cookieName(other.server->port()) +
                             "=another-view-token-0123; " + cookie + token + "\r\n";
    const struct {
        std::string target;
        std::string headers;
        int status;
    } cases[] = {
        {"/", "", 403},
        {"/page.png", "", 403},
        {"/events", "", 403},
        {"/files/PLOTTER.TXT", "", 403},
        {"/?token=" + token.substr(1), "", 403},
        {"/?token=", "", 403},
        {"/?token=" + token + "0", "", 403},
        {"/", "Cookie: " + cookie + token + "\r\n", 200},
        {"/page.png", "Cookie: theme=dark; " + cookie + token + "\r\n", 200},
        {"/", both, 200},
        {"/", "Cookie: " + cookie + token.substr(0, 31) + "0\r\n", 403},
        {"/", "Cookie: " + cookie + "\r\n", 403},
        {"/", "Cookie: other_token=" + token + "\r\n", 403},
        {"/", "Cookie: plotanix_token=" + token + "\r\n", 403}, // not this port's
        {"/nothing", "Cookie: " + cookie + token + "\r\n", 404},
    };
    for (const auto& c : cases)
        EXPECT_EQ(s.get(c.target, c.headers).status, c.status) << c.target << " " << c.headers;
    EXPECT_EQ(other.get("/", both).status, 200);
    // The token is never in a page or an error.
    EXPECT_EQ(s.get("/").body.find(token), std::string::npos);
    EXPECT_EQ(s.get("/", "Cookie: " + cookie + token + "\r\n").body.find(token), std::string::npos);
}

TEST(WebServer, OversizedRequestsAreRefused) {
    Served s;
    const Answer longUrl = s.get("/" + std::string(40000, 'a'));
    EXPECT_TRUE(longUrl.status == 414 || longUrl.status == 0) << longUrl.status;
    const Answer hugeHeader = s.get("/", "X-Filler: " + std::string(40000, 'b') + "\r\n");
    EXPECT_TRUE(hugeHeader.status == 431 || hugeHeader.status == 0) << hugeHeader.status;
    EXPECT_EQ(s.get("/").status, 200) << "still serving";
}

// A request under way keeps its place; one whose header has not come (a
// trickle, or nothing) gives its place up to a newcomer, and no address
// holds more than its share.
TEST(WebServer, PlacesGoToThoseWhoAsk) {
    Served s;
    const uint16_t port = s.server->port();
    std::vector<UniqueFd> slow;
    for (unsigned i = 0; i < WebServer::maxConnections; ++i) {
        slow.push_back(sentFrom(port, "GET / HTTP/1.1\r\nHo"));
        ASSERT_TRUE(pumpUntilConnections(*s.server, std::min(i + 1, WebServer::maxPerAddress)));
    }
    EXPECT_TRUE(closedUnanswered(*s.server, slow.front().get())) << "past its address's share";
    const std::string ask =
        "GET /style.css HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    for (const char* from : {"127.0.0.2", "127.0.0.1"}) {
        UniqueFd browser = sentFrom(port, ask, from);
        EXPECT_EQ(parseAnswer(drained(*s.server, browser.get())).status, 200) << from;
    }
}

// Sixteen live channels, twelve from one address and four from another:
// the oldest give way (their browsers asked to come back later), no more
// than their share stay, and a page request is still answered, from
// either address.
TEST(WebServer, LiveChannelsLeavePlacesForPages) {
    Served s;
    const uint16_t port = s.server->port();
    const std::string live = "GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n";
    std::vector<UniqueFd> watching;
    std::vector<std::string> got(16);
    for (size_t i = 0; i < got.size(); ++i) {
        watching.push_back(sentFrom(port, live, i < 12 ? "127.0.0.2" : "127.0.0.3"));
        ASSERT_TRUE(pump(*s.server, watching.back().get(), got[i],
                         [](const std::string& g) { return hasEvent(g, "event: state"); }));
    }
    // Four of the first address over its share, then two more over the total.
    const std::string farewell = "retry: 15000\n\n";
    for (size_t i = 0; i < got.size(); ++i) {
        const bool ends = i < 6;
        const auto ended = [&](const std::string& g) { return g.ends_with("\r\n0\r\n\r\n"); };
        pump(*s.server, watching[i].get(), got[i], ended, ends ? 5s : 100ms);
        EXPECT_EQ(ended(got[i]), ends) << "channel " << i << ":\n" << got[i];
        EXPECT_EQ(hasEvent(got[i], farewell), ends) << "channel " << i;
    }
    const std::string ask = "GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.1"}) {
        UniqueFd browser = sentFrom(port, ask, from);
        EXPECT_EQ(parseAnswer(drained(*s.server, browser.get())).status, 200) << from;
    }
}

// Each channel ends after its lifetime, by the server's clock (the page's
// script opens another), and a new one is told the state at once.
TEST(WebServer, LiveChannelsEndAfterTheirLifetime) {
    Served s;
    const std::string live = "GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n";
    UniqueFd browser = sentFrom(s.server->port(), live);
    std::string got;
    ASSERT_TRUE(pump(*s.server, browser.get(), got,
                     [](const std::string& g) { return hasEvent(g, "event: state"); }));
    const auto due = s.server->due();
    ASSERT_TRUE(due.has_value());
    EXPECT_LE(*due - Clock::now(), web::LiveChannel::lifetime);
    s.server->service(Clock::now() + web::LiveChannel::lifetime);
    EXPECT_TRUE(pump(*s.server, browser.get(), got, [](const std::string& g) {
        return g.ends_with("\r\n0\r\n\r\n");
    })) << got;
    EXPECT_FALSE(hasEvent(got, "retry:")) << "the browser's own delay";
    UniqueFd again = sentFrom(s.server->port(), live);
    std::string told;
    EXPECT_TRUE(pump(*s.server, again.get(), told,
                     [](const std::string& g) { return hasEvent(g, "event: state"); }));
}

// Which channels give way to a newcomer (the last), oldest first.
TEST(WebServer, ChannelsGivingWay) {
    const auto from = [](std::initializer_list<std::pair<size_t, const char*>> runs) {
        std::vector<std::string> addresses;
        for (const auto& [count, address] : runs)
            addresses.insert(addresses.end(), count, address);
        return addresses;
    };
    const struct {
        const char* what;
        std::vector<std::string> open;
        std::vector<size_t> ended;
    } cases[] = {
        {"room for all", from({{7, "a"}, {3, "b"}}), {}},
        {"one address over its share", from({{9, "a"}}), {0}},
        {"over the total", from({{6, "a"}, {5, "b"}}), {0}},
        {"another address's share is its own", from({{1, "b"}, {8, "a"}, {1, "b"}}), {}},
        {"the newcomer's address first, then all", from({{1, "b"}, {2, "c"}, {9, "a"}}), {0, 3}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(web::channelsToEnd(c.open), c.ended) << c.what;
}

// A header must be whole in time from the connection's opening or its
// first byte; a kept connection waiting for its next request is closed
// after a longer silence, by the server's own clock.
TEST(WebServer, HeadersHaveADeadline) {
    Served s;
    UniqueFd trickling = sentFrom(s.server->port(), "GET / HTTP/1.1\r\nHost: local");
    UniqueFd silent = connectTo(s.server->port());
    UniqueFd kept =
        sentFrom(s.server->port(), "GET /style.css HTTP/1.1\r\nHost: localhost\r\n\r\n");
    std::string got;
    ASSERT_TRUE(pump(*s.server, kept.get(), got,
                     [](const std::string& g) { return g.find("h1 {") != std::string::npos; }));
    const auto due = s.server->due();
    ASSERT_TRUE(due.has_value());
    EXPECT_LE(*due - Clock::now(), WebServer::headerDeadline);
    s.server->service(Clock::now() + WebServer::headerDeadline);
    EXPECT_TRUE(pumpUntilConnections(*s.server, 1)) << "the kept one stays";
    const auto idle = s.server->due();
    ASSERT_TRUE(idle.has_value());
    EXPECT_LE(*idle - Clock::now(), std::chrono::seconds(WebServer::idleSeconds));
    EXPECT_GT(*idle - Clock::now(), std::chrono::seconds(WebServer::idleSeconds - 5));
}

// Connections that come and go by the thousand, with nothing, half a
// request, a request or garbage: each is closed at once, none stays, and
// the server still answers.
TEST(WebServer, ManyConnectionsComeAndGo) {
    Served s;
    const std::string scraps[] = {"",
                                  "GET / HTTP/1.1\r\nHo",
                                  "\x16\x03\x01\x02\x7fgarbage",
                                  "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n",
                                  "\x16\x03\x01\x02\x7fgarbage\r\n\r\n",
                                  "GET /" + std::string(5000, '%') + " HTTP/1.1\r\n\r\n"};
    for (int i = 0; i < 2000; ++i) {
        UniqueFd client = connectTo(s.server->port());
        const std::string& scrap = scraps[i % std::size(scraps)];
        if (!scrap.empty()) ::send(client.get(), scrap.data(), scrap.size(), MSG_NOSIGNAL);
        if (i % 100 == 0) pumpUntilConnections(*s.server, 0);
    }
    EXPECT_TRUE(pumpUntilConnections(*s.server, 0));
    EXPECT_EQ(s.get("/").status, 200);
}

// The live channel: the state and the page at once, a change at the next
// pace (never more than four a second), a saved page at once, and nothing
// while nothing changes.
TEST(WebServer, LiveChannelTellsOfChangesAndSaves) {
    Served s;
    UniqueFd browser = sentFrom(s.server->port(), "GET /events HTTP/1.1\r\nHost: localhost\r\n"
                                                  "Accept: text/event-stream\r\n\r\n");
    std::string got;
    const auto toldOf = [&](std::initializer_list<const char*> events) {
        return pump(*s.server, browser.get(), got, [&](const std::string& g) {
            return std::all_of(events.begin(), events.end(),
                               [&](const char* event) { return hasEvent(g, event); });
        });
    };
    ASSERT_TRUE(
        toldOf({"event: state\ndata: Waiting for the computer\n\n", "event: page\ndata: 1\n\n"}))
        << got;
    const Answer head = parseAnswer(got);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("content-type"), "text/event-stream");
    EXPECT_FALSE(hasEvent(got, "event: saved")) << "nothing saved yet";

    got.clear();
    s.server->pageChanged();
    s.server->setStatus({"Plotting", 5, 0, "", false, {}});
    const auto asked = Clock::now(); // told after this, by the server's clock
    ASSERT_TRUE(toldOf({"event: page\ndata: 2\n\n",
                        "event: state\ndata: Plotting: 5 instructions, 0 ignored\n\n"}))
        << got;

    got.clear();
    s.server->pageChanged();
    const auto next = s.server->due();
    ASSERT_TRUE(next.has_value());
    EXPECT_GE(*next - asked, WebServer::livePace) << "paced";
    s.server->pageSaved("PLOTTER_00001.PNG");
    ASSERT_TRUE(toldOf({"event: saved\ndata: PLOTTER_00001.PNG\n\n"})) << got;
    EXPECT_FALSE(hasEvent(got, "event: page")) << "the change waits for its pace";
    ASSERT_TRUE(toldOf({"event: page\ndata: 3\n\n"})) << got;
    EXPECT_GE(Clock::now() - asked, WebServer::livePace);

    // Idle: nothing to read and no turn due before the keep-alive.
    const auto idle = s.server->due();
    ASSERT_TRUE(idle.has_value());
    EXPECT_GT(*idle - Clock::now(), WebServer::keepAlive - 2s);
}

TEST(WebServer, TokenFileRules) {
    TempDir folder;
    const struct {
        const char* contents;
        const char* token; // empty: refused
    } cases[] = {
        {"0123456789abcdef\n", "0123456789abcdef"},
        {"Lab-bench_2.token-long-enough \r\nsecond line\n", "Lab-bench_2.token-long-enough"},
        {"short\n", ""},
        {"has space inside it!!\n", ""},
        {"semi;colon0123456789\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        writeFile(folder.file("token"), c.contents);
        std::string why;
        EXPECT_EQ(WebServer::tokenFromFile(folder.file("token"), why), c.token) << c.contents;
        EXPECT_EQ(why.empty(), *c.token != '\0') << why;
    }
    std::string why;
    EXPECT_EQ(WebServer::tokenFromFile(folder.file("missing"), why), "");
    EXPECT_NE(why.find("cannot read the web token file"), std::string::npos) << why;
    const std::string made = WebServer::newToken();
    EXPECT_EQ(made.size(), 32u);
    EXPECT_TRUE(web::usableToken(made));
    EXPECT_NE(made, WebServer::newToken());
}

// A new token in a file only its owner may read, made whole or not at
// all, replacing what was there (a link itself, not what it names).
TEST(WebServer, TokenKeptInTheOwnersFile) {
    TempDir folder;
    const std::string path = folder.file("web-token");
    writeFile(folder.file("elsewhere"), "kept");
    ASSERT_EQ(::symlink(folder.file("elsewhere").c_str(), path.c_str()), 0);
    const std::string token = "0123456789abcdef";
    std::string why;
    ASSERT_TRUE(WebServer::writeTokenFile(path, token, {"http://192.168.1.10:8470/"}, why)) << why;
    EXPECT_EQ(readFile(path), token + "\nhttp://192.168.1.10:8470/?token=" + token + "\n");
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(folder.file("elsewhere")), "kept");
    EXPECT_EQ(WebServer::tokenFromFile(path, why), token) << "usable as --web-token-file";
    EXPECT_FALSE(WebServer::writeTokenFile(folder.file("none/web-token"), token, {}, why));
    EXPECT_TRUE(why.starts_with("cannot write the web token file ")) << why;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 2);
}

// For every network, the machine's own addresses: never the wildcard, and
// no loopback address another machine cannot use.
TEST(WebServer, AddressesForEveryNetworkAreTheMachines) {
    TempDir folder;
    std::string why;
    const auto server = WebServer::start({"0.0.0.0", 0, {}, folder.path().string()}, why);
    ASSERT_NE(server, nullptr) << why;
    const std::vector<std::string> addresses = server->addresses();
    ASSERT_FALSE(addresses.empty());
    for (const std::string& address : addresses) {
        EXPECT_EQ(address.find("0.0.0.0"), std::string::npos) << address;
        EXPECT_EQ(address.find("//127."), std::string::npos) << address;
        EXPECT_TRUE(address.ends_with(":" + std::to_string(server->port()) + "/")) << address;
    }
}

TEST(WebServer, StartFailsClearly) {
    TempDir folder;
    std::string why;
    const auto first = WebServer::start({"127.0.0.1", 0, {}, folder.path().string()}, why);
    ASSERT_NE(first, nullptr) << why;
    EXPECT_EQ(WebServer::start({"127.0.0.1", first->port(), {}, folder.path().string()}, why),
              nullptr);
    EXPECT_EQ(why, "cannot listen at 127.0.0.1:" + std::to_string(first->port()) +
                       ": Address already in use");
    EXPECT_EQ(WebServer::start({"127.0.0.1", 0, {}, folder.file("missing")}, why), nullptr);
    EXPECT_TRUE(why.starts_with("cannot open the folder ")) << why;
    EXPECT_EQ(first->url(), "http://127.0.0.1:" + std::to_string(first->port()) + "/");
    EXPECT_EQ(first->addresses(), std::vector<std::string>{first->url()});
}

TEST(WebRules, LoopbackAddresses) {
    const struct {
        const char* address;
        bool loopback;
    } cases[] = {
        {"127.0.0.1", true},        {"127.1.2.3", true},  {"::1", true},
        {"::ffff:127.0.0.1", true}, {"0.0.0.0", false},   {"::", false},
        {"192.168.1.10", false},    {"128.0.0.1", false}, {"localhost", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(web::isLoopback(c.address), c.loopback) << c.address;
}

// What the server cannot be asked over IPv4 loopback alone.
TEST(WebRules, HostsOfOtherAddresses) {
    const struct {
        const char* host;
        const char* local;
        bool allowed;
    } cases[] = {
        {"[::1]:8470", "::1", true},
        {"[::1]", "::1", true},
        {"::1", "::1", false}, // unbracketed
        {"[fe80::1]:8470", "::1", false},
        {"192.168.1.10:8470", "::ffff:192.168.1.10", true},
        {"192.168.1.10:8470", "192.168.1.10", true},
        {"192.168.1.11:8470", "192.168.1.10", false},
        {"benchpi:8470", "192.168.1.10", true},
        {"BENCHPI", "192.168.1.10", true},
        {"benchpi.evil.example", "192.168.1.10", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(web::hostAllowed(c.host, c.local, 8470, "benchpi"), c.allowed) << c.host;
}

} // namespace
} // namespace plotanix::testing
