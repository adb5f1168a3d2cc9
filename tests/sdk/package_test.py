#!/usr/bin/env python3
"""The ZIP that CPack makes holds what a host developer needs, and unpacked in
an empty folder it is enough to build the example hosts it carries.

    package_test.py BUILD_DIR VERSION
"""
import os
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sdk_support import build_examples, fresh_folder, must  # noqa: E402

BUILD, VERSION = sys.argv[1:3]

# What a host needs, by the path it has in the ZIP.
REQUIRED = {
    "bin/kesnet.dll": "the library",
    "bin/kesnet.exe": "the kesnet tool",
    "lib/libkesnet.dll.a": "the import library",
    "lib/kesnet.def": "the exported names, for an import library of another linker",
    "include/kesnet.h": "the header",
    "lib/cmake/kesnet/kesnetConfig.cmake": "the CMake package",
    "lib/cmake/kesnet/kesnetConfigVersion.cmake": "the package's version",
    "lib/cmake/kesnet/kesnetTargets.cmake": "the imported target kesnet::kesnet",
    "share/kesnet/toolchain-i686-mingw.cmake": "the toolchain to build a host with",
    "share/doc/kesnet/README.md": "the README",
    "share/doc/kesnet/reference.md": "the reference",
    "share/doc/kesnet/threading.md": "the threading rules",
    "share/doc/kesnet/tool.md": "the kesnet tool's documentation",
    "share/doc/kesnet/examples/CMakeLists.txt": "the example hosts' project",
    "share/doc/kesnet/examples/teacher.cpp": "the teacher example",
    "share/doc/kesnet/examples/student.cpp": "the student example",
    "share/doc/kesnet/examples/example_support.h": "what the two examples share",
}


def main():
    work = fresh_folder(os.path.join(BUILD, "sdk-test", "package"))
    must(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", work], "cpack")
    name = os.path.join(work, "kesnet-%s-win32.zip" % VERSION)
    if not os.path.isfile(name):
        print("FAIL cpack made no %s" % name)
        return 1
    listing = must(["unzip", "-l", name], "unzip -l " + os.path.basename(name)).stdout
    # The entries stand between the two rules of dashes: length, date, time, name.
    rows = listing.splitlines()
    rules = [i for i, row in enumerate(rows) if row.startswith("---------")]
    entries = {row.split(None, 3)[3] for row in rows[rules[0] + 1:rules[1]]}
    missing = ["%s (%s)" % (path, what) for path, what in REQUIRED.items() if path not in entries]
    # The export of the imported target names the DLL and import library of
    # the build's configuration in a file of its own.
    if not any(e.startswith("lib/cmake/kesnet/kesnetTargets-") for e in entries):
        missing.append("lib/cmake/kesnet/kesnetTargets-CONFIG.cmake (the imported target's files)")
    if missing:
        print("FAIL the ZIP lacks:\n  " + "\n  ".join(missing) + "\n" + listing)
        return 1
    print("  ok   the ZIP holds the DLL, the import library, the header, the package files, the tool,")
    print("       the toolchain file, the documentation and the examples (%d entries)" % len(entries))

    # Unpacked in an empty folder, with nothing else of the project's.
    unpacked = fresh_folder(os.path.join(work, "unpacked"))
    with zipfile.ZipFile(name) as archive:
        archive.extractall(unpacked)
    print("  ok   unpacked into an empty folder")
    build_examples(os.path.join(unpacked, "share", "doc", "kesnet", "examples"),
                   os.path.join(unpacked, "share", "kesnet", "toolchain-i686-mingw.cmake"), unpacked,
                   os.path.join(work, "examples"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
