// Unit tests of the pure functions: option parsing, the NAME~N parser, the rotation size
// arithmetic, the event log's time stamp and the text formatter.
#include <getopt.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdarg.h>
#include <string.h>
#include <time.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "sentrel.h"

namespace {

// A writable argv built from literals, with "sentrel" as argv[0] and a null terminator.
class Argv {
 public:
  Argv() : Argv(std::initializer_list<const char*>{}) {}
  Argv(std::initializer_list<const char*> args) {
    storage_.push_back("sentrel");
    storage_.insert(storage_.end(), args.begin(), args.end());
    for (std::string& arg : storage_) {
      pointers_.push_back(&arg[0]);
    }
    pointers_.push_back(nullptr);
  }
  // The pointers refer to this object's strings, so it must stay where it was built.
  Argv(const Argv&) = delete;
  Argv& operator=(const Argv&) = delete;
  int argc() const {
    return static_cast<int>(storage_.size());
  }
  char* const* argv() const {
    return pointers_.data();
  }
  char* operator[](int i) const {
    return pointers_[i];
  }
  // True when p points inside one of the arguments: text fields must not be copies.
  bool Holds(const char* p) const {
    for (const std::string& arg : storage_) {
      if (p >= arg.data() && p <= arg.data() + arg.size()) {
        return true;
      }
    }
    return false;
  }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

int Parse(const Argv& args, Settings* settings) {
  optind = 0;
  opterr = 0;
  return ParseCommandLine(args.argc(), args.argv(), settings);
}

Settings Zeroed() {
  Settings settings;
  memset(&settings, 0, sizeof(settings));
  return settings;
}

bool SameSettings(const Settings& a, const Settings& b) {
  return memcmp(&a, &b, sizeof(Settings)) == 0;
}

struct IntCase {
  Argv args;
  int Settings::*field;
  int expected;
  int Settings::*second_field;  // K sets two fields; null otherwise
  int second_expected;
};

TEST(ParseCommandLine, IntegerOptionsSetOnlyTheirField) {
  const IntCase cases[] = {
      {{"-a", "p"}, &Settings::test_alive, 1, nullptr, 0},
      {{"--test-alive", "p"}, &Settings::test_alive, 1, nullptr, 0},
      {{"-K", "5", "p"}, &Settings::stop, 1, &Settings::stop_timeout, 5},
      {{"--stop=12", "p"}, &Settings::stop, 1, &Settings::stop_timeout, 12},
      {{"--stop", "3", "p"}, &Settings::stop, 1, &Settings::stop_timeout, 3},
      {{"-K", "abc", "p"}, &Settings::stop, 1, &Settings::stop_timeout, 0},
      {{"-d", "p"}, &Settings::daemon, 1, nullptr, 0},
      {{"--daemon", "p"}, &Settings::daemon, 1, nullptr, 0},
      {{"-h", "p"}, &Settings::help, 1, nullptr, 0},
      {{"--help", "p"}, &Settings::help, 1, nullptr, 0},
      {{"-k", "p"}, &Settings::respawn_kill, 1, nullptr, 0},
      {{"--respawn-kill", "p"}, &Settings::respawn_kill, 1, nullptr, 0},
      {{"-t", "7", "p"}, &Settings::respawn_delay, 7, nullptr, 0},
      {{"--respawn-delay=30", "p"}, &Settings::respawn_delay, 30, nullptr, 0},
      {{"-t", "abc", "p"}, &Settings::respawn_delay, 0, nullptr, 0},
      {{"-t", "3s", "p"}, &Settings::respawn_delay, 3, nullptr, 0},
      {{"-t", "-2", "p"}, &Settings::respawn_delay, -2, nullptr, 0},
      {{"-n", "p"}, &Settings::no_respawn, 1, nullptr, 0},
      {{"--no-respawn", "p"}, &Settings::no_respawn, 1, nullptr, 0},
      {{"-c", "p"}, &Settings::enable_core, 1, nullptr, 0},
      {{"--enable-core", "p"}, &Settings::enable_core, 1, nullptr, 0},
      {{"-F", "4096", "p"}, &Settings::max_nofile, 4096, nullptr, 0},
      {{"--max-nofile=-1", "p"}, &Settings::max_nofile, -1, nullptr, 0},
      {{"-F", "many", "p"}, &Settings::max_nofile, 0, nullptr, 0},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(c.args[1]);
    Settings settings;
    ASSERT_EQ(Parse(c.args, &settings), c.args.argc() - 1);
    Settings expected = Zeroed();
    expected.*c.field = c.expected;
    if (c.second_field) {
      expected.*c.second_field = c.second_expected;
    }
    EXPECT_TRUE(SameSettings(settings, expected));
  }
}

struct TextCase {
  Argv args;
  const char* Settings::*field;
  const char* expected;
};

TEST(ParseCommandLine, TextOptionsPointIntoArgv) {
  const TextCase cases[] = {
      {{"-l", "events.log", "p"}, &Settings::log_file, "events.log"},
      {{"--log-file=/var/log/x", "p"}, &Settings::log_file, "/var/log/x"},
      {{"-p", "run.pid", "p"}, &Settings::pid_file, "run.pid"},
      {{"--pid-file", "run.pid", "p"}, &Settings::pid_file, "run.pid"},
      {{"-prun.pid", "p"}, &Settings::pid_file, "run.pid"},
      {{"-s", "ident", "p"}, &Settings::syslog_ident, "ident"},
      {{"--syslog=ident", "p"}, &Settings::syslog_ident, "ident"},
      {{"-w", "/tmp", "p"}, &Settings::cwd, "/tmp"},
      {{"--cwd=/tmp", "p"}, &Settings::cwd, "/tmp"},
      {{"-e", "report", "p"}, &Settings::error_handler, "report"},
      {{"--error-handler=report", "p"}, &Settings::error_handler, "report"},
      {{"-O", "out", "p"}, &Settings::redirect_out, "out"},
      {{"--redirect-out=out", "p"}, &Settings::redirect_out, "out"},
      {{"-E", "err", "p"}, &Settings::redirect_err, "err"},
      {{"--redirect-err=err", "p"}, &Settings::redirect_err, "err"},
      {{"-u", "nobody", "p"}, &Settings::user, "nobody"},
      {{"--user", "nobody", "p"}, &Settings::user, "nobody"},
      {{"--user=", "p"}, &Settings::user, ""},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.args[1]);
    Settings settings;
    ASSERT_EQ(Parse(c.args, &settings), c.args.argc() - 1);
    const char* value = settings.*c.field;
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, c.expected);
    EXPECT_TRUE(c.args.Holds(value));
    Settings rest = settings;
    rest.*c.field = nullptr;
    EXPECT_TRUE(SameSettings(rest, Zeroed()));
  }
}

