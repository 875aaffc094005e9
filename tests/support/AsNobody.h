#pragma once
// Runs a piece of a test as the user nobody, for what root would pass by its privileges (it reads and writes
// every file whatever its mode): a forked child drops to nobody and sends its answer back as a text.
#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/support/RunInChild.h"

namespace kelvado::testing {

inline constexpr uid_t kNobody = 65534;

// `body`'s answer, "exception: <what>", "no nobody" (the child could not drop to nobody) or "died: <status>".
inline std::string AnswerAsNobody(const std::function<std::string()>& body) {
  return RunInChild(body, [] { return ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 ? "" : "no nobody"; });
}

}  // namespace kelvado::testing
