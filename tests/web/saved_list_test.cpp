// The saved pages' list as it reads and follows a real folder, and the
// archive of every page as tar reads it.

#include "page_archive.h"
#include "saved_list.h"
#include "support/temp_dir.h"
#include "web/web_server.h"
#include "web_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace plotanix::testing {
namespace {

using web::SavedList;
namespace fs = std::filesystem;

std::string pageName(int number, const char* extension = ".PNG") {
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "PLOTTER_%05d%s", number, extension);
    return name.data();
}

struct Folder {
    TempDir dir;
    UniqueFd fd{::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    // Written as the program saves: whole under another name, then renamed.
    void save(const std::string& name, const std::string& bytes, int minutesAgo = 0) {
        writeFile(dir.file(".saving"), bytes);
        fs::last_write_time(dir.file(".saving"),
                            fs::file_time_type::clock::now() - std::chrono::minutes(minutesAgo));
        fs::rename(dir.file(".saving"), dir.file(name));
    }
};

std::string listed(const SavedList& list) {
    std::string text;
    for (const web::SavedPage& page : list.newest(0, 100)) {
        text += (text.empty() ? "" : " ") + page.name.substr(8, 5);
        for (const std::string& copy : page.copies)
            text += "+" + copy.substr(14);
    }
    return text;
}

// The archive as tar extracts it: the folder it makes, empty when tar fails.
fs::path extracted(const std::string& tar, const TempDir& out) {
    writeFile(out.file("pages.tar"), tar);
    const std::string command = "tar -xf " + out.file("pages.tar") + " -C " + out.path().string();
    return std::system(command.c_str()) == 0 ? out.path() / web::PageArchive::folderName
                                             : fs::path();
}

TEST(SavedList, ReadsALargeFolderInSlices) {
    Folder folder;
    const int pages = SavedList::sliceEntries + 100;
    for (int n = 1; n <= pages; ++n)
        writeFile(folder.dir.file(pageName(n)), "");
    SavedList list(folder.fd.get());
    int turns = 0;
    while (list.reading() && turns < 10) {
        EXPECT_EQ(list.size(), 0u) << "shown once read whole";
        list.service();
        ++turns;
    }
    EXPECT_EQ(turns, 2);
    EXPECT_EQ(list.size(), size_t(pages));
}

// Each change to the folder, by the program or anyone else, is in the list
// at the next turn; only page files count.
TEST(SavedList, FollowsTheFolder) {
    Folder folder;
    folder.save(pageName(1), "one", 30);
    SavedList list(folder.fd.get());
    list.service();
    ASSERT_FALSE(list.reading());
    const struct {
        const char* step;
        std::function<void()> act;
        const char* listed; // newest first; +SVG: its copies
    } steps[] = {
        {"read", [] {}, "00001"},
        {"a page saved", [&] { folder.save(pageName(2), "two", 10); }, "00002 00001"},
        {"its copy", [&] { folder.save(pageName(2, ".SVG"), "<svg/>", 10); }, "00002+SVG 00001"},
        {"an older page written", [&] { folder.save(pageName(3), "three", 60); },
         "00002+SVG 00001 00003"},
        {"touched", [&] { ::utimensat(folder.fd.get(), pageName(3).c_str(), nullptr, 0); },
         "00003 00002+SVG 00001"},
        {"a page removed, its copy left", [&] { fs::remove(folder.dir.file(pageName(2))); },
         "00003 00001"},
        {"moved away",
         [&] { fs::rename(folder.dir.file(pageName(1)), folder.dir.file("kept.PNG")); }, "00003"},
        {"not pages",
         [&] {
             writeFile(folder.dir.file("PLOTTER_00004.png"), "");
             fs::create_directory(folder.dir.file(pageName(5)));
             fs::create_symlink(folder.dir.file(pageName(3)), folder.dir.file(pageName(6)));
         },
         "00003"},
    };
    for (const auto& step : steps) {
        step.act();
        list.service();
        EXPECT_EQ(listed(list), step.listed) << step.step;
    }
    // The program's own save is seen at once, before the folder tells.
    writeFile(folder.dir.file(pageName(8)), "eight");
    list.look(pageName(8));
    EXPECT_EQ(listed(list), "00008 00003");
    const std::vector<web::PageFiles> files = list.files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].names(), std::vector<std::string>{pageName(3)});
    EXPECT_EQ(files[1].names(), std::vector<std::string>{pageName(8)});
}

