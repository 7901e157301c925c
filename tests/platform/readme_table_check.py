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
BODY = re.compile(r"\{[^{}]*\}")


def header_functions(path):
    text = open(path, encoding="utf-8").read()
    if INTERNALS not in text:
        sys.exit(f"{path}: no '{INTERNALS}' line ends the public part")
    public = re.sub(r'extern "C" \{|\}\s*// extern "C"|//[^\n]*', "", text.split(INTERNALS)[0])  # C linkage, comments
    public = re.sub(r"^\s*#[^\n]*", "", public, flags=re.M)  # preprocessor lines
    names = set(re.findall(r"^class (\w+)", public, flags=re.M))  # public classes have rows too
    while BODY.search(public):  # class, struct and enum bodies go, the innermost first
        public = BODY.sub("", public)
    for statement in public.split(";"):
        statement = " ".join(statement.split())
        match = re.search(r"([A-Za-z_]\w*)\s*\(", statement)
        if match and not re.match(r"(typedef|static_assert|class|struct|union|enum)\b", statement):
            names.add(match.group(1))
    return names


def table_functions(path):
    names, in_table = set(), False
    for line in open(path, encoding="utf-8"):
        if line.startswith("## "):
            in_table = line.strip() == TABLE
        elif in_table and line.startswith("|") and not line.startswith("|---"):
            second_column = "".join(line.split("|")[2:3])
            names.update(re.findall(r"`([A-Za-z_]\w*)`", second_column))
    return names


def main():
    declared, listed = header_functions(sys.argv[1]), table_functions(sys.argv[2])
    for name in sorted(declared - listed):
        print("declared in the header, missing from the README table:", name)
    for name in sorted(listed - declared):
        print("in the README table, not declared in the header's public part:", name)
    print(f"{len(declared)} public names in the header, {len(listed)} in the table")
    return 0 if declared and declared == listed else 1


if __name__ == "__main__":
    sys.exit(main())
