#!/usr/bin/env python3
"""Checks a man page source (scdoc) against its program's --help.

    check_man_page.py PAGE.scd PROGRAM

Reads every option (and command) that `PROGRAM --help` lists, and the options
of each command from `PROGRAM COMMAND --help`, then fails when the page does
not document one of them, or documents an option or command that the program
no longer has.

What the page must look like:
- an option is documented by a definition: a line that starts with the
  option in bold (`*-d*, *--device* _ADAPTER_`), then its description on
  lines indented by a tab;
- the program's own options are defined in the `# OPTIONS` section, each
  command's in its `## COMMAND` subsection of `# COMMANDS`; an option that
  every command's help repeats from the program's help (-h, --help) needs
  documenting once, in `# OPTIONS`;
- an option named in bold anywhere else (`*-x*`, `*--send-port*`) must be an
  option of the program or of one of its commands.

What --help must look like: option lines start with two to four spaces and
the option's names, comma-separated (`  -d,--device TEXT  ...`,
`  -q, --quiet  ...`), under a heading line that names options
(`Options:`); commands are listed the same way under `Subcommands:` or
`Commands:`.
"""

import re
import subprocess
import sys

HEADING = re.compile(r"^([A-Za-z][A-Za-z ]*):\s*$")
OPTION_LINE = re.compile(r"^ {1,4}(-[^\s,]+(?:,\s*-[^\s,]+)*)")
COMMAND_LINE = re.compile(r"^ {1,4}([a-z][\w-]*)(?:\s{2,}|$)")
NAME = re.compile(r"-{1,2}[A-Za-z0-9][\w-]*")
BOLD_OPTION = re.compile(r"\*(-{1,2}[A-Za-z0-9][\w-]*)")


class Help:
    """Options and commands of one --help text."""

    def __init__(self, text):
        self.options = set()
        self.commands = []
        section = ""
        for line in text.splitlines():
            heading = HEADING.match(line)
            if heading:
                section = heading.group(1).lower()
                continue
            if line and not line[0].isspace():
                section = ""  # text after a list ends it
                continue
            if "option" in section:
                m = OPTION_LINE.match(line)
                if m:
                    self.options.update(NAME.findall(m.group(1)))
            elif section in ("subcommands", "commands"):
                m = COMMAND_LINE.match(line)
                if m:
                    self.commands.append(m.group(1))


class Page:
    """What an scdoc page documents: options per section, commands, mentions."""

    def __init__(self, text):
        self.global_options = set()
        self.command_options = {}  # command -> options of its subsection
        self.mentions = set()  # options named in bold anywhere
        self.misplaced = []  # definitions outside OPTIONS and COMMANDS
        section, command = "", None
        lines = text.splitlines()
        for number, line in enumerate(lines, 1):
            if line.startswith("## "):
                command = line[3:].strip() if section == "COMMANDS" else None
                if command is not None:
                    self.command_options.setdefault(command, set())
                continue
            if line.startswith("# "):
                section, command = line[2:].strip(), None
                continue
            self.mentions.update(BOLD_OPTION.findall(line))
            # A definition: a term line, then its description indented by a tab.
            following = lines[number] if number < len(lines) else ""
            if not line.startswith("*-") or not following.startswith("\t"):
                continue
            names = set(BOLD_OPTION.findall(line))
            if command is not None:
                self.command_options[command] |= names
            elif section == "OPTIONS":
                self.global_options |= names
            else:
                self.misplaced.append((number, line))

    @property
    def commands(self):
        return list(self.command_options)


def run_help(program, *args):
    r = subprocess.run([program, *args, "--help"], capture_output=True, text=True, timeout=60)
    if r.returncode != 0:
        raise SystemExit(f"{program} {' '.join(args)} --help exited with {r.returncode}:\n{r.stderr}")
    return Help(r.stdout)


def known(option, options):
    """Whether option is one of options; -vv counts as -v given twice."""
    if option in options:
        return True
    m = re.fullmatch(r"-(\w)\1+", option)
    return bool(m) and f"-{m.group(1)}" in options


def check(page_text, program):
    """Returns the list of differences between the page and the program."""
    page = Page(page_text)
    top = run_help(program)
    problems = []
    if not top.options:
        problems.append(f"'{program} --help' lists no options: is its layout still understood?")
    for number, line in page.misplaced:
        problems.append(f"line {number}: option defined outside OPTIONS and COMMANDS: {line}")

    for opt in sorted(top.options - page.global_options):
        problems.append(f"option {opt} is in --help but not in the page's OPTIONS")
    for opt in sorted(page.global_options - top.options):
        problems.append(f"option {opt} is in the page's OPTIONS but not in --help")

    every = set(top.options)
    for cmd in top.commands:
        if cmd not in page.command_options:
            problems.append(f"command {cmd} is in --help but has no '## {cmd}' in COMMANDS")
    for cmd in page.commands:
        if cmd not in top.commands:
            problems.append(f"command {cmd} is in the page's COMMANDS but not in --help")
    for cmd in top.commands:
        sub = run_help(program, cmd)
        every |= sub.options
        documented = page.command_options.get(cmd, set())
        # Options the program's help lists too are documented once, in OPTIONS.
        for opt in sorted(sub.options - documented - (top.options & page.global_options)):
            problems.append(f"option {opt} of command {cmd} is not documented in '## {cmd}'")
        for opt in sorted(documented - sub.options):
            problems.append(f"option {opt} is documented in '## {cmd}' but '{cmd} --help' lacks it")

    for opt in sorted(page.mentions):
        if not known(opt, every):
            problems.append(f"the page names {opt}, which the program does not have")
    counts = (len(top.commands), len(every))
    return problems, counts


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    page_path, program = argv[1], argv[2]
    with open(page_path, encoding="utf-8") as f:
        problems, (commands, options) = check(f.read(), program)
    if problems:
        print(f"{page_path} does not match {program} --help:", file=sys.stderr)
        for p in problems:
            print(f"  {p}", file=sys.stderr)
        return 1
    print(f"{page_path}: {commands} commands and {options} options, as --help lists them")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
