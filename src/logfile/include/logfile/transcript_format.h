#pragma once
// The transcript's own texts, built and recognised here only: the record
// written for an instruction the plotter does not know, and the marker lines
// for the operator's page commands. Also the two figures that shape where
// these land: the size of one read from the line, and the silence that ends
// a plot run.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plotanix::transcript {

// The largest read from the line: each chunk goes into the transcript whole,
// so a record follows the chunk that held its instruction.
inline constexpr size_t chunkSize = 256;
// A read of chunkSize bytes gives up after 10 ms a byte plus 100 ms: that
// long a silence ends a plot run.
inline constexpr int runEndingSilenceMs = 10 * static_cast<int>(chunkSize) + 100;

inline constexpr std::string_view recordStart = "****";
inline constexpr std::string_view recordEnd = "***";
inline constexpr std::string_view newPageText = "NEW PAGE";
inline constexpr std::string_view savePageText = "SAVE PAGE #";

// "****" + mnemonic + "***".
std::string unknownRecord(std::string_view mnemonic);
// CR LF, "**** " + text + " ****" CR LF, CR LF.
std::string marker(std::string_view text);
std::string savePageMarker(int64_t pageNumber);
std::string newPageMarker();
// Where bytes that could not be written were dropped: "**** 1234 BYTES LOST ****".
std::string lostBytesMarker(uint64_t count);
// At the start of a transcript begun again after it was deleted.
std::string recreatedMarker();
// At the start of a transcript made by a plotter model other than the
// HP-86B's, naming it as --model does: "**** MODEL 7470a ****".
std::string modelMarker(std::string_view model);
// The model a transcript names at its start, or empty.
std::string_view modelNamedAt(std::string_view transcript);

inline constexpr std::string_view bytesLostText = " BYTES LOST";
inline constexpr std::string_view recreatedText = "TRANSCRIPT RECREATED";
inline constexpr std::string_view modelText = "MODEL ";

// A marker at the start of text, as the plotter writes it: its length, and
// the page number for a save (nullopt for a new page). note: a marker about
// the transcript itself (lost bytes, begun again, its model), which is no
// page command.
struct MarkerFound {
    size_t length = 0;
    std::optional<int64_t> savedPage;
    bool note = false;
    std::string_view model; // the model a model marker names (within text)
};
std::optional<MarkerFound> markerAt(std::string_view text);

// Whether text starts with the record for this mnemonic.
bool recordAt(std::string_view text, std::string_view mnemonic);

} // namespace plotanix::transcript
