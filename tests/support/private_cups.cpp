#include "support/private_cups.h"

#include "support/wait_until.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

extern char** environ;

namespace plotanix::testing {

namespace fs = std::filesystem;

namespace {

// Called without arguments it names its device; with a job it copies the
// file (or standard input) into the folder the device URI names, whole.
constexpr const char* backend = R"(#!/bin/sh
if [ $# -eq 0 ]; then echo 'file capture "Unknown" "A test queue"'; exit 0; fi
out=${DEVICE_URI#capture:}
if [ $# -ge 6 ]; then cat "$6" > "$out/job-$1.part"; else cat > "$out/job-$1.part"; fi
mv "$out/job-$1.part" "$out/job-$1.pdf"
)";

// A printer that fails every job: the backend says why, as a backend
// does, and exits with its failure status.
constexpr const char* failingBackend = R"(#!/bin/sh
if [ $# -eq 0 ]; then echo 'direct failing "Unknown" "A failing test queue"'; exit 0; fi
echo 'ERROR: The test printer is out of paper' >&2
exit 1
)";

// A printer that takes its time: three seconds before the job is taken,
// its start marked in the jobs folder.
constexpr const char* slowBackend = R"(#!/bin/sh
if [ $# -eq 0 ]; then echo 'direct slow "Unknown" "A slow test queue"'; exit 0; fi
touch "${DEVICE_URI#slow:}/job-$1.started"
sleep 3
if [ $# -ge 6 ]; then cat "$6" >/dev/null; else cat >/dev/null; fi
)";

bool answers(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// The scheduler and its administration tools are in /usr/sbin, which a
// user's PATH may leave out.
pid_t spawn(std::vector<std::string> command, const std::string& output) {
    if (fs::exists("/usr/sbin/" + command[0])) command[0] = "/usr/sbin/" + command[0];
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

} // namespace

PrivateCups::PrivateCups() {
    const fs::path root = dir_.path();
    for (const char* folder : {"bin/backend", "spool", "cache", "state", "tmp", "log", "jobs"})
        fs::create_directories(root / folder);
    for (const char* part : {"filter", "daemon", "cgi-bin", "notifier", "monitor", "driver"})
        fs::create_symlink(fs::path("/usr/lib/cups") / part, root / "bin" / part);
    writeFile(dir_.file("bin/backend/capture"), backend);
    writeFile(dir_.file("bin/backend/failing"), failingBackend);
    writeFile(dir_.file("bin/backend/slow"), slowBackend);

    // As root the scheduler runs as lp, which must reach its folders; the
    // backend stays root's alone, or the scheduler will not run it.
    const bool root_user = ::geteuid() == 0;
    const group* lp = ::getgrnam("lp");
    std::string user = "User lp\nGroup lp\nSystemGroup root\n";
    if (!root_user) {
        const group* own = ::getgrgid(::getegid());
        user = "SystemGroup " + std::string(own ? own->gr_name : "users") + "\n";
    }
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_symlink()) continue;
        fs::permissions(entry.path(), entry.is_directory() ? fs::perms(0775) : fs::perms(0664));
        if (root_user && lp != nullptr) ::chown(entry.path().c_str(), 0, lp->gr_gid);
    }
    fs::permissions(root, fs::perms(0755));
    fs::permissions(root / "jobs", fs::perms(0777));
    for (const char* name : {"capture", "failing", "slow"})
        fs::permissions(root / "bin/backend" / name, fs::perms(0700));
    fs::permissions(root / "bin/backend", fs::perms(0755));

    writeFile(dir_.file("cupsd.conf"), "Listen " + socket() +
                                           "\nLogLevel info\nDefaultPolicy default\n"
                                           "<Location />\nAllow all\n</Location>\n"
                                           "<Location /admin>\nAllow all\n</Location>\n"
                                           "<Policy default>\n<Limit All>\nAllow all\n"
                                           "</Limit>\n</Policy>\n");
    std::string files = user;
    for (const auto& [key, place] : {std::pair{"ServerRoot", ""},
                                     {"ServerBin", "/bin"},
                                     {"RequestRoot", "/spool"},
                                     {"CacheDir", "/cache"},
                                     {"StateDir", "/state"},
                                     {"TempDir", "/tmp"},
                                     {"AccessLog", "/log/access_log"},
                                     {"ErrorLog", "/log/error_log"},
                                     {"PageLog", "/log/page_log"}})
        files += std::string(key) + " " + root.string() + place + "\n";
    writeFile(dir_.file("cups-files.conf"), files);

    ::setenv("CUPS_SERVER", socket().c_str(), 1);
    pid_ = spawn({"cupsd", "-f", "-c", dir_.file("cupsd.conf"), "-s", dir_.file("cups-files.conf")},
                 dir_.file("log/cupsd.out"));
    if (pid_ < 0) {
        error_ = "cupsd cannot be started: is the cups-daemon package installed?";
        return;
    }
    const bool up =
        waitUntil([&] { return answers(socket()) || ::waitpid(pid_, nullptr, WNOHANG) == pid_; },
                  std::chrono::seconds(20));
    if (!up || !answers(socket())) {
        error_ = "cupsd did not start: " + readFile(dir_.file("log/cupsd.out")) +
                 readFile(dir_.file("log/error_log"));
        stop();
    }
}

PrivateCups::~PrivateCups() {
    stop();
}

void PrivateCups::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT); // a frozen scheduler takes its SIGTERM
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool PrivateCups::run(const std::vector<std::string>& command) {
    const std::string output = dir_.file("log/commands.out");
    const pid_t pid = spawn(command, output);
    int status = -1;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        error_ = command[0] + " failed: " + readFile(output);
        return false;
    }
    return true;
}

bool PrivateCups::addQueue(const std::string& name, bool a4, Printer printer) {
    const std::string device = printer == Printer::failing ? "failing:/"
                               : printer == Printer::slow  ? "slow:" + dir_.file("jobs")
                                                           : "capture:" + dir_.file("jobs");
    return run({"lpadmin", "-p", name, "-E", "-v", device, "-m", "raw", "-o",
                a4 ? "media-default=iso_a4_210x297mm" : "media-default=na_letter_8.5x11in"});
}

bool PrivateCups::setDefault(const std::string& name) {
    return run({"lpadmin", "-d", name});
}

bool PrivateCups::stopQueue(const std::string& name) {
    return run({"cupsdisable", name});
}

std::string PrivateCups::waitForJob(int job) const {
    const std::string path = dir_.file("jobs/job-" + std::to_string(job) + ".pdf");
    if (!waitUntil([&] { return fs::exists(path); }, std::chrono::seconds(20))) return {};
    return readFile(path);
}

bool PrivateCups::waitForStart(int job) const {
    const std::string path = dir_.file("jobs/job-" + std::to_string(job) + ".started");
    return waitUntil([&] { return fs::exists(path); }, std::chrono::seconds(20));
}

int PrivateCups::jobCount() const {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir_.path() / "jobs"))
        count += entry.path().extension() == ".pdf";
    return count;
}

void PrivateCups::freeze() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void PrivateCups::thaw() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

} // namespace plotanix::testing
