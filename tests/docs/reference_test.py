#!/usr/bin/env python3
"""docs/reference.md has a section for everything a host can use: every plain
function the DLL exports (src/kesnet.def), and every record, class, stream
interface and callback type that include/kesnet.h declares. A declaration added
without its section fails here.

    reference_test.py SOURCE_DIR
"""
import os
import re
import sys

SOURCE = sys.argv[1]


def read(*path):
    with open(os.path.join(SOURCE, *path)) as f:
        return f.read()


def main():
    definition = read("src", "kesnet.def")
    header = read("include", "kesnet.h")
    reference = read("docs", "reference.md")
    functions = definition.split("EXPORTS", 1)[1].split()
    types = (re.findall(r"^typedef struct KESNET_CLASS (\w+)", header, re.M) +
             re.findall(r"^class KESNET_API (\w+)", header, re.M) +
             re.findall(r"^class (CTcp\w+Object)\b", header, re.M) +
             re.findall(r"^typedef \w+\s*\(__cdecl \*(\w+)\)", header, re.M))
    sections = set(re.findall(r"^#{2,3} (\w+)$", reference, re.M))
    missing = [name for name in functions + types if name not in sections]
    for name in missing:
        print("FAIL docs/reference.md has no section '### %s'" % name)
    if len(functions) < 20 or len(types) < 12:
        print("FAIL found only %d functions and %d types: has the header's form changed?" % (len(functions), len(types)))
        return 1
    if not missing:
        print("ok: docs/reference.md has a section for each of %d functions and %d types" % (len(functions), len(types)))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