// More changes than the kernel keeps word of: the folder is read again.
TEST(SavedList, ReadsAgainWhenChangesWereMissed) {
    std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
    int most = 0;
    if (!(limit >> most) || most > 100000) GTEST_SKIP() << "the kernel keeps too many changes";
    Folder folder;
    SavedList list(folder.fd.get());
    list.service();
    for (int n = 1; n <= most + 100; ++n)
        writeFile(folder.dir.file(pageName(n % 100000)), "");
    for (int turn = 0; turn < 1000 && (list.size() < size_t(most + 100) || list.reading()); ++turn)
        list.service();
    EXPECT_EQ(list.size(), size_t(most + 100));
}

// Read as tar reads it, in pieces no larger than asked for; a file gone
// before its turn is left out, one cut short is filled to its size.
TEST(PageArchive, IsWhatTarExtracts) {
    Folder folder;
    const struct {
        std::string name, bytes, extracted; // "-": not in the archive
    } files[] = {
        {pageName(1), std::string(1000, 'a'), std::string(1000, 'a')},
        {pageName(1, ".SVG"), "", ""},
        {pageName(2), std::string(512, 'b'), std::string(512, 'b')},
        {pageName(3), "gone", "-"},
        {pageName(4), std::string(3000, 'd'), std::string(10, 'd') + std::string(2990, '\0')},
    };
    for (const auto& file : files)
        writeFile(folder.dir.file(file.name), file.bytes);
    fs::remove(folder.dir.file(pageName(3)));
    web::PageArchive archive(folder.fd.get(), {{1, 3}, {2, 1}, {3, 1}, {4, 1}}); // 1: PNG, 2: SVG
    std::string tar;
    std::array<char, 700> piece{};
    bool cut = false;
    for (size_t n; (n = archive.read(piece.data(), piece.size())) > 0;) {
        ASSERT_LE(n, piece.size());
        tar.append(piece.data(), n);
        if (!cut && tar.find(pageName(4)) != std::string::npos) // its header given
            cut = (fs::resize_file(folder.dir.file(pageName(4)), 10), true);
    }
    EXPECT_EQ(tar.size() % 512, 0u);
    TempDir out;
    const fs::path folderOut = extracted(tar, out);
    ASSERT_FALSE(folderOut.empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(folderOut), {}), 4);
    for (const auto& file : files) {
        const fs::path path = folderOut / file.name;
        EXPECT_EQ(fs::exists(path) ? readFile(path.string()) : "-", file.extracted) << file.name;
    }
}

// Through the server: every listed page, and nothing written to the folder.
TEST(PageArchive, IsServedWhole) {
    Folder folder;
    std::string why;
    auto server = web::WebServer::start({"127.0.0.1", 0, {}, folder.dir.path().string()}, why);
    ASSERT_NE(server, nullptr) << why;
    for (int n = 1; n <= 3; ++n)
        folder.save(pageName(n), std::string(size_t(n) * 40000, char('0' + n)));
    const Answer answer = request(*server, "/pages.tar");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.header("content-disposition"), "attachment; filename=\"plotter-pages.tar\"");
    TempDir out;
    const fs::path folderOut = extracted(unchunked(answer.body), out);
    ASSERT_FALSE(folderOut.empty());
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(readFile((folderOut / pageName(n)).string()),
                  readFile(folder.dir.file(pageName(n))));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.dir.path()), {}), 3);
}

} // namespace
} // namespace plotanix::testing
