#include "session/transcript_splitter.h"

#include "logfile/transcript_format.h"
#include "models/models.h"

#include <algorithm>
#include <array>
#include <deque>

namespace plotanix {

namespace {

using transcript::chunkSize;
using transcript::recordEnd;
using transcript::recordStart;

bool isKnown(std::string_view mnemonic) {
    return plotterKnows(PlotterModel::hp86b, mnemonic);
}

struct ExpectedRecord {
    std::string mnemonic;
    size_t secondByte; // index in the run of the mnemonic's second byte
};

// Follows the bytes of a run through the HP-86B model's own reader, drawing
// nothing, to know where mnemonics are taken and where a label's text runs.
class MnemonicTracker {
  public:
    void feed(char byte, size_t index) {
        index_ = index;
        reader_.take(static_cast<uint8_t>(byte));
    }
    bool inLabel() const { return reader_.inLabel(); }
    bool usesFont() const { return usesFont_; }
    // The next run's bytes go on with the same instruction: only what is
    // counted per run starts afresh.
    void newRun() {
        usesFont_ = false;
        expected_.clear();
    }
    // A new page starts the plotter afresh, its reading too.
    void newPage() { reader_.restart(); }
    std::deque<ExpectedRecord>& expected() { return expected_; }

  private:
    void mnemonic(std::string_view text) {
        usesFont_ = usesFont_ || text == "LB" || text == "CP";
        // A plain file has no records: forget those whose chunk is past.
        while (!expected_.empty() && expected_.front().secondByte + chunkSize < index_) {
            expected_.pop_front();
        }
        if (!isKnown(text)) expected_.push_back({std::string(text), index_});
    }

    Hp86bReading reader_{[this](std::string_view text) { mnemonic(text); }};
    size_t index_ = 0;
    bool usesFont_ = false;
    std::deque<ExpectedRecord> expected_;
};

bool hasRecordShape(std::string_view text, std::string_view mnemonic) {
    return transcript::recordAt(text, mnemonic);
}

class Splitter {
  public:
    Splitter(std::string_view transcript, bool records) : text_(transcript), records_(records) {
        run_.reserve(transcript.size()); // a plain file is one run
    }

    std::vector<TranscriptStep> split() {
        while (pos_ < text_.size()) {
            pos_ = text_.find_first_of("\r*", pos_);
            if (pos_ == std::string_view::npos) break;
            if (!takeMarker() && !(records_ && takeRecord())) ++pos_;
        }
        pos_ = text_.size();
        endRun();
        return std::move(steps_);
    }

  private:
    // Moves the plain bytes before pos_ into the current run.
    void collect() {
        const size_t first = run_.size();
        run_.append(text_.substr(plainStart_, pos_ - plainStart_));
        for (size_t i = first; i < run_.size(); ++i)
            tracker_.feed(run_[i], i);
        plainStart_ = pos_;
    }

    void skip(size_t length) {
        pos_ += length;
        plainStart_ = pos_;
    }

    void endRun() {
        collect();
        if (!run_.empty()) {
            steps_.push_back({TranscriptStep::Kind::run, std::move(run_), 0, tracker_.usesFont()});
        }
        run_.clear();
        tracker_.newRun();
    }

    bool takeMarker() {
        if (text_[pos_] != '\r') return false;
        const auto found = transcript::markerAt(text_.substr(pos_));
        if (!found) return false;
        // Lost bytes or a transcript begun again: no page command, and the
        // run goes on across it.
        if (found->note) {
            collect();
            skip(found->length);
            return true;
        }
        endRun();
        TranscriptStep step;
        step.kind =
            found->savedPage ? TranscriptStep::Kind::savePage : TranscriptStep::Kind::newPage;
        step.pageNumber = found->savedPage.value_or(0);
        if (step.kind == TranscriptStep::Kind::newPage) tracker_.newPage();
        steps_.push_back(std::move(step));
        skip(found->length);
        return true;
    }

    bool takeRecord() {
        const std::string_view rest = text_.substr(pos_);
        if (!rest.starts_with(recordStart)) return false;
        collect();
        size_t length = expectedRecordLength(rest);
        if (length == 0) length = plausibleRecordLength(rest);
        if (length == 0) return false;
        skip(length);
        return true;
    }

    // The record the HP-86B model would have written next, if it is here.
    size_t expectedRecordLength(std::string_view rest) {
        auto& expected = tracker_.expected();
        while (!expected.empty() && expected.front().secondByte + chunkSize < run_.size()) {
            expected.pop_front(); // its chunk is long past: that record is missing
        }
        if (expected.empty() || !hasRecordShape(rest, expected.front().mnemonic)) return 0;
        const size_t length =
            recordStart.size() + expected.front().mnemonic.size() + recordEnd.size();
        if (tracker_.inLabel() && recurs(rest, length, expected.front().secondByte)) return 0;
        expected.pop_front();
        return length;
    }

    // Whether the record at the start of rest appears again where it could
    // still stand: then this copy is label text that happens to read like
    // the record (a record ends a chunk, and the chunk may go on).
    bool recurs(std::string_view rest, size_t length, size_t secondByte) const {
        const size_t stillAllowed = secondByte + chunkSize - run_.size();
        return rest.substr(length, stillAllowed + length).find(rest.substr(0, length)) != npos;
    }

    // A record the reading did not foresee: only outside label text, for an
    // unrecognised mnemonic that the last chunk could have held.
    size_t plausibleRecordLength(std::string_view rest) const {
        if (tracker_.inLabel()) return 0;
        for (size_t length = 2;; --length) {
            const std::string_view mnemonic = rest.substr(recordStart.size(), length);
            if (mnemonic.size() == length && hasRecordShape(rest, mnemonic) &&
                mnemonic.find('\0') == std::string_view::npos && !isKnown(mnemonic) &&
                inLastChunk(mnemonic)) {
                return recordStart.size() + length + recordEnd.size();
            }
            if (length == 0) return 0;
        }
    }

    // Whether a mnemonic with this text could have had its second byte in
    // the last chunk of the run (its first byte may be in the chunk before).
    bool inLastChunk(std::string_view mnemonic) const {
        const std::string_view run = run_;
        const size_t from = run.size() > chunkSize + 1 ? run.size() - chunkSize - 1 : 0;
        const std::string_view window = run.substr(from);
        if (mnemonic.size() == 2) return window.find(mnemonic) != std::string_view::npos;
        if (mnemonic.size() == 1) return window.find(std::string{mnemonic[0], '\0'}) != npos;
        // An empty text: the first byte was NUL, and a second byte followed.
        return window.size() > 1 && window.substr(0, window.size() - 1).find('\0') != npos;
    }

    static constexpr size_t npos = std::string_view::npos;

    std::string_view text_;
    bool records_;
    size_t pos_ = 0;
    size_t plainStart_ = 0;
    std::string run_;
    MnemonicTracker tracker_;
    std::vector<TranscriptStep> steps_;
};

} // namespace

std::vector<TranscriptStep> splitTranscript(std::string_view transcript) {
    return Splitter(transcript, true).split();
}

std::vector<TranscriptStep> splitAtMarkers(std::string_view transcript) {
    return Splitter(transcript, false).split();
}

} // namespace plotanix
