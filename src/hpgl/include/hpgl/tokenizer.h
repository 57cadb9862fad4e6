#pragma once
// The HP-GL tokenizer the 7470A and HP-GL/2 models share. It is pushed
// one event at a time (a byte of HP-GL, the cut-off of the instruction
// being read, the end of the stream) and keeps where it stands in members:
// the mnemonic's first letter, the number being read, the instruction's
// numbers so far. So it resumes at any byte, and a pause of the line cuts
// nothing.
//
// Each instruction says, when its mnemonic has been read, how its body is
// read: numbers collected and handed over once they end; numbers handed
// over one by one as they come (a pen move of any length needs no memory);
// the bytes themselves (labels, PE, a skip the dialect reads its own way);
// or nothing at all.

#include "hpgl/syntax.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace plotanix {

// What the tokenizer is pushed besides bytes 0..255.
inline constexpr int endEvent = -1;   // the stream has ended
inline constexpr int abortEvent = -2; // the instruction being read is dropped

// A label keeps at most its first megabyte; the rest is read and dropped,
// so a label that never ends cannot use up memory.
inline constexpr size_t maxLabelBytes = size_t{1} << 20;

// How an instruction's body is read.
enum class Body : uint8_t {
    none,    // nothing: what follows is read as between instructions
    numbers, // collected, then handed over whole (numbers())
    stream,  // each number as it ends (number()), then numbersEnd()
    bytes,   // every event to byte() until it says it is done
};

// What byte() says of the event it was given.
enum class ByteStep : uint8_t {
    more,        // the body goes on
    done,        // the instruction is over
    giveBack,    // over, and the event belongs to what follows
    thenNumbers, // numbers follow, collected as for Body::numbers
};

// The model's side: its instructions' bodies and their handlers.
class TokenizerClient {
  public:
    // Each event between instructions, before it is read (HP-GL/2 carries
    // out a reset there).
    virtual void betweenInstructions() {}
    // A mnemonic: two letters, or one letter no other followed. Counted,
    // and carried out as far as it can be before its body.
    virtual Body instruction(std::string_view letters) = 0;
    virtual void numbers(const Numbers& values) { (void)values; }
    virtual void number(double value) { (void)value; }
    virtual void numbersEnd(bool illegal, bool aborted) { (void)illegal, (void)aborted; }
    virtual ByteStep byte(int event) {
        (void)event;
        return ByteStep::done;
    }
    // An instruction has been carried out.
    virtual void instructionDone() {}

  protected:
    ~TokenizerClient() = default;
};

class HpglTokenizer {
  public:
    explicit HpglTokenizer(TokenizerClient& client) : client_(client) {}

    // A byte of HP-GL (0..255), abortEvent or endEvent. After endEvent the
    // tokenizer stands between instructions, as at the start.
    void put(int event);
    // As put() for each byte, for a leading run of bytes that go on an
    // instruction's numbers (digits, points, signs, separators); stops at the
    // first byte it leaves for put() and says how many it took.
    size_t putNumbers(std::span<const uint8_t> bytes);
    // As putNumbers, and on through the ';' ending the numbers; or, between
    // instructions, a mnemonic of two letters. It stops after the client's
    // hand-overs other than number() and betweenInstructions(), so the
    // caller reads the next byte as what the client did says.
    size_t putInstructions(std::span<const uint8_t> bytes);
    // Whether an instruction is being read (its mnemonic or its body).
    bool inInstruction() const { return state_ != State::idle; }

  private:
    enum class State : uint8_t { idle, mnemonic, between, number, bytes };
    enum class Phase : uint8_t { whole, fraction };

    // One step; true when the event is to be read again in the new state.
    bool step(int event);
    bool idleStep(int event);
    bool mnemonicStep(int event);
    bool betweenStep(int event);
    bool numberStep(int event);
    bool bytesStep(int event);
    void startBody(Body body);
    // The number just read: ended by `event`, which is given back when it
    // can begin the next number or mnemonic.
    bool numberEnded(int event);
    static bool startsNumber(int event);
    void startNumber(int event);
    // A digit or the point of the number being read: false for a byte that
    // ends it.
    bool takeInNumber(int event);
    // The digits (and the point) of the number being read from p on: where
    // they end.
    const uint8_t* takeDigits(const uint8_t* p, const uint8_t* end);
    // The number read, of at least one digit, handed over or collected.
    void numberTaken();
    void handOver(double value);
    // A number starting at p and ended before `end`, read and handed over at
    // once, the tokenizer left between numbers: where it ends; nullptr when
    // it is left to takeDigits.
    const uint8_t* quickNumber(const uint8_t* p, const uint8_t* end);
    // putNumbers' loop: where the run it took ends.
    const uint8_t* takeNumbers(const uint8_t* p, const uint8_t* end);
    void endNumbers();
    void instructionOver() {
        state_ = State::idle;
        client_.instructionDone();
    }

    TokenizerClient& client_;
    State state_ = State::idle;
    Body body_ = Body::none;
    char first_ = 0;
    // The instruction's numbers and the one being read.
    Numbers collected_;
    Phase phase_ = Phase::whole;
    bool negative_ = false;
    int digits_ = 0;
    int fractionTaken_ = 0;
    double whole_ = 0, fraction_ = 0;
};

} // namespace plotanix
