#include "hpgl/reader.h"

#include <cfloat>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>

using namespace plotanix;

namespace {

// The stream in the given chunks, one per take; then it ends.
struct Chunks : ByteSource {
    explicit Chunks(std::vector<std::string> chunks) : chunks(chunks.begin(), chunks.end()) {}
    size_t takeBytes(std::span<uint8_t> buffer) override {
        ++takes;
        if (chunks.empty()) return 0;
        const std::string& front = chunks.front();
        const size_t n = std::min(buffer.size(), front.size() - at);
        std::memcpy(buffer.data(), front.data() + at, n);
        at += n;
        if (at == front.size()) {
            chunks.pop_front();
            at = 0;
        }
        return n;
    }
    std::deque<std::string> chunks;
    size_t at = 0; // taken of the front chunk
    int takes = 0;
};

// A reader over the given chunks, after the two mnemonic bytes "PA".
struct ReaderOn {
    explicit ReaderOn(std::vector<std::string> chunks)
        : source(std::move(chunks)), reader(source) {}
    Chunks source;
    InstructionReader reader;
};

std::vector<float> parameters(const std::string& stream) {
    ReaderOn r({stream});
    const int count = r.reader.readParameters();
    EXPECT_EQ(static_cast<size_t>(count), r.reader.params.size());
    return r.reader.params;
}

} // namespace

// Empty fields before a comma are 0, an empty last one adds nothing; blanks
// are not separators, leading white space is skipped and NULs dropped.
TEST(Reader, ParameterLists) {
    using Values = std::vector<float>;
    const std::pair<std::string, Values> lists[] = {
        {"10,20;", {10, 20}}, {";", {}},        {"10,;", {10}},        {",5;", {0, 5}},
        {"1,,2;", {1, 0, 2}}, {"10 20;", {10}}, {" \r\n7,x;", {7, 0}}, {{"1\0002,\0;", 6}, {12}},
    };
    for (const auto& [text, values] : lists)
        EXPECT_EQ(parameters(text), values) << text;
}

// Exponents with e or d; no hexadecimal, infinity or not-a-number; values
// beyond single precision stay finite.
TEST(Reader, ParameterValues) {
    const float big = FLT_MAX;
    const std::pair<std::string, float> values[] = {
        {"1e2", 100},      {"-3.5", -3.5},   {"1d2", 100}, {"+.5", 0.5},    {"5.", 5},
        {"2e", 2},         {"2e+x", 2},      {"0x10", 0},  {"inf", 0},      {"nan", 0},
        {".", 0},          {"-", 0},         {"", 0},      {"1e39", big},   {"-1e39", -big},
        {"1e999999", big}, {"-1d400", -big}, {"1e-50", 0}, {"1e-99999", 0},
    };
    for (const auto& [text, value] : values)
        EXPECT_EQ(parameterValue(text), value) << text;
    EXPECT_EQ(parameterValue(std::string(500, '9')), FLT_MAX);
}

TEST(Reader, TheStreamsEndEndsAnUnfinishedField) {
    ReaderOn r({"10,2"});
    EXPECT_EQ(r.reader.readParameters(), 2);
    EXPECT_EQ(r.reader.params, (std::vector<float>{10, 2}));
    EXPECT_TRUE(r.reader.stopped());
    // Once ended, the stream is not asked again.
    EXPECT_EQ(r.reader.readByte(), 0);
    EXPECT_EQ(r.source.takes, 2);
    r.reader.skipToTerminator();
    EXPECT_EQ(r.reader.readParameters(), 0);
    EXPECT_EQ(r.reader.readLabelText(), "");
}

TEST(Reader, LabelTexts) {
    ReaderOn r({"HEL", "LO\r\n\x03;", std::string("A\0B\x03", 4)});
    EXPECT_EQ(r.reader.readLabelText(), "HELLO\r\n"); // CR LF belong to the text
    EXPECT_EQ(r.reader.readByte(), ';');
    EXPECT_EQ(r.reader.readLabelText(), "AB");
    EXPECT_FALSE(r.reader.stopped());
    EXPECT_EQ(r.reader.readLabelText(), ""); // the stream's end ends an unterminated label
    EXPECT_TRUE(r.reader.stopped());
}

// Texts that never end are cut, and the stream stays in step after them.
// The cap is on an instruction's whole parameter text: every value inside
// it is kept, a value it cuts and all after it are dropped.
TEST(Reader, LabelsAndParameterListsKeepTheirFirstMegabyte) {
    const std::size_t limit = InstructionReader::maxTextBytes;
    std::string pairs;
    for (std::size_t i = 0; i < limit / 2 + 1000; ++i)
        pairs += "7,";
    ReaderOn r({std::string(2 * limit, 'L') + "\x03;" + pairs + "9;1" +
                std::string(2 * limit, '0') + ",-0.5;1e39;S"});
    const std::string text = r.reader.readLabelText();
    EXPECT_EQ(text.size(), limit);
    EXPECT_LE(text.capacity(), 2 * limit);
    r.reader.skipToTerminator();
    ASSERT_EQ(r.reader.readParameters(), static_cast<int>(limit / 2));
    EXPECT_EQ(r.reader.params.back(), 7.0f);
    EXPECT_EQ(r.reader.readParameters(), 0); // the first field alone passes the cap
    ASSERT_EQ(r.reader.readParameters(), 1);
    EXPECT_EQ(r.reader.params[0], FLT_MAX);
    EXPECT_EQ(r.reader.readByte(), 'S');
}
