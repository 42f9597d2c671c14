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


def mutants_of_line(path, number, line, kind=None, previous=""):
    """The mutants of one line of a file of this kind (kind_of: by default from its name); previous
    is the line before it (a shell line continued from it is left alone)."""
    kind = kind or kind_of(path)
    if kind == "shell":
        return shell_mutants(path, number, line, previous)
    if kind == "cmake":
        return cmake_mutants(path, number, line)
    if kind != "c" or SKIP_LINE.match(line) or not line.strip():
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
    if path.startswith("tools/zeph_host/"):
        found.extend(by_patterns(path, number, line, code, CLI_OPERATORS))
    return found


# ---- The seams: the command line's wiring, the build's CMake and the shell scripts ---------------
# What a unit's tests cannot see: an exit code, an option's check, a dependency of a build step, a
# stage that stops at its first failure. Each file kind has its own small set.

def kind_of(path, first_line=""):
    """"c" (C or C++), "cmake", "shell" (by suffix, else by its #! line) or None."""
    if path.endswith((".cpp", ".h", ".c")):
        return "c"
    if path.endswith(".cmake"):
        return "cmake"
    if path.endswith(".sh") or re.match(r"#!\s*(/usr/bin/env\s+)?(/bin/|/usr/bin/)?(ba)?sh\b", first_line):
        return "shell"
    return None


def mutant(path, number, name, line, new):
    return {"file": path, "line": number, "op": name, "old": line, "new": new}


def by_patterns(path, number, line, code, operators):
    found = []
    for name, pattern, replace in operators:
        for m in pattern.finditer(code):
            for new_text in replace(m) if callable(replace) else [replace]:
                new = line[: m.start()] + new_text + line[m.end():]
                if new != line:
                    found.append(mutant(path, number, name, line, new))
    return found


# zeph-host's exits are its contract: 0 passed, 1 failed, 2 a usage error. Options are wired with
# their checks and whether they are required.
EXITS = {"kOk": ["kFailed"], "kFailed": ["kOk", "kUsage"], "kUsage": ["kFailed"]}
CLI_OPERATORS = [
    ("exit code swapped", re.compile(r"\b(kOk|kFailed|kUsage)\b(?! =)"), lambda m: EXITS[m.group(0)]),
    ("option check dropped", re.compile(r"->check\((?:[^()]|\((?:[^()]|\([^()]*\))*\))*\)"), ""),
    ("option made optional", re.compile(r"->required\(\)"), ""),
]


def shell_code(line):
    """A shell line without its quoted texts (blanked, same length) and its comment."""
    out, quote, i = [], None, 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\" and quote == '"':
                out.append("  ")
                i += 2
                continue
            out.append(c if c == quote else " ")
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif c == "#" and (i == 0 or line[i - 1] in " \t;"):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)[: len(line)]


SHELL_TESTS = {"-eq": "-ne", "-ne": "-eq", "-lt": "-ge", "-ge": "-lt", "-gt": "-le", "-le": "-gt",
               "-n": "-z", "-z": "-n", "=": "!=", "!=": "="}
SHELL_OPERATORS = [
    # 77 is "skipped": as 0 it would pass for a stage that never ran.
    ("exit code changed", re.compile(r"\b(exit|return) (\d+)\b"),
     lambda m: [m.group(1) + (" 1" if m.group(2) == "0" else " 0")]),
    ("|| exit dropped", re.compile(r"\s*\|\|\s*(\{[^{}]*\bexit\b[^{}]*\}|exit\b[\s\d]*|return\b[\s\d]*)$"), ""),
    ("test flipped", re.compile(r"(?<=\s)(-eq|-ne|-lt|-ge|-gt|-le|-n|-z|=|!=)(?=\s)"),
     lambda m: [SHELL_TESTS[m.group(0)]]),
    ("test negated", re.compile(r"(?:^\s*|\bif |\bwhile |&& |\|\| )(?=\[\[? )"), lambda m: [m.group(0) + "! "]),
    ("errexit dropped", re.compile(r"^(\s*set -\w*?)e"), lambda m: [m.group(1)]),
    ("pipefail dropped", re.compile(r"^(\s*set -\w*?)o pipefail\b| -o pipefail\b"),
     lambda m: [m.group(1) or ""]),
]
SHELL_WORDS = re.compile(r"^\s*(if|then|else|elif|fi|for|while|until|do|done|case|esac|function|local"
                         r"|export|readonly|declare|set|shift|\{|\}|\(|\)|;;|\w+\(\)|\w+\)|[\w\"*|-]+\))")


