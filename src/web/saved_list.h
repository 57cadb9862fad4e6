#pragma once
// The saved pages in the folder, kept rather than scanned per request: the
// folder is read once, a slice at each turn, and then followed through
// inotify (and told of the program's own saves), so that a front page costs
// the pages it shows, not the folder's size.

#include "common/unique_fd.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace plotanix::web {

struct SavedPage {
    std::string name;                // PLOTTER_00001.PNG
    std::time_t time = 0;            // when it was written
    std::vector<std::string> copies; // PLOTTER_00001.SVG, ... beside it
};

// A page's files by its number: the page (.PNG) and its copies (.SVG, .PDF),
// a bit each, in a few bytes, so that a list of the whole folder is quick
// to make.
struct PageFiles {
    uint32_t number = 0;
    uint8_t kinds = 0;
    // Their names, the page first.
    std::vector<std::string> names() const;
};

class SavedList {
  public:
    // Entries read from the folder at one turn: a few milliseconds' work.
    static constexpr size_t sliceEntries = 2048;

    // Starts reading the folder (the descriptor stays the caller's).
    explicit SavedList(int folder);
    ~SavedList();
    SavedList(const SavedList&) = delete;
    SavedList& operator=(const SavedList&) = delete;

    // Readable when the folder changed; -1 when it is not followed (the
    // program's own saves are still told).
    int descriptor() const { return notices_.get(); }
    // The folder's first reading (or a new one, after missed changes) is
    // not done: the list is not whole and the caller turns again at once.
    bool reading() const { return scan_ != nullptr; }
    // One slice of the reading and the changes noticed since the last turn;
    // true when the list shown changed.
    bool service();
    // A file of the folder by its name, looked at now (a page just saved).
    void look(const std::string& name);

    size_t size() const { return order_.size(); }
    // `count` pages, newest first, after the `skip` newest.
    std::vector<SavedPage> newest(size_t skip, size_t count) const;
    // The page of this name, if listed.
    bool find(const std::string& name, SavedPage& page) const;
    // Every listed page's files, oldest first.
    std::vector<PageFiles> files() const;

  private:
    struct Files {
        timespec time{};   // the page's, for the order
        uint8_t kinds = 0; // which of the number's files are there
    };
    struct Key {
        timespec time;
        uint32_t number;
        bool operator<(const Key& other) const;
    };
    using Table = std::unordered_map<uint32_t, Files>;

    void startReading();
    bool readSlice();
    bool noticed();
    bool update(Table& table, bool ordered, const std::string& name);
    SavedPage pageOf(const Key& key) const;

    int folder_;
    UniqueFd notices_;
    struct Scan;
    std::unique_ptr<Scan> scan_; // while reading: the folder's entries and the table made of them
    Table table_;                // what is listed
    std::vector<Key> order_;     // the listed pages, oldest first
};

} // namespace plotanix::web
