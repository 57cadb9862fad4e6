// The renderer drawing a file a piece at a time against drawing it whole:
// the same pages wherever the pieces part, and the files it must read whole
// known as such wherever they part. And costly plots at the page's size and
// enlarged: the copy made the way its cost says.

#include "output/enlarged_copy.h"
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

// A polygon of full-height teeth, 10,000 plotter units across, then more.
std::string teeth(int count, const std::string& then) {
    std::string plot = "IN;SP1;PA100,300;PM0;PD";
    for (int i = 0; i < count; ++i)
        plot += std::to_string(100 + i * 10000 / count) + (i % 2 ? ",300," : ",7300,");
    return plot + "100,300;PM2;" + then;
}

// The enlarged copy of a plot that would cost cairo too much to draw again
// is made from the page's pixels; others are drawn from the list. Areas
// painted again in another colour are recorded once: no list overflows.
TEST(RenderCosts, TheEnlargedCopyIsMadeTheWayItsCostSays) {
    std::string alternating = "PW10;";
    for (int i = 0; i < 200; ++i)
        alternating += "EP;SP2;EP;SP1;";
    const std::string outlines = teeth(6000, alternating), lines = teeth(30000, "EP;");
    const std::string square = "IN;SP1;PA1000,1000;PD2000,1000,2000,2000,1000,2000,1000,1000;";
    const struct {
        const char* what;
        const std::string& input;
        int scale;
        bool fromPixels;
    } cases[] = {
        {"wide outlines in turn", outlines, 4, true},
        {"wide outlines in turn", outlines, 1, false},
        {"long thin lines", lines, 2, true},
        {"long thin lines", lines, 1, false},
        {"a square", square, 4, false},
    };
    for (const auto& c : cases) {
        const std::string where = std::string(c.what) + " x" + std::to_string(c.scale);
        Renderer renderer({PlotterModel::hpgl2, Paper::letter, true, false, c.scale});
        int pages = 0;
        const auto outcome = renderer.render(c.input, false, [&](const PageView& page, auto) {
            ++pages;
            EXPECT_EQ(enlargedFromPixels(*page.list, c.scale), c.fromPixels) << where;
            EXPECT_FALSE(page.list->overflowed()) << where;
            return true;
        });
        EXPECT_EQ(outcome, Renderer::Outcome::rendered) << where;
        EXPECT_EQ(pages, 1) << where;
    }
}

// Fitted, an area painted again in another colour is repainted as the page
// alone repaints it: the pixels those drawn afresh (a CR between) have.
TEST(RenderCosts, FittedAreasPaintedAgainKeepTheirPixels) {
    const std::string again = teeth(500, "PW3;EP;SP2;EP;SP1;EP;SP2;FP;SP1;FP;SP2;FP;");
    std::string afresh = again;
    for (size_t at = 0; (at = afresh.find("SP", at + 5)) != std::string::npos;)
        afresh.insert(at, "CR;");
    const RenderSetup fitted{PlotterModel::hpgl2, Paper::letter, false, true};
    const Drawn once = draw(fitted, std::string_view(again));
    const Drawn each = draw(fitted, std::string_view(afresh));
    ASSERT_EQ(std::make_pair(once.pages.size(), each.pages.size()), std::make_pair(1ul, 1ul));
    EXPECT_TRUE(samePixels(once.pages[0], each.pages[0]));
}

} // namespace
} // namespace plotanix
