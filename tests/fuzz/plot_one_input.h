#pragma once
// The whole in-process path for one input, with its oracle: the input is
// plotted as one run and again split into runs where the input says (the
// line falling silent there), each through a session's model, page and
// transcript kept in memory. The page depends on the bytes, never on their
// timing, so the two must agree: the same pixels, records, replies and
// counts, and the same pages taken where pages end; and each transcript
// holds every byte of the input besides the records. Shared by the fuzzer
// and by the replay of the inputs it once failed on.
//
// Pages end as the programs end them: taken at each page end (the
// renderer's way, one file a page), or with nobody taking them (the live
// program's, a printer printing its next page on below the last).

#include "support/in_process_plot.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix::testing {

// The models, in the order of PlotterModel; the fuzzer's first byte picks one.
inline constexpr PlotterModel fuzzedModels[] = {PlotterModel::hp86b, PlotterModel::hp7470a,
                                                PlotterModel::hpgl2, PlotterModel::pcl,
                                                PlotterModel::escp};
inline constexpr const char* fuzzedModelNames[] = {"hp86b", "7470a", "hpgl2", "pcl", "escp"};

// A page's size and pixels in a number, for comparing the pages taken at
// page ends without keeping them: the bytes of each row within the
// picture, eight at a time in four lanes, so that no multiplication waits
// on the last (a row not drawn on reads as paper, as samePixels takes it).
inline uint64_t pageDigest(const PageImage& page) {
    constexpr uint64_t k = 0xFF51AFD7ED558CCDu;
    uint64_t lanes[4] = {0x9E3779B97F4A7C15u ^ uint64_t(uint16_t(page.width)),
                         uint64_t(uint16_t(page.height)), uint64_t(page.depth), 0};
    const int bits = page.width * page.depth;
    const auto whole = static_cast<size_t>(bits / 8);
    for (int y = 0; y < page.height; ++y) {
        const uint8_t* row = page.row(y);
        size_t at = 0;
        for (; at + 32 <= whole; at += 32) {
            for (int lane = 0; lane < 4; ++lane) {
                uint64_t word;
                std::memcpy(&word, row + at + 8 * lane, 8);
                lanes[lane] = (lanes[lane] ^ word) * k;
            }
        }
        uint64_t rest = 0;
        for (; at < whole; ++at)
            rest = (rest << 8 | row[at]) * 31;
        if (bits % 8 != 0) rest = rest << 8 | (row[whole] & (0xFF00u >> (bits % 8)));
        lanes[0] = (lanes[0] ^ rest) * k;
    }
    uint64_t h = 0;
    for (uint64_t lane : lanes)
        h = (h ^ lane ^ (lane >> 31)) * k;
    return h;
}

// What one plotting of an input left, besides its page.
struct Plotted {
    std::vector<std::string> records; // in the order the model wrote them
    std::vector<uint64_t> pages;      // those taken at page ends, as digests
    std::string replies;
    RunResult counts;
    bool everyByteKept = false; // the transcript is the input plus the records
};

// A session kept for the whole fuzzing run, the model started afresh (and
// the page blanked) for each input: a new page image costs more than most
// inputs' plotting.
class OracleSide {
  public:
    explicit OracleSide(PlotterModel model) : plot_(nullptr, model) {
        // Not moved once made: the watcher holds this side.
        plot_.session.watchRecords(
            [this](std::string_view text) { out_.records.emplace_back(text); });
    }

    // The stream in runs of runLength bytes, each handed over in reads of
    // chunkSize bytes; then the end of the stream. Pages are taken at page
    // ends or not.
    const Plotted& plot(std::string_view stream, size_t chunkSize, size_t runLength,
                        bool takePages) {
        if (takePages) {
            plot_.session.onPageAdvance([this] { out_.pages.push_back(pageDigest(plot_.page())); });
        } else {
            plot_.session.onPageAdvance({});
        }
        plot_.session.startAfresh();
        plot_.link.written.clear();
        plot_.link.writes.clear();
        plot_.link.delays.clear();
        plot_.link.flows.clear();
        out_ = {};
        kept_.clear();
        plot_.log.openMemory(kept_);
        for (size_t at = 0; at < stream.size(); at += runLength) {
            plot_.feed(stream.substr(at, runLength), chunkSize);
            add(plot_.run().result);
        }
        // The instruction the input cuts is carried out as far as it goes.
        plot_.session.beginRun();
        plot_.session.endStream();
        add(plot_.session.endRun());
        plot_.log.closeLog();
        size_t recorded = 0;
        for (const std::string& record : out_.records)
            recorded += record.size();
        out_.everyByteKept = kept_.size() == stream.size() + recorded;
        out_.replies = plot_.link.written;
        return out_;
    }
    const PageImage& page() const { return plot_.page(); }

  private:
    void add(RunResult result) {
        out_.counts.instructions += result.instructions;
        out_.counts.ignored += result.ignored;
    }

    InProcessPlot plot_;
    std::string kept_;
    Plotted out_;
};

// The first way the split plotting differs from the whole one, or where a
// transcript lost bytes; empty when the oracle holds.
inline std::string plotOneInput(PlotterModel model, std::string_view stream, size_t chunkSize,
                                size_t runLength, bool takePages = false) {
    struct Sides {
        explicit Sides(PlotterModel model) : whole(model), split(model) {}
        OracleSide whole, split;
    };
    static std::unique_ptr<Sides> sides[std::size(fuzzedModels)];
    std::unique_ptr<Sides>& s = sides[static_cast<size_t>(model)];
    if (!s) s = std::make_unique<Sides>(model);
    const Plotted& whole = s->whole.plot(stream, chunkSize, stream.size() + 1, takePages);
    const Plotted& split = s->split.plot(stream, chunkSize, runLength, takePages);
    if (!whole.everyByteKept) return "the transcript lost bytes";
    if (!split.everyByteKept) return "the split transcript lost bytes";
    if (split.records != whole.records) return "split, the records differ";
    if (split.replies != whole.replies) return "split, the replies differ";
    if (split.pages != whole.pages) return "split, the pages taken differ";
    if (split.counts.instructions != whole.counts.instructions)
        return "split, the instruction count differs";
    if (split.counts.ignored != whole.counts.ignored) return "split, the ignored count differs";
    if (!samePixels(s->split.page(), s->whole.page())) return "split, the page differs";
    return {};
}

// A fuzzer's input: the first byte picks the model (its remainder by five),
// the size of the line's reads, so that records land between chunks in
// different places, and whether pages are taken (its fifth, odd or even);
// the second the length of the runs the stream is split into (1 to 256
// bytes); the rest is the stream.
struct FuzzInput {
    PlotterModel model;
    size_t chunkSize;
    size_t runLength;
    std::string_view stream;
    bool takePages = false;
};

inline FuzzInput decodeFuzzInput(const uint8_t* data, size_t size) {
    const uint8_t first = size > 0 ? data[0] : 0;
    const uint8_t second = size > 1 ? data[1] : 0;
    return {fuzzedModels[first % std::size(fuzzedModels)], size_t{1} + first / 3u,
            size_t{1} + second,
            std::string_view(reinterpret_cast<const char*>(data), size)
                .substr(std::min<size_t>(size, 2)),
            (first / 5u) % 2 == 1};
}

} // namespace plotanix::testing
