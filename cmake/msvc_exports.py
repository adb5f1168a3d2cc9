#!/usr/bin/env python3
"""The names under which a host built with a Microsoft-ABI compiler calls the
library's exported C++ members, read from the header by such a compiler, and
where each one leads in the library that g++ built.

    msvc_exports.py --clang CLANG --arch win32|win64 --header kesnet.h
                    --plain-def kesnet.def --def OUT.def --exports OUT.def --adapters OUT.cpp

clang reads the header twice, as a host would (KESNET_NO_WINDOWS_H: no SDK is
needed), once for the Microsoft ABI (the *-pc-windows-msvc target) and once
for g++'s (*-w64-mingw32), and gives the mangled name of every member it
declares in each. The members of every class the header marks for import (the
exported classes and the records) are paired in declaration order, and each
pair becomes a line of the DLL's module-definition file:

    "MICROSOFT NAME" = G++ NAME           the same call in both ABIs
    "MICROSOFT NAME" = ADAPTER            a constructor (see src/abi/msvc_abi.h)

Members defined in the header (inline) or defaulted there are the host's own
and are skipped. --def is the DLL's module-definition file: the plain
functions of --plain-def, then those lines. --exports lists every name a host
may import, the plain functions and the Microsoft names, without the targets:
the module-definition file from which a host's linker makes an import library.
"""
import argparse
import json
import re
import subprocess
import sys

TRIPLES = {
    "win32": ("i686-pc-windows-msvc", "i686-w64-mingw32"),
    "win64": ("x86_64-pc-windows-msvc", "x86_64-w64-mingw32"),
}
METHODS = ("CXXMethodDecl", "CXXConstructorDecl", "CXXDestructorDecl")


def members(clang, triple, header):
    """(class, name, kind, parameters, mangled name, virtual) of each member
    that the DLL provides, in declaration order."""
    command = [clang, "--target=" + triple, "-x", "c++", "-std=c++17", "-fsyntax-only",
               "-DKESNET_NO_WINDOWS_H", "-Xclang", "-ast-dump=json", header]
    dump = subprocess.run(command, check=True, stdout=subprocess.PIPE).stdout
    found = []

    def walk(node, imported_class):
        kind = node.get("kind")
        if kind == "CXXRecordDecl" and node.get("completeDefinition"):
            attributes = {child.get("kind") for child in node.get("inner", [])}
            imported_class = node.get("name") if "DLLImportAttr" in attributes else None
        elif kind in METHODS and imported_class:
            inner = node.get("inner", [])
            defined_here = any(child.get("kind") == "CompoundStmt" for child in inner)
            if not (node.get("isImplicit") or node.get("explicitlyDefaulted") or defined_here):
                parameters = [child["type"]["qualType"] for child in inner if child.get("kind") == "ParmVarDecl"]
                found.append((imported_class, node["name"], kind, parameters, node["mangledName"],
                              bool(node.get("virtual"))))
            return
        for child in node.get("inner", []):
            walk(child, imported_class)

    walk(json.loads(dump), None)
    return found


def destructor_name(cls, mangled, virtual, arch):
    """clang names a Microsoft-ABI destructor after its complete-object form
    (??_D); a host calls the destructor proper (??1), the same for a class
    without virtual bases, which is what every class here is."""
    qualifiers = "AE" if arch == "win32" else "EAA"
    if mangled != "??_D%s@@Q%sXXZ" % (cls, qualifiers):
        sys.exit("msvc_exports.py: unexpected destructor name %s of %s" % (mangled, cls))
    return "??1%s@@%s%s@XZ" % (cls, "U" if virtual else "Q", qualifiers)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clang", required=True)
    parser.add_argument("--arch", required=True, choices=sorted(TRIPLES))
    parser.add_argument("--header", required=True)
    parser.add_argument("--plain-def", required=True)
    parser.add_argument("--def", dest="def_file", required=True)
    parser.add_argument("--exports", required=True)
    parser.add_argument("--adapters", required=True)
    args = parser.parse_args()

    msvc_triple, gnu_triple = TRIPLES[args.arch]
    msvc = members(args.clang, msvc_triple, args.header)
    gnu = members(args.clang, gnu_triple, args.header)
    if [m[:4] for m in msvc] != [g[:4] for g in gnu] or not msvc:
        sys.exit("msvc_exports.py: the two readings of %s declare different members" % args.header)

    lines, adapters, names = [], [], []
    for (cls, name, kind, parameters, msvc_name, virtual), gnu_member in zip(msvc, gnu):
        # The i686 g++ names carry the underscore that C symbols get there;
        # the module-definition file names them without it.
        gnu_name = gnu_member[4][1:] if args.arch == "win32" else gnu_member[4]
        if kind == "CXXConstructorDecl":
            if parameters == []:
                adapter = "kesnet_msvc_construct_%s" % cls
                adapters.append("void *KESNET_MSVC_THISCALL %s(void *pThis)\n{\n"
                                "    return MsvcConstruct<%s>(pThis);\n}\n" % (adapter, cls))
            elif parameters == ["const %s &" % cls]:
                adapter = "kesnet_msvc_copy_%s" % cls
                adapters.append("void *KESNET_MSVC_THISCALL %s(void *pThis, const void *pOther)\n{\n"
                                "    return MsvcCopyConstruct<%s>(pThis, pOther);\n}\n" % (adapter, cls))
            else:
                sys.exit("msvc_exports.py: no adapter for the constructor %s(%s)" % (cls, ", ".join(parameters)))
            target = adapter
        elif kind == "CXXDestructorDecl":
            msvc_name = destructor_name(cls, msvc_name, virtual, args.arch)
            target = gnu_name
        else:
            target = gnu_name
        if not re.fullmatch(r"[?@$A-Za-z0-9_]+", msvc_name):
            sys.exit("msvc_exports.py: unexpected name %s" % msvc_name)
        lines.append('    "%s" = %s' % (msvc_name, target))
        names.append(msvc_name)

    with open(args.plain_def) as f:
        plain = f.read().rstrip("\n") + "\n"
    with open(args.def_file, "w") as f:
        f.write(plain + "\n".join(lines) + "\n")
    with open(args.exports, "w") as f:
        f.write(plain + "".join('    "%s"\n' % name for name in names))
    with open(args.adapters, "w") as f:
        f.write("// Generated from %s by cmake/msvc_exports.py when the library is built:\n"
                "// the constructors of the Microsoft C++ ABI (see src/abi/msvc_abi.h).\n"
                '#include "abi/msvc_abi.h"\n\nextern "C" {\n\n' % args.header.split("/")[-1])
        f.write("\n".join(adapters))
        f.write('\n}  // extern "C"\n')


if __name__ == "__main__":
    main()
