#!/usr/bin/env python3
"""The ZIP that CPack makes holds what a host developer needs, and unpacked in
an empty folder it is enough to build the example hosts it carries. A host
project that builds programs of the other pointer size does not find it, and
is told why.

    package_test.py BUILD_DIR VERSION ARCH TOOLCHAIN OTHER_TOOLCHAIN

ARCH is win32 or win64, TOOLCHAIN the name of the toolchain file the package
holds, OTHER_TOOLCHAIN the path of the other architecture's toolchain file.
"""
import os
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sdk_support import build_examples, fresh_folder, must  # noqa: E402

BUILD, VERSION, ARCH, TOOLCHAIN, OTHER_TOOLCHAIN = sys.argv[1:6]

# What a host needs, by the path it has in the ZIP.
REQUIRED = {
    "bin/kesnet.dll": "the library",
    "bin/kesnet.exe": "the kesnet tool",
    "lib/libkesnet.dll.a": "the import library",
    "lib/kesnet.def": "the exported names, for an import library of another linker",
    "lib/kesnet.lib": "the import library in Microsoft's format",
    "include/kesnet.h": "the header",
    "lib/cmake/kesnet/kesnetConfig.cmake": "the CMake package",
    "lib/cmake/kesnet/kesnetConfigVersion.cmake": "the package's version",
    "lib/cmake/kesnet/kesnetTargets.cmake": "the imported target kesnet::kesnet",
    "share/kesnet/" + TOOLCHAIN: "the toolchain to build a host with",
    "share/kesnet/toolchain-mingw-posix.cmake": "what the toolchain files share",
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
    name = os.path.join(work, "kesnet-%s-%s.zip" % (VERSION, ARCH))
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
    examples = os.path.join(unpacked, "share", "doc", "kesnet", "examples")
    build_examples(examples, os.path.join(unpacked, "share", "kesnet", TOOLCHAIN), unpacked,
                   os.path.join(work, "examples"))
    return refused_by_the_other_architecture(examples, unpacked, os.path.join(work, "other"))


def refused_by_the_other_architecture(examples, prefix, build):
    """find_package(kesnet) in a project of the other pointer size passes this
    package over and says why."""
    other = subprocess.run(["cmake", "-S", examples, "-B", build, "-G", "Ninja",
                            "-DCMAKE_TOOLCHAIN_FILE=" + OTHER_TOOLCHAIN, "-DCMAKE_PREFIX_PATH=" + prefix,
                            "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF"], capture_output=True, text=True)
    bits = "64" if ARCH == "win64" else "32"
    reason = "%s: its DLL is for %s-bit programs and this project builds %s-bit ones" % (
        ARCH, bits, "32" if bits == "64" else "64")
    output = other.stdout + other.stderr
    if other.returncode == 0 or reason not in " ".join(output.split()):
        print("FAIL a project of the other architecture (%s) was not refused with '%s':\n%s" % (
            os.path.basename(OTHER_TOOLCHAIN), reason, output))
        return 1
    print("  ok   a project built with %s does not find the package, and CMake says: %s" % (
        os.path.basename(OTHER_TOOLCHAIN), reason))
    return 0


if __name__ == "__main__":
    sys.exit(main())
