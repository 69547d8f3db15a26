// libFuzzer target for ParseRotationArgument. The first input byte picks the size of the name and
// backup buffers (from 1 byte up to the 1,024 the writer uses), the rest is the argument. The
// buffers are allocated at exactly that size and filled with junk, so a write one byte too far
// or a missing terminator is caught; the results are compared with the rule for NAME~N.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "sentrel.h"

namespace {

constexpr size_t kSizes[] = {1, 2, 3, 4, 5, 7, 8, 16, 31, 64, 255, 256, 511, 1000, 1023, 1024};
constexpr char kJunk = 'J';

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "ParseRotationArgument: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const size_t buffer_size = kSizes[data[0] % (sizeof(kSizes) / sizeof(kSizes[0]))];
  // The argument ends at the first zero byte, as a command-line argument would.
  const std::string arg(reinterpret_cast<const char*>(data + 1), size - 1);
  const char* text = arg.c_str();

  char* name = static_cast<char*>(malloc(buffer_size));
  char* backup = static_cast<char*>(malloc(buffer_size));
  memset(name, kJunk, buffer_size);
  memset(backup, kJunk, buffer_size);
  int n = -7;
  int result = ParseRotationArgument(text, &n, name, backup, buffer_size);

  const char* tilde = strchr(text, '~');
  // A name is never cut: one that does not fit with its "~" makes no rotation spec.
  const bool is_name_n = tilde && tilde != text && atoi(tilde + 1) > 0 &&
                         static_cast<size_t>(tilde - text) + 2 <= buffer_size;
  Check(result == (is_name_n ? 0 : 1), "wrong answer to whether this is NAME~N");
  if (is_name_n) {
    const std::string expected_name(text, tilde - text);
    Check(n == atoi(tilde + 1), "N differs from the number after the first '~'");
    Check(RotationLimit(n) == static_cast<int64_t>(n) * 512 && RotationLimit(n) > 0,
          "the size limit is not N x 512");
    Check(memchr(name, '\0', buffer_size) && expected_name == name, "wrong or unterminated name");
    Check(memchr(backup, '\0', buffer_size) && expected_name + "~" == backup,
          "wrong or unterminated backup name");
  } else {
    Check(n == -7, "N was changed for an argument that is not NAME~N");
  }
  free(name);
  free(backup);
  return 0;
}
