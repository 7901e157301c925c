#!/usr/bin/env python3
"""Keeps platform/README.md's "Win32 -> this layer" table in step with the public header.

The functions and classes declared in KvPlatformHelper.h before its "Layer internals"
section (members aside) must be exactly the names in the table's second column. Prints the
difference and fails when they differ.
Usage: readme_table_check.py HEADER README
"""
import re
import sys

INTERNALS = "// ==== Layer internals ===="
TABLE = "## Win32 → this layer"


def header_functions(path):
    text = open(path, encoding="utf-8").read()
    if INTERNALS not in text:
        sys.exit(f"{path}: no '{INTERNALS}' line ends the public part")
    public = text.split(INTERNALS)[0]
    public = re.sub(r'extern "C" \{|\}\s*// extern "C"', "", public)  # C linkage blocks
    public = re.sub(r"//[^\n]*", "", public)                           # comments
    public = re.sub(r"^\s*#[^\n]*", "", public, flags=re.M)            # preprocessor lines
    # Keep only what lies outside braces (class, struct and enum bodies go).
    outside, depth = [], 0
    for char in public:
        if char == "{":
            depth += 1
        elif char == "}":
            depth -= 1
        elif depth == 0:
            outside.append(char)
    names = set(re.findall(r"^class (\w+)", public, flags=re.M))  # public classes have rows too
    for statement in "".join(outside).split(";"):
        statement = " ".join(statement.split())
        if "(" not in statement or re.match(r"(typedef|static_assert|class|struct|union|enum)\b", statement):
            continue
        match = re.search(r"([A-Za-z_]\w*)\s*\(", statement)
        if match:
            names.add(match.group(1))
    return names


def table_functions(path):
    names, in_table = set(), False
    for line in open(path, encoding="utf-8"):
        if line.startswith("## "):
            in_table = line.strip() == TABLE
        elif in_table and line.startswith("|") and not line.startswith("|---"):
            cells = line.split("|")
            if len(cells) > 2:
                names.update(re.findall(r"`([A-Za-z_]\w*)`", cells[2]))
    return names


def main():
    declared, listed = header_functions(sys.argv[1]), table_functions(sys.argv[2])
    if not declared:
        print("no public functions found in", sys.argv[1])
        return 1
    missing, stale = sorted(declared - listed), sorted(listed - declared)
    for name in missing:
        print("declared in the header, missing from the README table:", name)
    for name in stale:
        print("in the README table, not declared in the header's public part:", name)
    print(f"{len(declared)} public names in the header, {len(listed)} in the table")
    return 1 if missing or stale else 0


if __name__ == "__main__":
    sys.exit(main())
