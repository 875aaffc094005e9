#pragma once
// The fuzz entry of the XML store's reader, shared by the libFuzzer target and the test that replays the seed
// corpus in every build.
#include <cstddef>
#include <cstdint>

namespace kelvado::fuzz {

// Takes the bytes as the content of a store file and does with it what a program does: connect, read every
// table, column and row with every conversion, change rows and tables, save, and connect again. Input that is
// refused must be refused with the framework's errors; a file the store wrote must always read again (a
// broken rule aborts, which is what the fuzzer reports). Returns 0.
int FuzzXMLStoreOneInput(const uint8_t* data, size_t size);

}  // namespace kelvado::fuzz
