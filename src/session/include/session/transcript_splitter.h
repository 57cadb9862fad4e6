#pragma once
// Reading a transcript (PLOTTER.TXT) back: separating the bytes the computer
// sent from the records and page markers the plotter wrote between them.
// A plain HP-GL file has none of these and comes back as one run.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

struct TranscriptStep {
    enum class Kind { run, savePage, newPage };
    Kind kind = Kind::run;
    // run: the bytes of one stretch between markers, records removed.
    std::string bytes;
    // savePage: the number the page was saved under.
    int64_t pageNumber = 0;
    // run: it takes LB or CP, the instructions that need the label font.
    bool usesFont = false;
};

// The transcript as runs and page commands, in order. Runs are never empty,
// and two runs never follow each other: bytes between two markers form one
// run (the transcript does not show where the line fell silent).
//
// Recognition is deliberately narrow, since "****" may be part of a label:
// - a page marker is the whole line CR LF "**** NEW PAGE ****" CR LF CR LF,
//   or the same with "SAVE PAGE #" and a page number without leading zeros;
//   the transcript's own notes ("**** 1234 BYTES LOST ****", "**** TRANSCRIPT
//   RECREATED ****") are dropped from the run they stand in;
// - a record is "****", a mnemonic of 0 to 2 bytes, "***". It counts when
//   the plotter would have written it there: the bytes so far, read as the
//   HP-86B model reads them (afresh after each NEW PAGE marker, as the
//   model starts), took that unrecognised mnemonic next, and its
//   second byte lies in the last 256 bytes (a record follows the chunk that
//   held it). Outside label text a record also counts when its mnemonic is
//   unrecognised and appears in the last 257 bytes: the line may have gone
//   silent mid-instruction where the transcript does not show it, so the
//   reading can drift from the session's.
std::vector<TranscriptStep> splitTranscript(std::string_view transcript);

// Only the page markers taken out; records stay in the runs. For a model
// whose reading the rules above do not follow: its runs are replayed with
// the records dropped as the model logs them.
std::vector<TranscriptStep> splitAtMarkers(std::string_view transcript);

} // namespace plotanix