def shell_mutants(path, number, line, previous):
    code = shell_code(line)
    if not code.strip() or code.lstrip().startswith("#!") or previous.rstrip().endswith("\\"):
        return []
    found = by_patterns(path, number, line, code, SHELL_OPERATORS)
    # A whole simple command: no keyword, no assignment, no block, no continuation or here-document.
    if (not SHELL_WORDS.match(code) and not re.match(r"^\s*\w+(\[[^\]]*\])?\+?=", code)
            and not code.rstrip().endswith(("\\", "{", "(", "|", "&&", "||", "do", "then"))
            and "<<" not in code and not re.search(r"(^|\s)(\}|fi|done|esac)\s*$", code)):
        found.append(mutant(path, number, "command dropped", line, re.sub(r"\S.*$", ":  # dropped", line)))
    return found


def cmake_code(line):
    """A CMake line without its quoted texts (blanked) and its comment."""
    out, quote = [], False
    for i, c in enumerate(line):
        if quote:
            out.append('"' if c == '"' and line[i - 1] != "\\" else " ")
            quote = not (c == '"' and line[i - 1] != "\\")
        elif c == '"':
            quote = True
            out.append(c)
        elif c == "#":
            break
        else:
            out.append(c)
    return "".join(out)


CMAKE_SWAPS = {"ON": "OFF", "OFF": "ON", "TRUE": "FALSE", "FALSE": "TRUE", "LESS": "GREATER_EQUAL",
               "GREATER_EQUAL": "LESS", "GREATER": "LESS_EQUAL", "LESS_EQUAL": "GREATER",
               "VERSION_LESS": "VERSION_GREATER_EQUAL", "VERSION_GREATER_EQUAL": "VERSION_LESS"}
CMAKE_OPERATORS = [
    ("switch flipped", re.compile(r"\b(ON|OFF|TRUE|FALSE)\b"), lambda m: [CMAKE_SWAPS[m.group(0)]]),
    ("comparison flipped", re.compile(r"\b(VERSION_LESS|VERSION_GREATER_EQUAL|LESS_EQUAL|LESS"
                                      r"|GREATER_EQUAL|GREATER)\b"), lambda m: [CMAKE_SWAPS[m.group(0)]]),
    ("NOT dropped", re.compile(r"\bNOT "), ""),
    # A check that stops the configure only warns.
    ("fatal error softened", re.compile(r"\bFATAL_ERROR\b"), "WARNING"),
]
CMAKE_BLOCKS = re.compile(r"^\s*(if|elseif|else|endif|foreach|endforeach|while|endwhile|function"
                          r"|endfunction|macro|endmacro|block|endblock|return)\s*\(", re.I)
# The keywords that end a DEPENDS list in the commands that take one.
CMAKE_KEYWORDS = re.compile(r"^[A-Z][A-Z_]+$")


def cmake_mutants(path, number, line):
    code = cmake_code(line)
    if not code.strip():
        return []
    found = by_patterns(path, number, line, code, CMAKE_OPERATORS)
    m = re.match(r"^(\s*(?:else)?if\s*\()(.*)\)\s*$", code, re.I)
    if m and m.group(2).count("(") == m.group(2).count(")"):
        found.append(mutant(path, number, "condition negated", line,
                            m.group(1) + "NOT (" + line[len(m.group(1)):len(m.group(1)) + len(m.group(2))]
                            + "))" + line[len(code.rstrip()):]))
    # One entry of a DEPENDS list (not CONFIGURE_DEPENDS, a flag of file(GLOB)).
    for d in re.finditer(r"(?<![\w])(DEPENDS|OBJECT_DEPENDS|LINK_DEPENDS)\b", code):
        for e in re.finditer(r"\s+([^\s()]+)", code[d.end():]):
            if CMAKE_KEYWORDS.match(e.group(1)):
                break
            start, end = d.end() + e.start(), d.end() + e.end()
            found.append(mutant(path, number, "DEPENDS entry dropped", line, line[:start] + line[end:]))
    # A whole command on one line, not a block's own.
    if (re.match(r"^\s*\w+\s*\(.*\)\s*$", code) and not CMAKE_BLOCKS.match(code)
            and code.count("(") == code.count(")")):
        found.append(mutant(path, number, "command dropped", line, re.sub(r"\S.*$", "#  dropped", line)))
    return found
