"""The man-page check (docs/man/check_man_page.py): it must fail on every kind
of drift between a page and its program's --help, and pass a page that
matches. Runs against a stand-in program with known help texts and, when the
environment names them, against the canfd tool and its real page."""

import importlib.machinery
import os
import stat
import sys
import tempfile
import textwrap
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.environ.get(
    "CANFD_CHECK_MAN_PAGE", os.path.join(HERE, "..", "..", "docs", "man", "check_man_page.py"))
checker = types.ModuleType("check_man_page")
checker.__file__ = CHECKER
importlib.machinery.SourceFileLoader("check_man_page", CHECKER).exec_module(checker)

# The stand-in program's help texts, in the layout of CLI11.
TOP_HELP = """\
tool: does things
Usage: tool [OPTIONS] SUBCOMMAND

Options:
  -h,--help                       Print this help message and exit
  --version                       Display program version information and exit

Subcommands:
  send                            Send frames
  reset                           Reset the adapter

Adapters: with one attached, none needs naming.
  -x  an indented line after the lists, which is not an option
"""
SEND_HELP = """\
Send frames
Usage: tool send [OPTIONS] port

Positionals:
  port INT REQUIRED               port to send on

Options:
  -h,--help                       Print this help message and exit
  -d,--device TEXT                adapter
  --enable Excludes: --disable    switch on
  --disable Excludes: --enable    switch off
  -v,--verbose                    print each frame (-vv: more)
  -t TEXT:{a,A}                   time stamps
"""
RESET_HELP = """\
Reset
Usage: tool reset [OPTIONS]

Options:
  -h,--help                       Print this help message and exit
  --watchdog                      watchdog reset
"""

PAGE = """\
tool(1)

# NAME

tool - does things; see *send -v* and *-vv*.

# OPTIONS

*-h*, *--help*
\tPrint the help.

*--version*
\tPrint the version.

# COMMANDS

## send

*-d*, *--device* _ADAPTER_
\tThe adapter.

*--enable*
\tSwitch on.

*--disable*
\tSwitch off.

*-v*, *--verbose*
\tPrint each frame; *-vv* prints more.

*-t* *a*|*A*
\tTime stamps.

## reset

*--watchdog*
\tWatchdog reset.

# NOTES

*--watchdog* starts this prose line, which is no definition.
"""


def make_program(directory, helps):
    """A program that prints helps[' '.join(args before --help)]."""
    path = os.path.join(directory, "tool")
    with open(path, "w") as f:
        f.write(f"#!{sys.executable}\n")
        f.write("import sys\n")
        f.write(f"helps = {helps!r}\n")
        f.write("key = ' '.join(a for a in sys.argv[1:] if a != '--help')\n")
        f.write("if key not in helps: sys.exit(109)\n")
        f.write("sys.stdout.write(helps[key])\n")
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return path


