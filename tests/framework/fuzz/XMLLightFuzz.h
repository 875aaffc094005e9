#pragma once
// The fuzz entry of the XML-light reader, shared by the libFuzzer target and the test that replays the seed
// corpus in every build.
#include <cstddef>
#include <cstdint>

namespace kelvado::fuzz {

// Takes the bytes as a document (and, when they look like zlib data, as a compressed one) and reads it with
// both field-name styles and both tag sizes; what reads must write and read again to the same document. Then
// it does with the text what the clipboard store does: connect, read every table, column and row with every
// conversion, change rows, commit, and read the document the commit gave. Input that is refused must be
// refused with the framework's errors; a broken rule aborts (what the fuzzer reports). Returns 0.
int FuzzXMLLightOneInput(const uint8_t* data, size_t size);

}  // namespace kelvado::fuzz
