#pragma once
// Descriptors 0, 1 and 2 of a program started with one of them closed (`prog >&-`, a service): the next file
// the program opened would get that number, and its report or its messages would be written into that file
// (a database, a library). The platform library fills a closed one with /dev/null when it is loaded, and again
// before a file is read or a database opened, so that every program built on the engine is safe.
namespace kelvado {

// Opens /dev/null onto each of 0, 1 and 2 that is closed, in the direction that descriptor is not used for
// (write-only for 0, read-only for 1 and 2): a write to a closed standard output still fails, as before, but no
// file of the program can take its place. Cheap when nothing is closed.
void SecureStandardDescriptors() noexcept;

}  // namespace kelvado
