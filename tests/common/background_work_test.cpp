// The background work: results handed back on the loop's turn, lanes that
// never wait for each other, and the ending's one rule (queued, running and
// finished work at a signal).

#include "common/background_work.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

namespace plotanix {
namespace {

using Lane = BackgroundWork::Lane;

// Takes the loop's turns until want() holds or five seconds have passed.
bool turnUntil(BackgroundWork& work, const std::function<bool()>& want) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!want()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        pollfd fd{work.descriptor(), POLLIN, 0};
        if (::poll(&fd, 1, 100) > 0) work.service(Clock::now());
    }
    return true;
}

// A work that waits until released, so that it is under way at a moment
// the test chooses (began() returns once it is).
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::promise<void> begin;
    std::future<void> begun = begin.get_future();
    BackgroundWork::Work work(std::vector<std::string>& said, std::string name) {
        return [this, opened = opened, &said, name] {
            begin.set_value();
            opened.wait();
            return [&said, name] { said.push_back(name + " done"); };
        };
    }
    void began() { begun.wait(); }
};

BackgroundWork::Work quick(std::vector<std::string>& said, std::string name) {
    return [&said, name] { return [&said, name] { said.push_back(name + " done"); }; };
}

BackgroundWork::Undone undone(std::vector<std::string>& said, std::string name) {
    return [&said, name](bool running) {
        said.push_back(name + (running ? " abandoned" : " dropped"));
    };
}

TEST(BackgroundWork, HandsResultsBackOnTheLoopsTurnOnly) {
    BackgroundWork work;
    const auto loopThread = std::this_thread::get_id();
    std::thread::id handledOn;
    std::thread::id workedOn;
    bool handled = false;
    work.submit(Lane::pages, [&] {
        workedOn = std::this_thread::get_id();
        return [&] {
            handledOn = std::this_thread::get_id();
            handled = true;
        };
    });
    EXPECT_EQ(work.pending(Lane::pages), 1U);
    ASSERT_TRUE(turnUntil(work, [&] { return handled; }));
    EXPECT_NE(workedOn, loopThread) << "the work ran on the loop";
    EXPECT_EQ(handledOn, loopThread) << "the result was handled off the loop";
    EXPECT_TRUE(work.idle());
}

TEST(BackgroundWork, AHungPrintNeverDelaysAPageOrALookUp) {
    BackgroundWork work;
    std::vector<std::string> said;
    Gate hungServer;
    work.submit(Lane::prints, hungServer.work(said, "print"));
    work.submit(Lane::pages, quick(said, "page"));
    work.submit(Lane::lookups, quick(said, "look-up"));
    ASSERT_TRUE(turnUntil(work, [&] { return said.size() == 2; }))
        << "a page or a look-up waited behind a print";
    EXPECT_EQ(work.pending(Lane::prints), 1U);
    hungServer.open.set_value();
    ASSERT_TRUE(turnUntil(work, [&] { return work.idle(); }));
    EXPECT_EQ(said.back(), "print done");
}

TEST(BackgroundWork, EachLaneKeepsItsOrder) {
    BackgroundWork work;
    std::vector<std::string> said;
    for (const char* name : {"1", "2", "3", "4"})
        work.submit(Lane::pages, quick(said, name));
    ASSERT_TRUE(turnUntil(work, [&] { return work.idle(); }));
    EXPECT_EQ(said, (std::vector<std::string>{"1 done", "2 done", "3 done", "4 done"}));
}

// At a signal: page writes and prints go on, look-ups and overlays queued
// are dropped at once and said; what is left when the budget is spent is
// abandoned and said.
TEST(BackgroundWork, TheEndingsRule) {
    BackgroundWork work;
    std::vector<std::string> said;
    Gate hungServer, hungResolver, slowDisk;
    work.submit(Lane::prints, quick(said, "print 1"), undone(said, "print 1"));
    ASSERT_TRUE(turnUntil(work, [&] { return work.pending(Lane::prints) == 0; }));
    work.submit(Lane::prints, hungServer.work(said, "print 2"), undone(said, "print 2"));
    work.submit(Lane::prints, quick(said, "print 3"), undone(said, "print 3"));
    work.submit(Lane::lookups, hungResolver.work(said, "look-up 1"), undone(said, "look-up 1"));
    work.submit(Lane::lookups, quick(said, "look-up 2"), undone(said, "look-up 2"));
    work.submit(Lane::pages, slowDisk.work(said, "page 1"), undone(said, "page 1"));
    work.submit(Lane::pages, quick(said, "page 2"), undone(said, "page 2"));
    for (Gate* gate : {&hungServer, &hungResolver, &slowDisk})
        gate->began();
    said.clear();

    work.endWork();
    EXPECT_EQ(said, (std::vector<std::string>{"look-up 2 dropped"}));
    work.submit(Lane::overlays, quick(said, "overlay"), undone(said, "overlay"));
    EXPECT_EQ(said.back(), "overlay dropped") << "new work was taken during the ending";
    said.clear();

    slowDisk.open.set_value();
    ASSERT_TRUE(turnUntil(work, [&] { return work.pending(Lane::pages) == 0; }))
        << "a page queued at the signal was not written";
    EXPECT_EQ(said, (std::vector<std::string>{"page 1 done", "page 2 done"}));
    said.clear();

    work.abandon();
    EXPECT_EQ(said, (std::vector<std::string>{"print 2 abandoned", "print 3 dropped",
                                              "look-up 1 abandoned"}));
    EXPECT_TRUE(work.idle());
    said.clear();
    work.submit(Lane::pages, quick(said, "late page"), undone(said, "late page"));
    EXPECT_EQ(said, (std::vector<std::string>{"late page dropped"}));
    // The abandoned workers end alone; their results go nowhere.
    hungServer.open.set_value();
    hungResolver.open.set_value();
}

TEST(BackgroundWork, DestroyedWithWorkUnderWayNeitherWaitsNorTells) {
    std::vector<std::string> said;
    Gate never;
    {
        BackgroundWork work;
        work.submit(Lane::prints, never.work(said, "print"), undone(said, "print"));
        work.submit(Lane::prints, quick(said, "queued"), undone(said, "queued"));
        never.began();
    }
    EXPECT_TRUE(said.empty());
    never.open.set_value();
}

} // namespace
} // namespace plotanix
