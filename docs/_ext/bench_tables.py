"""The ``bench-table`` directive: a table of rows from a benchmark's JSON file.

The benchmarks write their results as JSON (``--json``); the Performance and
Quality pages show a committed copy of such a file, so that a new run only
replaces the file and the tables follow. Options:

``:rows:``
    the key of the list of rows in the file (omit when the file is the list).
``:where:``
    ``key=value`` filters, separated by ``;``; ``key=a|b`` keeps the rows
    whose value is one of those; a bare ``key`` keeps the rows where that
    key is present and not null.
``:columns:``
    ``key[:header[:format]]`` columns separated by ``;``. ``format`` is how
    numbers are written (``.1f``); null shows as a dash and booleans as
    yes or no. A ``holds`` column missing from a row is ``ratio <= must``.
``:compare:``
    ``header=variant`` pairs separated by ``;``: a column per pair with the
    row's ``mean`` against that of the row of the same ``palette`` whose
    ``variant`` is the one named, in per cent.
``:pivot:``
    ``row_key;column_key;value_key[:format]``: one row per distinct
    ``row_key``, one column per distinct ``column_key``, in file order.

A file that says how it was made (the ``date``, ``command`` and ``machine``
that bench/report.py writes) gets that line under its table.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

from docutils import nodes
from docutils.parsers.rst import Directive, directives
from sphinx.application import Sphinx


def cell(value: Any, fmt: str) -> str:
    if value is None:
        return "—"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int | float) and fmt:
        return format(value, fmt)
    if isinstance(value, float):
        return format(value, "g")
    return str(value)


def percent(value: float, base: float) -> str:
    return f"{(value / base - 1) * 100:+.0f} %".replace("-", "−")


def build(header: list[str], body: list[list[str]], numeric: list[bool]) -> nodes.table:
    table = nodes.table(classes=["bench-table"])
    group = nodes.tgroup(cols=len(header))
    table += group
    for _ in header:
        group += nodes.colspec(colwidth=1)
    head = nodes.thead()
    group += head
    row = nodes.row()
    for title in header:
        row += nodes.entry("", nodes.paragraph(text=title))
    head += row
    rows = nodes.tbody()
    group += rows
    for values in body:
        row = nodes.row()
        for value, right in zip(values, numeric):
            row += nodes.entry("", nodes.paragraph(text=value), classes=["num"] if right else [])
        rows += row
    return table


def matches(row: dict[str, Any], where: str) -> bool:
    for test in filter(None, (t.strip() for t in where.split(";"))):
        key, sep, value = test.partition("=")
        if not sep:
            if row.get(key) is None:
                return False
        elif str(row.get(key.strip())) not in {v.strip() for v in value.split("|")}:
            return False
    return True


def provenance(whole: Any) -> list[nodes.Node]:
    """The line that says which run made a file's figures, when the file says it."""
    if not isinstance(whole, dict) or "date" not in whole or "command" not in whole:
        return []
    machine = whole.get("machine") or {}
    where = ""
    if machine.get("cpu"):
        cores = machine.get("usable_cores") or machine.get("cores")
        where = f", on {machine['cpu']}" + (f" ({cores} cores)" if cores else "")
    line = nodes.paragraph(classes=["bench-source"])
    line += nodes.Text("From ")
    line += nodes.literal(text=whole["command"])
    line += nodes.Text(f", {whole['date']}{where}.")
    return [line]


class BenchTable(Directive):
    required_arguments = 1
    option_spec = {
        "rows": directives.unchanged,
        "where": directives.unchanged,
        "columns": directives.unchanged,
        "compare": directives.unchanged,
        "pivot": directives.unchanged,
    }

    def run(self) -> list[nodes.Node]:
        env = self.state.document.settings.env
        relative, path = env.relfn2path(self.arguments[0])
        env.note_dependency(relative)
        whole = json.loads(Path(path).read_text(encoding="utf-8"))
        data = whole[self.options["rows"]] if "rows" in self.options else whole
        rows = [r for r in data if matches(r, self.options.get("where", ""))]
        if not rows:
            raise self.error(f"no rows of {self.arguments[0]} match")
        made = provenance(whole)
        if "pivot" in self.options:
            return [self.pivot(rows), *made]
        columns = [c.strip().split(":", 2) for c in self.options["columns"].split(";") if c.strip()]
        header, numeric, body = [], [], []
        for column in columns:
            header.append(column[1] if len(column) > 1 else column[0])
            numeric.append(len(column) > 2)
        pairs = [p.split("=", 1) for p in self.options.get("compare", "").split(";") if p.strip()]
        header += [f"vs {label.strip()}" for label, _ in pairs]
        numeric += [True] * len(pairs)
        for row in rows:
            values = []
            for column in columns:
                key, fmt = column[0], column[2] if len(column) > 2 else ""
                value = row.get(key)
                if key == "holds" and "holds" not in row and row.get("must") is not None:
                    value = row["ratio"] <= row["must"]
                values.append(cell(value, fmt))
            for _, variant in pairs:
                base = next(
                    (
                        r["mean"]
                        for r in data
                        if r.get("palette") == row.get("palette")
                        and r.get("variant") == variant.strip()
                    ),
                    None,
                )
                same = base is None or row.get("variant") == variant.strip()
                values.append("—" if same else percent(row["mean"], base))
            body.append(values)
        return [build(header, body, numeric), *made]

    def pivot(self, rows: list[dict[str, Any]]) -> nodes.table:
        row_key, column_key, value_column = (s.strip() for s in self.options["pivot"].split(";"))
        value_key, _, fmt = value_column.partition(":")
        names = list(dict.fromkeys(r[row_key] for r in rows))
        columns = list(dict.fromkeys(r[column_key] for r in rows))
        values = {(r[row_key], r[column_key]): r.get(value_key) for r in rows}
        body = [[name] + [cell(values.get((name, c)), fmt) for c in columns] for name in names]
        return build([row_key, *columns], body, [False] + [True] * len(columns))


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("bench-table", BenchTable)
    app.add_css_file("tables.css")
    return {"parallel_read_safe": True, "parallel_write_safe": True}