TEST(ParseCommandLine, ResetsEveryField) {
  Argv args({"p"});
  Settings settings;
  memset(&settings, 0x5a, sizeof(settings));
  EXPECT_EQ(Parse(args, &settings), 1);
  EXPECT_TRUE(SameSettings(settings, Zeroed()));
}

TEST(ParseCommandLine, LastOptionWins) {
  Argv args(
      {"-t", "3", "--respawn-delay=9", "-p", "a", "--pid-file=b", "-K", "1", "--stop", "4", "p"});
  Settings settings;
  ASSERT_EQ(Parse(args, &settings), 11);
  EXPECT_EQ(settings.respawn_delay, 9);
  EXPECT_STREQ(settings.pid_file, "b");
  EXPECT_EQ(settings.stop, 1);
  EXPECT_EQ(settings.stop_timeout, 4);
}

TEST(ParseCommandLine, RedirectBothKeepsOneReference) {
  struct {
    Argv args;
    int out_index;  // argv index whose very pointer each field must hold
    int err_index;
  } cases[] = {
      {{"-R", "both", "p"}, 2, 2},         {{"--redirect", "both", "p"}, 2, 2},
      {{"-O", "a", "-R", "b", "p"}, 4, 4}, {{"-R", "b", "-E", "c", "p"}, 2, 4},
      {{"-E", "c", "-R", "b", "p"}, 4, 4}, {{"-R", "b", "-O", "b", "p"}, 4, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1]);
    Settings settings;
    ASSERT_EQ(Parse(c.args, &settings), c.args.argc() - 1);
    EXPECT_EQ(settings.redirect_out, c.args[c.out_index]);
    EXPECT_EQ(settings.redirect_err, c.args[c.err_index]);
  }
  // --redirect=FILE: both fields are the same pointer into the argument, after the '='.
  Argv args({"--redirect=both", "p"});
  Settings settings;
  ASSERT_EQ(Parse(args, &settings), 2);
  EXPECT_EQ(settings.redirect_out, args[1] + strlen("--redirect="));
  EXPECT_EQ(settings.redirect_err, settings.redirect_out);
}

