"""The mutation operators of tools/mutate: what one line of C or C++ may become."""

import re

# Each is (name, pattern, replacement or function of the match). clang-format puts blanks around
# binary operators, so " < " is a comparison and "vector<int>" is not.
FLIPS = {" == ": " != ", " != ": " == ", " < ": " >= ", " >= ": " < ", " > ": " <= ",
         " <= ": " > "}
BOUNDS = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > "}
LOGIC = {" && ": " || ", " || ": " && "}


def constant(m):
    n = int(m.group(0))
    return str(n + 1) if n != 1 else "0"


OPERATORS = [
    ("comparison flipped", re.compile(r" (==|!=|<=|>=|<|>) "), lambda m: FLIPS[m.group(0)]),
    ("bound moved by one", re.compile(r" (<=|>=|<|>) "), lambda m: BOUNDS[m.group(0)]),
    ("logic swapped", re.compile(r" (&&|\|\|) "), lambda m: LOGIC[m.group(0)]),
    ("constant changed", re.compile(r"(?<![\w.])\d+(?![\w.'])"), constant),
    ("true/false swapped", re.compile(r"\b(true|false)\b"),
     lambda m: "false" if m.group(0) == "true" else "true"),
]
# A whole line that is one statement with an effect: a call, an assignment, ++/--, break,
# continue, a return without value. Declarations are left alone (dropping one rarely builds).
DROPPABLE = re.compile(
    r"^\s*(?:(?:[\w:.\->\[\]*]+(?:\(.*\))?(?: [-+*/|&]?= .*|\+\+|--)?|\+\+\w+|--\w+|[\w:.\->\[\]]+\(.*\)"
    r"|break|continue|return));\s*$")
SKIP_LINE = re.compile(r"^\s*(#|//|\*|/\*|static_assert|case |default:|template|namespace|using )")


def code_part(line):
    """The line without string/char literals and trailing comment, same length (blanked)."""
    out, quote, i = [], None, 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if c != quote else c)
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)[: len(line)]


def mutants_of_line(path, number, line):
    if SKIP_LINE.match(line) or not line.strip():
        return []
    code = code_part(line)
    found = []
    for name, pattern, replace in OPERATORS:
        for m in pattern.finditer(code):
            new = line[: m.start()] + replace(m) + line[m.end():]
            if new != line:
                found.append({"file": path, "line": number, "op": name, "old": line, "new": new})
    # A whole condition negated, when it closes on its own line.
    for m in re.finditer(r"\b(if|while) \(", code):
        depth, start = 0, m.end() - 1
        for i in range(start, len(code)):
            depth += {"(": 1, ")": -1}.get(code[i], 0)
            if depth == 0:
                new = line[: start + 1] + "!(" + line[start + 1: i] + ")" + line[i:]
                found.append({"file": path, "line": number, "op": "condition negated",
                              "old": line, "new": new})
                break
    if DROPPABLE.match(code) and "{" not in code and "}" not in code:
        found.append({"file": path, "line": number, "op": "statement dropped", "old": line,
                      "new": re.sub(r"\S.*$", "", line) + ";  // dropped"})
    return found
