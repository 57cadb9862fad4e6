#include "page/stroke_font.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace plotanix {
namespace {

// Hershey coordinates are letters offset from 'R', y growing downwards. In
// the simplex faces a capital runs from y = -12 (top) to 9 (baseline) and
// the widest ordinary capitals (A, M, O) span 16 units; those fill the box.
constexpr int origin = 'R';
constexpr float capTop = -12, baseline = 9, capWidth = 16;

GlyphPoint normalised(char x, char y) {
    return {(x - origin) / capWidth + 0.5f, (baseline - (y - origin)) / (baseline - capTop)};
}

// The record body without line breaks: a long glyph may wrap onto the next line.
bool takeChars(const std::string& text, size_t& at, size_t count, std::string& out) {
    out.clear();
    while (out.size() < count && at < text.size()) {
        const char c = text[at++];
        if (c != '\n' && c != '\r') out.push_back(c);
    }
    return out.size() == count;
}

void skipBreaks(const std::string& text, size_t& at) {
    while (at < text.size() && (text[at] == '\n' || text[at] == '\r'))
        ++at;
}

bool validCoordinate(char c) {
    return c >= '!' && c <= '~';
}

} // namespace

GlyphView StrokeFont::glyph(unsigned code) const {
    if (code < firstCode || code > lastCode) return {};
    const StrokeFont& f = face();
    const Glyph& g = f.glyphs_[code - firstCode];
    return {std::span(f.strokes_).subspan(g.firstStroke, g.strokeCount), f.points_.data(),
            g.bounds};
}

std::unique_ptr<StrokeFont> loadStrokeFont(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "stroke font " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::ostringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();
    auto font = std::unique_ptr<StrokeFont>(new StrokeFont());
    const auto fail = [&](size_t glyph, const char* why) {
        error = "stroke font " + path + ": glyph " + std::to_string(glyph + 1) + " " + why;
        return nullptr;
    };
    size_t at = 0;
    std::string head, body;
    for (size_t index = 0; index < font->glyphs_.size(); ++index) {
        skipBreaks(text, at);
        if (!takeChars(text, at, 8, head)) return fail(index, "is missing");
        const int pairs = std::atoi(head.substr(5).c_str());
        if (pairs < 1 || pairs > 1000) return fail(index, "has a bad vertex count");
        if (!takeChars(text, at, 2 * size_t(pairs), body)) return fail(index, "is cut short");
        StrokeFont::Glyph& glyph = font->glyphs_[index];
        glyph.firstStroke = uint32_t(font->strokes_.size());
        bool open = false; // a stroke has been started and not ended
        for (size_t k = 2; k < body.size(); k += 2) {
            if (body[k] == ' ' && body[k + 1] == 'R') {
                open = false;
                continue;
            }
            if (!validCoordinate(body[k]) || !validCoordinate(body[k + 1]))
                return fail(index, "has a bad coordinate");
            if (!open) font->strokes_.push_back({uint32_t(font->points_.size()), 0});
            open = true;
            font->points_.push_back(normalised(body[k], body[k + 1]));
            GlyphStroke& stroke = font->strokes_.back();
            font->longestStroke_ = std::max<size_t>(font->longestStroke_, ++stroke.count);
        }
        glyph.strokeCount = uint32_t(font->strokes_.size()) - glyph.firstStroke;
        if (glyph.strokeCount == 0) continue;
        const GlyphPoint* first = &font->points_[font->strokes_[glyph.firstStroke].first];
        const GlyphPoint* end = font->points_.data() + font->points_.size();
        GlyphBounds& b = glyph.bounds;
        b = {first->u, first->u, first->v, first->v};
        for (const GlyphPoint* p = first; p != end; ++p) {
            b.uMin = std::min(b.uMin, p->u), b.uMax = std::max(b.uMax, p->u);
            b.vMin = std::min(b.vMin, p->v), b.vMax = std::max(b.vMax, p->v);
        }
        GlyphBounds& all = font->bounds_;
        all = {std::min(all.uMin, b.uMin), std::max(all.uMax, b.uMax), std::min(all.vMin, b.vMin),
               std::max(all.vMax, b.vMax)};
    }
    return font;
}

namespace {

struct StandardFace {
    std::string why;
    std::unique_ptr<StrokeFont> font;
};

// Read once, on the first call from any thread.
const StandardFace& standardFace() {
    static const StandardFace face = [] {
        StandardFace read;
        read.font = loadStrokeFont(standardStrokeFontPath, read.why);
        return read;
    }();
    return face;
}

} // namespace

const StrokeFont* standardStrokeFont(std::string* error) {
    if (error) {
        const StandardFace& face = standardFace();
        *error = face.why;
        return face.font.get();
    }
    static const StrokeFont none;
    static const StrokeFont deferred = [] {
        StrokeFont font;
        font.read_ = []() -> const StrokeFont& {
            const StandardFace& face = standardFace();
            return face.font ? *face.font : none;
        };
        return font;
    }();
    return &deferred;
}

} // namespace plotanix