TEST(ParseCommandLine, StopsAtProgram) {
  Argv args({"-a", "prog", "-p", "x", "-h", "--daemon"});
  Settings settings;
  ASSERT_EQ(Parse(args, &settings), 2);
  Settings expected = Zeroed();
  expected.test_alive = 1;
  EXPECT_TRUE(SameSettings(settings, expected));

  Argv dashes({"-k", "--", "-n"});
  ASSERT_EQ(Parse(dashes, &settings), 3);
  EXPECT_EQ(settings.no_respawn, 0);
  EXPECT_EQ(settings.respawn_kill, 1);

  Argv no_program({"-d", "-t", "2"});
  EXPECT_EQ(Parse(no_program, &settings), no_program.argc());
  Argv nothing;
  EXPECT_EQ(Parse(nothing, &settings), 1);
}

TEST(ParseCommandLine, RejectsUnknownOptionAndMissingArgument) {
  const Argv cases[] = {
      {"-x", "p"}, {"--bogus", "p"}, {"-t"}, {"--pid-file"}, {"-u"}, {"--help=yes", "p"},
  };
  for (const Argv& args : cases) {
    SCOPED_TRACE(args[1]);
    Settings settings;
    EXPECT_EQ(Parse(args, &settings), -1);
  }
  // Options after the bad one are left unread.
  Argv args({"-t", "4", "-x", "-h", "-n", "p"});
  Settings settings;
  ASSERT_EQ(Parse(args, &settings), -1);
  EXPECT_EQ(settings.respawn_delay, 4);
  EXPECT_EQ(settings.help, 0);
  EXPECT_EQ(settings.no_respawn, 0);
}

