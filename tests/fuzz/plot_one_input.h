#pragma once
// The whole in-process path for one input: reader, interpreter, page,
// labels and a transcript in a temporary file. Shared by the fuzzer and by
// the replay of the inputs it once crashed on.

#include <cstddef>
#include <cstdint>

namespace plotanix::testing {

// Runs the input as the computer's stream, split into chunks whose sizes
// come from the input's first byte, until the line falls silent. Returns the
// number of transcript bytes written, which must equal the input's size.
size_t plotOneInput(const uint8_t* data, size_t size);

} // namespace plotanix::testing
