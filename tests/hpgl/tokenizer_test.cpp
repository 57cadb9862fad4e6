#include "hpgl/tokenizer.h"

#include <cmath>
#include <gtest/gtest.h>
#include <map>
#include <span>
#include <string>

using namespace plotanix;

namespace {

// A client writing down what the tokenizer hands it: "XY(1,2)" for
// collected numbers, "XY<1 2>" for streamed ones, "XY{ab}" for bytes;
// "!" marks an illegal end, "^" a cut-off one.
struct Recorder : TokenizerClient {
    std::map<std::string, Body> bodies{{"PA", Body::stream}, {"SC", Body::numbers},
                                       {"OI", Body::none},   {"LB", Body::bytes},
                                       {"DT", Body::bytes},  {"IN", Body::numbers}};
    std::string log;
    Numbers last;       // the numbers last handed over whole
    bool exact = false; // values written to the last bit

    Body instruction(std::string_view letters) override {
        log += letters;
        const auto it = bodies.find(std::string(letters));
        const Body body = it == bodies.end() ? Body::numbers : it->second;
        if (body == Body::stream) log += "<";
        last = {};
        return body;
    }
    void numbers(const Numbers& p) override {
        last = p;
        log += "(";
        for (int i = 0; i < std::min<int>(p.count, Numbers::kept); ++i)
            log += (i ? "," : "") + text(p.v[static_cast<size_t>(i)]);
        log += std::string(p.illegal ? "!" : "") + (p.aborted ? "^" : "") + ")";
    }
    void number(double value) override { log += (log.back() == '<' ? "" : " ") + text(value); }
    void numbersEnd(bool illegal, bool aborted) override {
        log += std::string(illegal ? "!" : "") + (aborted ? "^" : "") + ">";
    }
    ByteStep byte(int event) override {
        // LB: text up to '\x03'; DT: one byte, then its numbers.
        if (log.back() == 'T' && event >= 0) {
            log += "{" + std::string(1, static_cast<char>(event)) + "}";
            return ByteStep::thenNumbers;
        }
        if (event < 0 || event == 3) return log += "}", ByteStep::done;
        if (log.back() == 'B') log += "{";
        log.push_back(static_cast<char>(event));
        return ByteStep::more;
    }
    void instructionDone() override { log += ";"; }

    std::string text(double value) const {
        char out[32];
        std::snprintf(out, sizeof out, exact ? "%a" : "%g", value);
        return out;
    }
};

// How the bytes go in: one by one, or in runs where putNumbers or
// putInstructions take them (each with put() for the bytes they leave).
enum class Feed { bytes, numberRuns, instructionRuns };

// The events of a stream: its bytes, '\x1f' standing for a cut-off, and
// the end when asked for; the bytes handed over in two pieces, cut at
// `cut`.
std::string tokens(std::string_view stream, bool end = true, Feed feed = Feed::bytes,
                   size_t cut = std::string_view::npos, bool exact = false) {
    Recorder client;
    client.log = " ";
    client.exact = exact;
    HpglTokenizer tokenizer(client);
    const auto put = [&](std::string_view piece) {
        const std::span bytes(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
        for (size_t i = 0; i < bytes.size();) {
            const auto rest = bytes.subspan(i);
            const size_t run = feed == Feed::numberRuns        ? tokenizer.putNumbers(rest)
                               : feed == Feed::instructionRuns ? tokenizer.putInstructions(rest)
                                                               : 0;
            i += run;
            if (run > 0) continue;
            tokenizer.put(bytes[i] == '\x1f' ? abortEvent : bytes[i]);
            ++i;
        }
    };
    put(stream.substr(0, cut));
    if (cut < stream.size()) put(stream.substr(cut));
    if (end) tokenizer.put(endEvent);
    return client.log.substr(1);
}

} // namespace

TEST(HpglTokenizer, ReadsInstructionsAsTheirBodiesSay) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"SC0,100,-5,.5;", "SC(0,100,-5,0.5);"},
        {"SC 1 2+3-4;", "SC(1,2,3,-4);"},       // spaces and signs separate numbers
        {"S\r\nC1;", "SC(1);"},                 // separators between a mnemonic's letters
        {"PA1,2,3,4PA5", "PA<1 2 3 4>;PA<5>;"}, // a letter ends the numbers and begins
        {"PA1,2;;,,PA3", "PA<1 2>;PA<3>;"},     // stray bytes between instructions
        {"SC1.2.3;", "SC(1.2,0.3);"},           // a second point begins the next number
        {"SC-;", "SC(!);"},                     // a sign without digits
        {"SC+,1;", "SC(!);"},
        {"SC1*2;", "SC(1);"}, // a byte no number continues ends them
        {"OI;OI", "OI;OI;"},  // nothing read after the mnemonic
        {"Z;", "Z();"},       // a letter alone
        {"Z1;", "Z(1);"},
        {"LBab;c\x03PA1", "LB{ab;c};PA<1>;"}, // text is text
        {"DT*,5;", "DT{*}(5);"},              // a byte, then numbers
        {"SC1,2\x1f"
         "3;",
         "SC(1,2^);"}, // cut off between numbers
        {"SC12\x1f"
         "3;",
         "SC(12^);"}, // cut off inside one
        {"P\x1f"
         "A1;",
         "P();A(1);"},                 // between letters: the cut-off is dropped
        {"SC1,12345", "SC(1,12345);"}, // the end carries out what was read
        {"PA1", "PA<1>;"},
        {"LBunended", "LB{unended};"},
        {"S", "S();"},
        {"PA-;PA1;", "PA<!>;PA<1>;"}, // an illegal end is told once, not again for the next
        {"SC-\x1f;PA1;", "SC(!^);PA<1>;"},
    };
    for (const auto& [stream, expected] : cases) {
        EXPECT_EQ(tokens(stream), expected) << stream;
        EXPECT_EQ(tokens(stream, true, Feed::numberRuns), expected) << stream << " in number runs";
        EXPECT_EQ(tokens(stream, true, Feed::instructionRuns), expected)
            << stream << " in instruction runs";
    }
}