class StandIn(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.helps = {"": TOP_HELP, "send": SEND_HELP, "reset": RESET_HELP}

    def tearDown(self):
        self.dir.cleanup()

    def problems(self, page, helps=None):
        program = make_program(self.dir.name, helps or self.helps)
        return checker.check(page, program)[0]

    def assertProblem(self, problems, *words):
        self.assertTrue(any(all(w in p for w in words) for p in problems),
                        f"no problem names {words}: {problems}")

    def test_matching_page_passes_and_counts(self):
        program = make_program(self.dir.name, self.helps)
        problems, (commands, options) = checker.check(PAGE, program)
        self.assertEqual(problems, [])
        # -h --help --version; -d --device --enable --disable -v --verbose -t; --watchdog
        self.assertEqual((commands, options), (2, 11))

    def test_option_missing_from_command_section(self):
        page = PAGE.replace("*--watchdog*\n\tWatchdog reset.\n", "")
        self.assertProblem(self.problems(page), "--watchdog", "reset", "not documented")

    def test_option_documented_under_the_wrong_command(self):
        page = PAGE.replace("*--watchdog*\n\tWatchdog reset.\n", "").replace(
            "## reset", "*--watchdog*\n\tWatchdog reset.\n\n## reset")
        problems = self.problems(page)
        self.assertProblem(problems, "--watchdog", "'## send'", "lacks")
        self.assertProblem(problems, "--watchdog", "reset", "not documented")

    def test_option_the_program_no_longer_has(self):
        helps = dict(self.helps, send=SEND_HELP.replace("  --disable Excludes: --enable    switch off\n", ""))
        self.assertProblem(self.problems(PAGE, helps), "--disable", "lacks")

    def test_global_option_missing_or_gone(self):
        page = PAGE.replace("*--version*\n\tPrint the version.\n", "")
        self.assertProblem(self.problems(page), "--version", "not in the page's OPTIONS")
        helps = dict(self.helps, **{"": TOP_HELP.replace("  --version ", "  --versions ")})
        problems = self.problems(PAGE, helps)
        self.assertProblem(problems, "--version", "not in --help")
        self.assertProblem(problems, "--versions", "not in the page's OPTIONS")

    def test_help_of_every_command_is_inherited_only_when_the_page_has_it(self):
        page = PAGE.replace("*-h*, *--help*\n\tPrint the help.\n", "")
        problems = self.problems(page)
        for cmd in ("send", "reset"):
            self.assertProblem(problems, "--help", f"command {cmd}")

    def test_commands_missing_or_extra(self):
        page = PAGE.replace("## reset\n\n*--watchdog*\n\tWatchdog reset.\n", "")
        self.assertProblem(self.problems(page), "command reset", "no '## reset'")
        page = PAGE.replace("## reset\n", "## flash\n\nFlashes.\n\n## reset\n")
        self.assertProblem(self.problems(page), "command flash", "not in --help")

    def test_bold_mention_of_an_unknown_option(self):
        page = PAGE.replace("see *send -v*", "see *--colour*")
        self.assertProblem(self.problems(page), "--colour", "does not have")
        # -vv is -v twice; -ww is nothing.
        self.assertNotIn("-vv", " ".join(self.problems(PAGE)))
        self.assertProblem(self.problems(PAGE.replace("*-vv* prints", "*-ww* prints")), "-ww")

    def test_prose_line_starting_with_an_option_is_no_definition(self):
        # The NOTES line names --watchdog in bold at the start of a line; were
        # it a definition, it would be flagged as outside OPTIONS and COMMANDS.
        self.assertEqual(self.problems(PAGE), [])
        page = PAGE.replace("*--watchdog* starts this prose line, which is no definition.",
                            "*--watchdog*\n\tDefined in the wrong place.")
        self.assertProblem(self.problems(page), "outside OPTIONS and COMMANDS")

    def test_help_without_option_lists_fails(self):
        helps = dict(self.helps, **{"": "tool: does things\nUsage: tool [options]\n"})
        self.assertProblem(self.problems(PAGE, helps), "lists no options")

    def test_failing_help_stops_the_check(self):
        helps = {"": TOP_HELP, "send": SEND_HELP}  # 'tool reset --help' exits 109
        with self.assertRaises(SystemExit) as e:
            self.problems(PAGE, helps)
        self.assertIn("109", str(e.exception))


@unittest.skipUnless(os.environ.get("CANFD_MAN_PROGRAM"), "CANFD_MAN_PROGRAM is not set")
class RealPage(unittest.TestCase):
    """The canfd tool and its page: a page that loses any one option's
    definition, or gains one the tool lacks, fails."""

    def setUp(self):
        with open(os.environ["CANFD_MAN_SOURCE"], encoding="utf-8") as f:
            self.page = f.read()
        self.program = os.environ["CANFD_MAN_PROGRAM"]

    def test_page_matches(self):
        self.assertEqual(checker.check(self.page, self.program)[0], [])

    def test_each_removed_definition_is_caught(self):
        lines = self.page.splitlines(keepends=True)
        terms = [i for i, l in enumerate(lines)
                 if l.startswith("*-") and i + 1 < len(lines) and lines[i + 1].startswith("\t")]
        self.assertGreater(len(terms), 40)
        for i in terms:
            end = i + 1
            while end < len(lines) and lines[end].startswith("\t"):
                end += 1
            page = "".join(lines[:i] + lines[end:])
            names = checker.BOLD_OPTION.findall(lines[i])
            problems = checker.check(page, self.program)[0]
            with self.subTest(term=lines[i].strip()):
                self.assertTrue(any(f"option {names[0]} " in p for p in problems), problems)

    def test_added_option_is_caught(self):
        page = self.page.replace("*--watchdog*\n", "*--power-cycle*\n\tCuts the power.\n\n*--watchdog*\n")
        self.assertTrue(any("--power-cycle" in p for p in checker.check(page, self.program)[0]))


if __name__ == "__main__":
    unittest.main()
