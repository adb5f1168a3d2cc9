#!/usr/bin/env python3
"""Makes an import library in the Microsoft format (for lld-link or Microsoft's
link) with llvm-dlltool:

    import_library.py --dlltool DLLTOOL --machine i386|i386:x86-64 --def FILE.def --out OUT.lib

from a module-definition file. Names with the argument bytes of an i686
__stdcall function (Sleep@4) are imported without them; on x86_64, where
nothing is decorated, the bytes are dropped from the names too.
"""
import argparse
import os
import re
import subprocess
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dlltool", required=True)
    parser.add_argument("--machine", required=True, choices=["i386", "i386:x86-64"])
    parser.add_argument("--out", required=True)
    parser.add_argument("--def", dest="def_file", required=True)
    args = parser.parse_args()

    with open(args.def_file) as f:
        text = f.read()
    if args.machine != "i386":
        text = re.sub(r"^(\s+\w+)@\d+\s*$", r"\1", text, flags=re.M)
    with tempfile.NamedTemporaryFile("w", suffix=".def", delete=False) as f:
        f.write(text)
        name = f.name
    try:
        command = [args.dlltool, "-m", args.machine, "-d", name, "-l", args.out]
        if args.machine == "i386":
            command.append("-k")
        subprocess.run(command, check=True)
    finally:
        os.unlink(name)


if __name__ == "__main__":
    main()
