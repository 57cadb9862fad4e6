// The HP-86B's reader on its own: what it hands its listener for each
// piece of a stream, however the stream is cut.

#include "hp86b/hp86b_reader.h"

#include <cfloat>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace plotanix;

namespace {

// Every piece the reader hands over, as text: "PA" a mnemonic, "10" a
// parameter, "[HI]" a label, ";" an instruction's end.
struct Pieces : Hp86bReader::Listener {
    void mnemonic(std::string_view text) override { seen.emplace_back(text); }
    void parameter(float value) override { seen.push_back(std::to_string(value)); }
    void label(std::string_view text) override { seen.push_back("[" + std::string(text) + "]"); }
    void instructionEnded() override { seen.emplace_back(";"); }
    std::vector<std::string> seen;
};

std::string number(float value) {
    return std::to_string(value);
}

// The pieces of a stream fed in the given parts, then ended.
std::vector<std::string> piecesOf(const std::vector<std::string>& parts, bool end = true) {
    Pieces pieces;
    Hp86bReader reader(pieces);
    for (const std::string& part : parts)
        reader.feed({reinterpret_cast<const uint8_t*>(part.data()), part.size()});
    if (end) reader.endOfStream();
    return pieces.seen;
}

using Seen = std::vector<std::string>;

} // namespace

// Empty fields before a comma are 0, an empty last one adds nothing; blanks
// are not separators, leading white space is skipped and NULs dropped.
TEST(Hp86bReader, ParameterLists) {
    const std::pair<std::string, Seen> lists[] = {
        {"PA10,20;", {"PA", number(10), number(20), ";"}},
        {"PA;", {"PA", ";"}},
        {"PA10,;", {"PA", number(10), ";"}},
        {"PA,5;", {"PA", number(0), number(5), ";"}},
        {"PA1,,2;", {"PA", number(1), number(0), number(2), ";"}},
        {"PA10 20;", {"PA", number(10), ";"}},
        {"PA \r\n7,x;", {"PA", number(7), number(0), ";"}},
        {{"PA1\0002,\0;", 9}, {"PA", number(12), ";"}},
    };
    for (const auto& [text, seen] : lists) {
        EXPECT_EQ(piecesOf({text}), seen) << text;
        std::vector<std::string> bytes; // cut between every two bytes
        for (char c : text)
            bytes.emplace_back(1, c);
        EXPECT_EQ(piecesOf(bytes), seen) << text << " byte by byte";
    }
}

// Exponents with e or d; no hexadecimal, infinity or not-a-number; values
// beyond single precision stay finite.
TEST(Hp86bReader, ParameterValues) {
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

// Where the reader stands, and what the stream's end finishes: an
// unfinished field, a label without ETX, a skip; a mnemonic's lone first
// byte is no instruction. Nothing is taken after the end.
TEST(Hp86bReader, TheStreamsEndFinishesWhatWasBeingRead) {
    const std::pair<std::string, Seen> cases[] = {
        {"PA10,2", {"PA", number(10), number(2), ";"}},
        {"LBHI", {"LB", "[HI]", ";"}},
        {"LBHI\x03xx", {"LB", "[HI]", ";"}},
        {"ZZ1,2", {"ZZ", ";"}},
        {"PA1;P", {"PA", number(1), ";"}},
    };
    for (const auto& [text, seen] : cases)
        EXPECT_EQ(piecesOf({text}), seen) << text;
    EXPECT_EQ(piecesOf({"PA10,2"}, false), (Seen{"PA", number(10)}));

    Pieces pieces;
    Hp86bReader reader(pieces);
    using Stands = Hp86bReader::Stands;
    const std::pair<std::string, Stands> stands[] = {
        {"S", Stands::secondByte},      {"P1", Stands::parameters}, {";LBA", Stands::label},
        {"\x03", Stands::toTerminator}, {";", Stands::mnemonic},
    };
    for (const auto& [bytes, where] : stands) {
        reader.feed({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
        EXPECT_EQ(reader.stands(), where) << bytes;
    }
    reader.endOfStream();
    reader.feed({reinterpret_cast<const uint8_t*>("PA1;"), 4});
    EXPECT_EQ(reader.stands(), Stands::ended);
}

TEST(Hp86bReader, LabelTexts) {
    EXPECT_EQ(piecesOf({"LBHEL", "LO\r\n\x03;", std::string("LBA\0B\x03;", 7)}),
              (Seen{"LB", "[HELLO\r\n]", ";", "LB", "[AB]", ";"})); // CR LF belong to the text
}

// Texts that never end are cut, and the stream stays in step after them.
// The cap is on an instruction's whole parameter text: every value inside
// it is kept, a value it cuts and all after it are dropped.
TEST(Hp86bReader, LabelsAndParameterListsKeepTheirFirstMegabyte) {
    const std::size_t limit = Hp86bReader::maxTextBytes;
    struct Counter : Hp86bReader::Listener {
        void mnemonic(std::string_view text) override { last.emplace_back(text); }
        void parameter(float value) override {
            ++parameters;
            lastValue = value;
        }
        void label(std::string_view text) override { labelSize = text.size(); }
        std::vector<std::string> last;
        size_t parameters = 0, labelSize = 0;
        float lastValue = 0;
    } counter;
    Hp86bReader reader(counter);
    std::string pairs;
    for (std::size_t i = 0; i < limit / 2 + 1000; ++i)
        pairs += "7,";
    const std::string stream = "LB" + std::string(2 * limit, 'L') + "\x03;PA" + pairs + "9;";
    reader.feed({reinterpret_cast<const uint8_t*>(stream.data()), stream.size()});
    EXPECT_EQ(counter.labelSize, limit);
    EXPECT_EQ(counter.parameters, limit / 2);
    EXPECT_EQ(counter.lastValue, 7.0f);
    const std::string cut = "PA1" + std::string(2 * limit, '0') + ",-0.5;SP1e39;";
    reader.feed({reinterpret_cast<const uint8_t*>(cut.data()), cut.size()});
    EXPECT_EQ(counter.parameters, limit / 2 + 1); // the first field alone passes the cap
    EXPECT_EQ(counter.lastValue, FLT_MAX);
    EXPECT_EQ(counter.last, (std::vector<std::string>{"LB", "PA", "PA", "SP"}));
}
