"""The manual page against the program: the same options, the same arguments, clean rendering."""
import os
import re
import shutil
import subprocess
import unittest

import sentrel_testlib as testlib

MAN_PAGE = os.path.join(testlib.HERE, "..", "man", "sentrel.1")

# "-K, --stop=TIMEOUT" at the start of an option entry, in the help text and the rendered page.
OPTION_LINE = re.compile(r"^\s+-(\w), --([a-z-]+)(?:=(\w+))?\s*")


def render_man_page(*groff_args):
    """The page as plain text, or None when groff is missing."""
    if not shutil.which("groff"):
        return None
    result = subprocess.run(["groff", "-man", "-Tascii", "-P", "-cbou"] + list(groff_args)
                            + [MAN_PAGE], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=30, check=True)
    return result.stdout.decode("ascii")


def options_of(lines):
    """{long name: (short letter, argument name or None)} of the option lines among lines."""
    found = {}
    for line in lines:
        match = OPTION_LINE.match(line)
        if match:
            short, long_name, argument = match.groups()
            found[long_name] = (short, argument)
    return found


def section(text, title):
    """The lines of one top-level section of a rendered page."""
    lines = text.splitlines()
    start = lines.index(title) + 1
    end = next(i for i in range(start, len(lines)) if re.match(r"^[A-Z]", lines[i]))
    return lines[start:end]


class ManPageOptionsTest(testlib.SentrelTestCase):
    """Every option of the help text is documented, and nothing else, with the same arguments."""

    def setUp(self):
        super().setUp()
        text = render_man_page()
        if text is None:
            self.skipTest("groff is not installed (scripts/install-deps installs it)")
        self.man_options = options_of(section(text, "OPTIONS"))
        result = self.run_sentrel("--help")
        self.assertEqual(result.returncode, 0)
        self.usage_options = options_of(result.stdout.decode().splitlines())

    def test_same_options_with_same_short_letters(self):
        self.assertEqual(len(self.usage_options), 18)
        self.assertEqual({name: short for name, (short, _) in self.man_options.items()},
                         {name: short for name, (short, _) in self.usage_options.items()})

    def test_same_argument_names_where_the_help_text_shows_one(self):
        for name, (_, argument) in self.usage_options.items():
            if argument:
                with self.subTest(option=name):
                    self.assertEqual(self.man_options[name][1], argument)

    def test_documented_arguments_are_what_the_parser_requires(self):
        # The help text does not show every argument (--user takes one), so the parser decides:
        # it rejects a required argument left out, and an argument given to a plain flag, with
        # the hint line, where a wrongly documented option would run or print the usage text.
        # An option missing its argument comes last, or it would take the next word for one.
        hint = ("Try `%s --help' for more information.\n" % testlib.SENTREL).encode()
        launch = ["sh", "-c", ": > launched"]
        for name, (short, argument) in sorted(self.man_options.items()):
            if argument:
                attempts = (["-" + short], ["--" + name])
            else:
                attempts = (["--%s=x" % name] + launch,)
            for args in attempts:
                with self.subTest(args=args):
                    result = self.run_sentrel(*args)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertTrue(result.stderr.endswith(hint), result.stderr)
                    self.assertEqual(result.stdout, b"")
                    self.assertFalse(os.path.exists(self.path("launched")))


class ManPageRenderingTest(unittest.TestCase):
    """The page formats without a single warning, as man shows it and as lintian checks it."""

    def test_groff_reports_nothing(self):
        if not shutil.which("groff"):
            self.skipTest("groff is not installed (scripts/install-deps installs it)")
        for device in ("ascii", "utf8"):
            with self.subTest(device=device):
                result = subprocess.run(["groff", "-man", "-ww", "-z", "-T" + device, MAN_PAGE],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        timeout=30)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")

    def test_man_reports_nothing(self):
        if not shutil.which("man"):
            self.skipTest("man is not installed (scripts/install-deps installs man-db)")
        for width in ("80", "60"):
            with self.subTest(width=width):
                env = dict(os.environ, MANWIDTH=width, LC_ALL="C.UTF-8")
                result = subprocess.run(["man", "--warnings", "-l", MAN_PAGE], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        timeout=30)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                self.assertIn(b"--redirect", result.stdout)


if __name__ == "__main__":
    unittest.main()
