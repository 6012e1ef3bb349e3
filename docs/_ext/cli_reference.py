"""The ``tonalis-cli`` directive: the command line's reference, read from its parser.

Every option, its metavar, default and help come from the argparse parsers
the ``tonalis`` command itself runs, so the page cannot drift from the
command. Each command gets its usage, its description, a table
of options per argument group, and the examples of its epilog.
"""

from __future__ import annotations

import argparse
import importlib
from importlib.metadata import entry_points

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx.application import Sphinx


def command_module() -> object:
    """The module of the installed `tonalis` command's entry point (ours: an
    unrelated distribution may install a command of the same name)."""
    found = entry_points(group="console_scripts", name="tonalis")
    for point in found:
        if point.module.split(".")[0] == "tonalis_tools":
            return importlib.import_module(point.module)
    return importlib.import_module("tonalis_tools.cli")


def parser_builder() -> object:
    """The function that builds the command's parsers: in the entry point's
    module, or in the parser module of its package."""
    module = command_module()
    if hasattr(module, "_build_parser"):
        return module._build_parser
    return importlib.import_module(module.__name__ + ".parser")._build_parser


def parsers() -> dict[str, argparse.ArgumentParser]:
    """The command's parsers by command name, the top-level one under '' and
    the steps of a command under 'command step' ('calibrate chart')."""
    root = parser_builder()()[0]
    found = {"": root}
    waiting = [("", root)]
    while waiting:
        prefix, parser = waiting.pop()
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                for name, sub in action.choices.items():
                    key = f"{prefix} {name}".strip()
                    found[key] = sub
                    waiting.append((key, sub))
    return found


def invocation(action: argparse.Action) -> str:
    """'-m, --method NAME' or 'INPUT' for one action."""
    if not action.option_strings:
        metavar = action.metavar or action.dest
        return metavar if action.nargs not in ("*", "+") else f"{metavar}..."
    if action.nargs == 0:
        return ", ".join(action.option_strings)
    metavar = action.metavar or action.dest.upper()
    if isinstance(metavar, tuple):
        metavar = " ".join(metavar)
    return ", ".join(action.option_strings) + f" {metavar}"


def help_text(action: argparse.Action, parser: argparse.ArgumentParser) -> str:
    """The help as `--help` prints it: %(default)s and the like filled in, %% as %."""
    if not action.help:
        return ""
    return parser._get_formatter()._expand_help(action)


def literal(text: str) -> nodes.literal_block:
    block = nodes.literal_block(text, text)
    block["language"] = "text"
    return block


def table(rows: list[tuple[str, str]]) -> nodes.table:
    tbl = nodes.table(classes=["cli-options"])
    group = nodes.tgroup(cols=2)
    tbl += group
    group += nodes.colspec(colwidth=35)
    group += nodes.colspec(colwidth=65)
    head = nodes.thead()
    group += head
    row = nodes.row()
    for title in ("Option", "Meaning"):
        row += nodes.entry("", nodes.paragraph(text=title))
    head += row
    body = nodes.tbody()
    group += body
    for option, meaning in rows:
        row = nodes.row()
        row += nodes.entry("", nodes.paragraph("", "", nodes.literal(text=option)))
        row += nodes.entry("", nodes.paragraph(text=meaning))
        body += row
    return tbl


class CliReference(Directive):
    """``.. tonalis-cli:: COMMAND``: the reference of one command ('main' for the
    top level, 'calibrate chart' for a step of a command)."""

    required_arguments = 1
    final_argument_whitespace = True

    def run(self) -> list[nodes.Node]:
        name = "" if self.arguments[0] == "main" else self.arguments[0]
        parser = parsers()[name]
        out: list[nodes.Node] = [literal(parser.format_usage().strip())]
        if parser.description:
            out += [nodes.paragraph(text=" ".join(parser.description.split()))]
        for group in parser._action_groups:
            rows = [
                (invocation(a), help_text(a, parser))
                for a in group._group_actions
                if a.help is not argparse.SUPPRESS and not isinstance(a, argparse._SubParsersAction)
            ]
            if not rows:
                continue
            title = group.title or "arguments"
            out += [nodes.rubric(text=title[:1].upper() + title[1:]), table(rows)]
        if parser.epilog:
            lines = parser.epilog.splitlines()
            if lines and lines[0].rstrip().endswith(":"):
                lines = lines[1:]
            out += [nodes.rubric(text="Examples"), literal("\n".join(lines).rstrip())]
        return out


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("tonalis-cli", CliReference)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
