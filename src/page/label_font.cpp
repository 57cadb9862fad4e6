#include "page/label_font.h"

#include "page/font_engine.h"

#include <fontconfig/fontconfig.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <vector>

namespace plotanix {

namespace {

// The page is measured in pixels, so the em height does not follow the monitor.
constexpr double pageDotsPerInch = 96.0;
// No face file of a sane size is larger than this.
constexpr std::streamoff largestFaceFile = 64 << 20;

struct PatternDeleter {
    void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using PatternPtr = std::unique_ptr<FcPattern, PatternDeleter>;

struct FontSetDeleter {
    void operator()(FcFontSet* set) const { FcFontSetDestroy(set); }
};
using FontSetPtr = std::unique_ptr<FcFontSet, FontSetDeleter>;

struct FaceChoice {
    std::string file;
    int index = 0;
};

bool isMonospaced(FcPattern* pattern) {
    int spacing = 0;
    return FcPatternGetInteger(pattern, FC_SPACING, 0, &spacing) == FcResultMatch &&
           spacing >= FC_MONO;
}

void addChoice(FcPattern* pattern, std::vector<FaceChoice>& choices) {
    FcChar8* file = nullptr;
    if (!isMonospaced(pattern) || FcPatternGetString(pattern, FC_FILE, 0, &file) != FcResultMatch) {
        return;
    }
    FaceChoice choice{reinterpret_cast<const char*>(file), 0};
    FcPatternGetInteger(pattern, FC_INDEX, 0, &choice.index);
    choices.push_back(std::move(choice));
}

// A request for a monospaced outline face of the family. The name is taken
// as it is, not parsed as a pattern.
PatternPtr monospacedRequest(const std::string& family) {
    PatternPtr pattern(FcPatternCreate());
    if (!pattern) return nullptr;
    FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcPatternAddInteger(pattern.get(), FC_SPACING, FC_MONO);
    FcPatternAddBool(pattern.get(), FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    return pattern;
}

// Every monospaced face, the closest to the name first. The sorted list holds
// the faces' own properties, so a face that is not monospaced is never taken
// for one just because the request asked for it.
std::vector<FaceChoice> faceChoices(const std::string& face) {
    std::vector<FaceChoice> choices;
    FcResult result = FcResultNoMatch;
    PatternPtr request = monospacedRequest(face);
    if (!request) return choices;
    FontSetPtr sorted(FcFontSort(nullptr, request.get(), FcFalse, nullptr, &result));
    for (int i = 0; sorted && i < sorted->nfont; ++i)
        addChoice(sorted->fonts[i], choices);
    return choices;
}

bool readFile(const std::string& path, std::vector<unsigned char>& bytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size <= 0 || size > largestFaceFile) return false;
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(bytes.data()), size));
}

int32_t wholePixels(FT_Pos value) {
    return static_cast<int32_t>((value + 63) >> 6);
}

void measureAdvances(FT_Face face, PageFont::Metrics& metrics) {
    for (unsigned byte = 0; byte < metrics.advances.size(); ++byte) {
        const bool loaded = FT_Load_Char(face, byte, FT_LOAD_NO_BITMAP) == 0;
        metrics.advances[byte] =
            loaded ? static_cast<int32_t>((face->glyph->advance.x + 32) >> 6) : 0;
    }
}

// The farthest any glyph's ink can reach from its origin, whatever the angle,
// with a margin for hinting.
double inkRadius(FT_Face face) {
    const FT_Size_Metrics& metrics = face->size->metrics;
    const double xs[] = {double(FT_MulFix(face->bbox.xMin, metrics.x_scale)),
                         double(FT_MulFix(face->bbox.xMax, metrics.x_scale))};
    const double ys[] = {double(FT_MulFix(face->bbox.yMin, metrics.y_scale)),
                         double(FT_MulFix(face->bbox.yMax, metrics.y_scale))};
    double farthest = 0;
    for (double x : xs) {
        for (double y : ys)
            farthest = std::max(farthest, std::hypot(x, y) / 64.0);
    }
    return farthest + 2.0;
}

std::unique_ptr<PageFont> openFace(const std::shared_ptr<FontEngine>& engine,
                                   const FaceChoice& choice, int emHeight) {
    if (!readFile(choice.file, engine->fileBytes)) return nullptr;
    engine->faceIndex = choice.index;
    FT_Face face = engine->openFace(emHeight);
    if (!face) return nullptr;
    // Rotated labels need an outline face.
    if (!FT_IS_SCALABLE(face)) {
        FT_Done_Face(face);
        return nullptr;
    }
    PageFont::Metrics metrics;
    metrics.filePath = choice.file;
    metrics.faceIndex = choice.index;
    metrics.emHeight = emHeight;
    metrics.ascent = wholePixels(face->size->metrics.ascender);
    metrics.descent = wholePixels(-face->size->metrics.descender);
    measureAdvances(face, metrics);
    metrics.inkRadius = inkRadius(face);
    return std::make_unique<FreeTypeFont>(engine, face, std::move(metrics));
}

} // namespace

FontEngine::~FontEngine() {
    if (library) FT_Done_FreeType(library);
}

FT_Face FontEngine::openFace(int emHeight) const {
    FT_Face face = nullptr;
    if (FT_New_Memory_Face(library, fileBytes.data(), static_cast<FT_Long>(fileBytes.size()),
                           faceIndex, &face) != 0) {
        return nullptr;
    }
    FT_Select_Charmap(face, FT_ENCODING_UNICODE);
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(emHeight)) != 0) {
        FT_Done_Face(face);
        return nullptr;
    }
    return face;
}

FreeTypeFont::~FreeTypeFont() {
    if (face_) FT_Done_Face(face_);
}

std::unique_ptr<PageFont> loadFont(const std::string& face, int points) {
    // Halves away from zero; FreeType takes at most 0xFFFF pixels.
    const long emHeight = std::lround(points * pageDotsPerInch / 72.0);
    if (points <= 0 || emHeight < 1 || emHeight > 0xFFFF) return nullptr;
    auto engine = std::make_shared<FontEngine>();
    if (FT_Init_FreeType(&engine->library) != 0) {
        engine->library = nullptr;
        return nullptr;
    }
    for (const FaceChoice& choice : faceChoices(face)) {
        if (auto font = openFace(engine, choice, static_cast<int>(emHeight))) return font;
    }
    return nullptr;
}

} // namespace plotanix
