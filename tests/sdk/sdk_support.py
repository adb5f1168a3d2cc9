"""What the tests of the installed package share: a fresh work folder, commands
that must work, and building the example hosts against an installed package
as a host project would.
"""
import os
import shutil
import subprocess
import sys


def fresh_folder(path):
    """An empty folder at path, whatever was there before."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def must(command, what, **kwargs):
    """Runs command; on failure prints its output and ends the test."""
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        print("FAIL %s (exit %d): %s\n%s%s" % (what, result.returncode, " ".join(command), result.stdout,
                                             result.stderr))
        sys.exit(1)
    print("  ok   " + what)
    return result


def build_examples(examples, toolchain, prefix, build):
    """Configures and builds the example hosts in examples against the kesnet
    package installed at prefix, with the toolchain file and the flags of a
    careful host project. Returns the folder that holds the programs."""
    must(["cmake", "-S", examples, "-B", build, "-G", "Ninja",
          "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
          "-DCMAKE_PREFIX_PATH=" + prefix,
          # Only the package at prefix may be found: no registry of packages.
          "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF",
          "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror"],
         "configure the examples with find_package(kesnet) from " + prefix)
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        found = [line.split("=", 1)[1].strip() for line in cache if line.startswith("kesnet_DIR:")]
    expected = os.path.join(prefix, "lib", "cmake", "kesnet")
    if found != [expected]:
        print("FAIL the package was found at %s, not at %s" % (found, expected))
        sys.exit(1)
    must(["cmake", "--build", build], "build teacher and student against the installed header and import library")
    for program in ["teacher.exe", "student.exe", "kesnet.dll"]:
        if not os.path.isfile(os.path.join(build, program)):
            print("FAIL %s is missing from %s" % (program, build))
            sys.exit(1)
    return build