TEST(ParseRotationArgument, Table) {
  struct {
    const char* arg;
    int result;
    int n;
    const char* name;
    const char* backup;
  } cases[] = {
      {"out~8", 0, 8, "out", "out~"},
      {"/var/log/p.log~100", 0, 100, "/var/log/p.log", "/var/log/p.log~"},
      {"out~12k", 0, 12, "out", "out~"},
      {"out~0", 1, 0, nullptr, nullptr},
      {"out~x", 1, 0, nullptr, nullptr},
      {"out~-1", 1, 0, nullptr, nullptr},
      {"out~", 1, 0, nullptr, nullptr},
      {"~5", 1, 0, nullptr, nullptr},
      {"out", 1, 0, nullptr, nullptr},
      {"a~b~3", 1, 0, nullptr, nullptr},
      {"a~3~b", 0, 3, "a", "a~"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    int n = -99;
    char name[kPathSize];
    char backup[kPathSize];
    memset(name, 0, sizeof(name));
    memset(backup, 0, sizeof(backup));
    ASSERT_EQ(ParseRotationArgument(c.arg, &n, name, backup, sizeof(name)), c.result);
    if (c.result == 0) {
      EXPECT_EQ(n, c.n);
      EXPECT_STREQ(name, c.name);
      EXPECT_STREQ(backup, c.backup);
    }
  }
}

TEST(ParseRotationArgument, NameThatDoesNotFitWithItsTildeIsNoSpec) {
  char name[kPathSize];
  char backup[kPathSize];
  // The longest name that fits leaves room for exactly its "~" and the terminator.
  for (size_t length : {sizeof(name) - 2, sizeof(name) - 1, sizeof(name) + 76}) {
    std::string arg(length, 'n');
    arg += "~4";
    int n = -7;
    memset(name, 'z', sizeof(name));
    memset(backup, 'z', sizeof(backup));
    int result = ParseRotationArgument(arg.c_str(), &n, name, backup, sizeof(name));
    if (length + 2 <= sizeof(name)) {
      ASSERT_EQ(result, 0) << length;
      EXPECT_EQ(std::string(name), std::string(length, 'n'));
      EXPECT_EQ(std::string(backup), std::string(length, 'n') + "~");
    } else {
      // Cutting it would name some other file.
      EXPECT_EQ(result, 1) << length;
      EXPECT_EQ(n, -7) << length;
    }
  }
}

TEST(RotationLimit, Is512BytesPerUnitIn64Bits) {
  const struct {
    int n;
    int64_t bytes;
  } cases[] = {
      {1, 512},
      {8, 4096},
      {4194304, INT64_C(2147483648)},
      {2147483647, INT64_C(1099511627264)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RotationLimit(c.n), c.bytes) << c.n;
  }
}

TEST(FormatTimeStamp, Table) {
  const struct {
    int year, month, day, hour, minute, second;  // as in struct tm
    const char* expected;
  } cases[] = {
      {124, 0, 5, 3, 4, 9, "2024-01-05 03:04:09 "},
      {99, 11, 31, 23, 59, 59, "1999-12-31 23:59:59 "},
      {70, 0, 1, 0, 0, 0, "1970-01-01 00:00:00 "},
      {200, 8, 10, 12, 30, 45, "2100-09-10 12:30:45 "},
  };
  for (const auto& c : cases) {
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = c.year;
    tm.tm_mon = c.month;
    tm.tm_mday = c.day;
    tm.tm_hour = c.hour;
    tm.tm_min = c.minute;
    tm.tm_sec = c.second;
    char buf[kTimeStampSize];
    memset(buf, 'z', sizeof(buf));
    int length = FormatTimeStamp(&tm, buf, sizeof(buf));
    EXPECT_STREQ(buf, c.expected);
    EXPECT_EQ(length, static_cast<int>(strlen(c.expected)));
  }
}

// What FormatTextV made of format in the first size bytes of a larger buffer, its result, and
// whether it touched a byte beyond size.
struct Formatted {
  std::string text;
  int length;
  bool overran;
};

__attribute__((format(printf, 2, 3))) Formatted Format(size_t size, const char* format, ...) {
  char buf[64];
  memset(buf, 'z', sizeof(buf));
  va_list args;
  va_start(args, format);
  int length = FormatTextV(buf, size, format, args);
  va_end(args);
  std::string text(buf, size > 0 ? strnlen(buf, size) : 0);
  return {text, length,
          std::string(buf + size, sizeof(buf) - size).find_first_not_of('z') != std::string::npos};
}

TEST(FormatText, Table) {
  const struct {
    Formatted got;
    const char* text;
    int length;
  } cases[] = {
      {Format(64, "pid=%d, signal=%d", 0, 15), "pid=0, signal=15", 16},
      {Format(64, "%d", -17), "-17", 3},
      {Format(64, "%d|%d", INT_MIN, INT_MAX), "-2147483648|2147483647", 22},
      {Format(64, "%ld %lld", -1L, LLONG_MIN), "-1 -9223372036854775808", 23},
      {Format(64, "%04d-%02d %02d", 7, 123, 0), "0007-123 00", 11},
      {Format(64, "%04d|%3d", -7, -7), "-007| -7", 8},
      {Format(64, "%s: %s%s.", "a", "bc", ""), "a: bc.", 6},
      {Format(64, "%.*s|%.*s", 3, "abcdef", 9, "ab"), "abc|ab", 6},
      {Format(64, "100%%"), "100%", 4},
      // Cut to the buffer, terminated, and still counting the whole text.
      {Format(4, "%s", "abcdef"), "abc", 6},
      {Format(3, "x%d", -12345), "x-", 7},
      {Format(1, "%d", 42), "", 2},
      {Format(0, "%d", 42), "", 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.got.text, c.text);
    EXPECT_EQ(c.got.length, c.length) << c.text;
    EXPECT_FALSE(c.got.overran) << c.text;
  }
  char buf[8];
  EXPECT_EQ(FormatText(buf, sizeof(buf), "%d%s", 12, "ab"), 4);
  EXPECT_STREQ(buf, "12ab");
}

}  // namespace
