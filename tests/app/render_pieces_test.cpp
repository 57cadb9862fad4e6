// The renderer drawing a file a piece at a time against drawing it whole:
// the same pages wherever the pieces part, and the files it must read whole
// known as such wherever they part.

#include "render_renderer.h"

#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {
namespace {

// An input handed over in pieces of the given lengths, the last repeated.
class SplitInput : public InputPieces {
  public:
    SplitInput(std::string_view bytes, std::vector<size_t> lengths)
        : bytes_(bytes), lengths_(std::move(lengths)) {}
    bool each(const std::function<bool(std::string_view)>& take) override {
        size_t at = 0;
        for (size_t i = 0; at < bytes_.size(); ++i) {
            const size_t n = lengths_[std::min(i, lengths_.size() - 1)];
            if (!take(bytes_.substr(at, n))) break;
            at += n;
        }
        return true;
    }

  private:
    std::string_view bytes_;
    std::vector<size_t> lengths_;
};

struct Drawn {
    Renderer::Outcome outcome;
    std::vector<PageImage> pages;
    int64_t instructions = 0;
};

template <typename Input> Drawn draw(const RenderSetup& setup, Input&& input) {
    Renderer renderer(setup);
    Drawn drawn;
    drawn.outcome =
        renderer.render(input, false, [&](const PageView& page, std::optional<int64_t>) {
            drawn.pages.push_back(page.image);
            return true;
        });
    drawn.instructions = renderer.counts().instructions;
    return drawn;
}

// Every split into two pieces, and pieces of one to five bytes throughout.
std::vector<std::vector<size_t>> splits(size_t size) {
    std::vector<std::vector<size_t>> all;
    for (size_t cut = 1; cut < size; ++cut)
        all.push_back({cut, size});
    for (size_t n = 1; n <= 5; ++n)
        all.push_back({n});
    return all;
}

TEST(RenderPieces, EverySplitDrawsThePagesOfTheWhole) {
    const std::string lines = "IN;SP1;PA500,500;PD9000,500,9000,7000,500,500;LT2;PD4000,6000;";
    const std::pair<const char*, std::string> inputs[] = {
        {"a 7470A file", lines + "SP2;PA100,100;LBlabel\x03;CI300;"},
        {"HP-GL/2, told by PW after 7470A instructions", lines + "PW1;PD100,7000;"},
        {"pages HP-GL/2's PG ends", "IN;SP1;PA0,0;PD5000,5000;PG;PA0,0;PD3000,100;PG;"},
        {"an empty file", ""},
    };
    RenderSetup fitted;
    fitted.fit = true;
    RenderSetup asHpgl2;
    asHpgl2.model = PlotterModel::hpgl2;
    const std::pair<const char*, RenderSetup> setups[] = {
        {"the model chosen", {}}, {"--fit", fitted}, {"--model hpgl2", asHpgl2}};
    for (const auto& [setupName, setup] : setups) {
        for (const auto& [what, bytes] : inputs) {
            const Drawn whole = draw(setup, std::string_view(bytes));
            for (const std::vector<size_t>& lengths : splits(bytes.size())) {
                const std::string where = std::string(what) + ", " + setupName + ", pieces of " +
                                          std::to_string(lengths[0]);
                const Drawn pieces = draw(setup, SplitInput(bytes, lengths));
                ASSERT_EQ(pieces.outcome, whole.outcome) << where;
                EXPECT_EQ(pieces.instructions, whole.instructions) << where;
                ASSERT_EQ(pieces.pages.size(), whole.pages.size()) << where;
                for (size_t i = 0; i < whole.pages.size(); ++i)
                    EXPECT_TRUE(samePixels(pieces.pages[i], whole.pages[i]))
                        << where << ", page " << i;
            }
        }
    }
}

// A transcript's marker and a DT (whose reading the two dialects part at)
// are found across any join: such a file is read whole, nothing drawn.
TEST(RenderPieces, FilesReadWholeAreKnownWhereverTheyPart) {
    const std::pair<const char*, std::string> inputs[] = {
        {"a transcript's page marker", "PA0,0;PD100,100;\r\n**** NEW PAGE ****\r\n\r\nPD5,5;"},
        {"DT with separators between its letters", "PA0,0;PD100,100;D , T*;LBtext*"},
        {"an escape", "PA0,0;\x1b.B;PD100,100;"},
    };
    for (const auto& [what, bytes] : inputs) {
        for (const std::vector<size_t>& lengths : splits(bytes.size())) {
            const Drawn pieces = draw({}, SplitInput(bytes, lengths));
            EXPECT_EQ(pieces.outcome, Renderer::Outcome::readWhole)
                << what << ", pieces of " << lengths[0];
            EXPECT_TRUE(pieces.pages.empty()) << what;
        }
    }
}

} // namespace
} // namespace plotanix
