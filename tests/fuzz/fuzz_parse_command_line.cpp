// libFuzzer target for ParseCommandLine. The input, split at its zero bytes, is the argument
// vector after argv[0]; arguments can be as long as the input and hold any byte but zero. Beyond
// what the sanitizers catch, it checks what holds for every command line: the result is -1 or
// an index inside the vector, the vector is not reordered, flags are 0 or 1, each text field
// points into an argument, and a record full of stale values parses like a clean one.
#include <getopt.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "sentrel.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "ParseCommandLine: %s\n", what);
    abort();
  }
}

bool IsFlag(int value) {
  return value == 0 || value == 1;
}

// Text fields refer to the command line itself: the start of an argument, or the part after
// "-p" or "--pid-file=" inside one, never a copy.
bool PointsIntoArgument(const char* text, const std::vector<char*>& args) {
  if (!text) {
    return true;
  }
  uintptr_t address = reinterpret_cast<uintptr_t>(text);
  for (char* arg : args) {
    if (!arg) {
      continue;
    }
    uintptr_t start = reinterpret_cast<uintptr_t>(arg);
    if (address >= start && address <= start + strlen(arg)) {
      return true;
    }
  }
  return false;
}

int Parse(std::vector<char*>* args, Settings* settings) {
  // Both glibc and musl restart getopt_long from scratch, forgetting any half-read "-abc"
  // cluster, when optind is 0.
  optind = 0;
  return ParseCommandLine(static_cast<int>(args->size()) - 1, args->data(), settings);
}

// Byte for byte, so that a field added to Settings is compared too: ParseCommandLine clears
// the whole record, padding included, before it fills in the fields.
bool SameSettings(const Settings& a, const Settings& b) {
  return memcmp(&a, &b, sizeof(Settings)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The library's diagnostics for bad options would flood the fuzzer's output.
  opterr = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  static char program[] = "sentrel";
  std::vector<char*> args{program};
  for (size_t start = 0; start < size;) {
    args.push_back(text.data() + start);
    start += strlen(text.data() + start) + 1;
  }
  args.push_back(nullptr);
  const std::vector<char*> original = args;
  const int argc = static_cast<int>(args.size()) - 1;

  Settings stale;
  memset(&stale, 0xa5, sizeof(stale));
  int stale_index = Parse(&args, &stale);
  Check(args == original, "the argument vector was reordered");
  Settings clean;
  memset(&clean, 0, sizeof(clean));
  int index = Parse(&args, &clean);
  Check(index == stale_index, "the result depends on the record's old contents");
  Check(SameSettings(clean, stale), "fields kept values from before the parse");

  Check(index == -1 || (index >= 1 && index <= argc), "the result is outside the vector");
  if (index >= 1 && index < argc) {
    // Parsing stops at the first non-option; an option-like PROGRAM only follows "--".
    const char* first = args[index];
    Check(first[0] != '-' || first[1] == '\0' || strcmp(args[index - 1], "--") == 0,
          "PROGRAM looks like an option of the supervisor");
  }
  Check(IsFlag(clean.test_alive) && IsFlag(clean.stop) && IsFlag(clean.daemon) &&
            IsFlag(clean.help) && IsFlag(clean.respawn_kill) && IsFlag(clean.no_respawn) &&
            IsFlag(clean.enable_core),
        "a flag is neither 0 nor 1");
  Check(clean.stop || clean.stop_timeout == 0, "a stop timeout without --stop");
  const char* fields[] = {clean.log_file,      clean.pid_file,     clean.syslog_ident, clean.cwd,
                          clean.error_handler, clean.redirect_out, clean.redirect_err, clean.user};
  for (const char* field : fields) {
    Check(PointsIntoArgument(field, args), "a text field points outside the arguments");
  }

  // The path the monitor takes with one -R argument: the NAME~N parser on the same text.
  if (clean.redirect_out && clean.redirect_out == clean.redirect_err) {
    char name[kPathSize];
    char backup[kPathSize];
    memset(name, 0, sizeof(name));
    memset(backup, 0, sizeof(backup));
    int n = 0;
    if (ParseRotationArgument(clean.redirect_out, &n, name, backup, sizeof(name)) == 0) {
      Check(n > 0 && RotationLimit(n) == static_cast<int64_t>(n) * 512, "a bad size limit");
    }
  }
  return 0;
}
