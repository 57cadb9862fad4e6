#pragma once
// The HP-GL/2 model's reading of a stream, carrying nothing out: its one
// tokenizer, with a client that counts the mnemonics read. Bodies are read
// as the model reads them (a label's text up to its terminator as DT sets
// it, SM's symbol, a quoted text, PE's encoded numbers, a PCL job's
// escapes), so what they hold is no mnemonic. What was read tells which
// dialect a file is written in.

#include "hpgl/tokenizer.h"
#include "hpgl2/hpgl2_input.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace plotanix {

// The reading of bodies the model and the count share. Parameters that run
// to ';' or the next mnemonic, a quoted text holding letters too; a cut-off
// ends the instruction, or with cutEndsText the text only.
ByteStep skipQuoted(int event, bool& quoted, bool cutEndsText);
// DT's: the byte after DT is the terminator (';' puts back ETX; NUL and LF
// are bad), then ",mode" may follow. step counts the bytes taken, from 0.
struct Hpgl2Terminator {
    ByteStep step = ByteStep::done;
    std::optional<int> terminator; // set by this byte
    bool bad = false;              // this byte cannot be one
};
Hpgl2Terminator takeTerminator(int event, int& step);

class Hpgl2Mnemonics : private TokenizerClient {
  public:
    void feed(std::string_view bytes) {
        input_.feed({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    }
    // How often a mnemonic of these letters (upper case, either case read) came.
    int64_t count(char first, char second) const {
        return counts_[static_cast<size_t>((first - 'A') * 26 + (second - 'A'))];
    }
    // Whether a PCL job began: ESC E, ESC%#B, or the universal exit and @PJL.
    bool pclJobSeen() const { return input_.pclJobSeen(); }
    // Told each mnemonic counted, its letters as they came, where it stands
    // in the stream: a reader that follows a live line needs no look at
    // the counts.
    void onMnemonic(std::function<void(std::string_view letters)> told) { told_ = std::move(told); }

  private:
    enum class Reading : uint8_t { label, terminator, symbol, quoted, unknown, encoded };

    Body instruction(std::string_view letters) override;
    ByteStep byte(int event) override;

    HpglTokenizer tokenizer_{static_cast<TokenizerClient&>(*this)};
    Hpgl2Input input_{tokenizer_};
    std::array<int64_t, 26 * 26> counts_{};
    std::function<void(std::string_view)> told_;
    Reading reading_ = Reading::unknown;
    bool quoted_ = false;
    int terminator_ = 3;
    int terminatorStep_ = 0;
};

} // namespace plotanix
