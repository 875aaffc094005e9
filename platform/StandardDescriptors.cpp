#include "platform/StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kelvado {

void SecureStandardDescriptors() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Not close-on-exec: a program started from here gets the filled slot too.
    int got = ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_NOCTTY);
    // Without /dev/null (a bare chroot) the root folder holds the slot: it can be neither read nor written.
    if (got < 0) got = ::open("/", O_RDONLY | O_DIRECTORY);
    if (got < 0 || got == fd) continue;
    ::dup2(got, fd);
    ::close(got);
  }
}

namespace {
// Before any constructor of the program and before main(): a static object's constructor may open a file.
__attribute__((constructor(101))) void SecureAtLoad() { SecureStandardDescriptors(); }
}  // namespace

}  // namespace kelvado