TEST(HpglTokenizer, AnInstructionWaitsForItsNextByte) {
    EXPECT_EQ(tokens("SC1,2", false), "SC");
    EXPECT_EQ(tokens("PA1,2,3", false), "PA<1 2") << "a number is handed over once it ends";
    EXPECT_EQ(tokens("P", false), "");
}

// Nothing is held but the number being read: a number of 5,000 digits, a
// fraction of as many and a million bytes of a mnemonic's skip cost no
// memory, and their values stay finite.
TEST(HpglTokenizer, HostileNumbersStayBounded) {
    const std::string digits(5000, '9');
    EXPECT_EQ(tokens("SC" + digits + ";"), "SC(1e+12);");
    EXPECT_EQ(tokens("SC0." + digits + "5;"), "SC(1);");
    EXPECT_EQ(tokens("SC-" + digits + ";"), "SC(-1e+12);");
    EXPECT_EQ(tokens("SC0." + digits + ",-" + digits + ";", true, Feed::numberRuns),
              "SC(1,-1e+12);");
    std::string many = "SC";
    for (int i = 0; i < 5000; ++i)
        many += std::to_string(i) + ",";
    Recorder client;
    client.log = " ";
    HpglTokenizer tokenizer(client);
    for (const char c : many + ";")
        tokenizer.put(static_cast<unsigned char>(c));
    EXPECT_EQ(client.last.count, 1000) << "counted up to where every instruction has too many";
    EXPECT_EQ(client.last.v.back(), double(Numbers::kept - 1)) << "the first ones kept";
}

// Numbers are read whole where the bytes at hand hold them, digit by digit
// where a piece ends within one or it has more digits than an integer
// keeps exactly: every way of cutting the stream in two gives each value
// to the last bit as the bytes one by one do.
TEST(HpglTokenizer, EveryCutGivesTheSameValues) {
    const std::string stream = "SP1;PA123456789012,-0.5;PD1234.5,3456.75,+.25,-7.,1234567890123,"
                               "0.1234567890123456,1.2.3 4\r\n5;PU-0,99999999999999999;PA1,-;"
                               "SC1,2\x1f;LBa;b\x03PA5,6PU;Z9;PA7";
    const std::string expected = tokens(stream, true, Feed::bytes, std::string::npos, true);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        for (const Feed feed : {Feed::numberRuns, Feed::instructionRuns})
            EXPECT_EQ(tokens(stream, true, feed, cut, true), expected)
                << "cut at " << cut << (feed == Feed::numberRuns ? " in number runs" : "");
    }
}

// Digits read eight at a time: numbers of every length up to past eight
// digits, ended by the bytes on either side of the digits, by one with the
// top bit set and by a point, each give what the bytes one by one give.
TEST(HpglTokenizer, NumbersOfEveryLengthGiveTheirValues) {
    EXPECT_EQ(tokens("PA00012300,-000000456,0000001.5,98765;", true, Feed::instructionRuns),
              "PA<12300 -456 1.5 98765>;");
    for (size_t length = 1; length <= 14; ++length) {
        std::string digits;
        for (size_t i = 0; i < length; ++i)
            digits += static_cast<char>('0' + (i * 7 + 3) % 10);
        for (const std::string end : {";", ",", "/", ":", "\x80PA", "\xffPA", ".25;"}) {
            const std::string stream = "PA" + digits + end + "9;PA-" + digits + "," + digits + end;
            const std::string expected = tokens(stream, true, Feed::bytes, std::string::npos, true);
            for (const Feed feed : {Feed::numberRuns, Feed::instructionRuns})
                EXPECT_EQ(tokens(stream, true, feed, std::string::npos, true), expected) << stream;
        }
    }
}
