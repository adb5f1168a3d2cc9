#!/usr/bin/env python3
"""docs/reference.md states the library's contract in full; include/kesnet.h
declares it, with a short note per declaration. This test reads both and fails
where they part:

  - every plain function the DLL exports (src/kesnet.def, the same names as the
    header declares) has its section, which gives the header's declaration;
  - every record, class, stream interface and callback type has its section;
    every member function a class or record declares (those its macros add
    too) is given with the header's signature in its section (a stream
    interface's in the section of the object that implements it; a macro's
    shared members anywhere in the reference), and every field of a class is
    named with its type;
  - every record's table has the header's fields in the header's order, with
    the header's types, offsets (32-bit, 64-bit) and defaults;
  - the sizes of the records and classes agree with the header's checks, in
    the table of the two architectures and in each section;
  - the constants have the header's values wherever the reference names one
    with its value;
  - each stream object's virtual table is listed in the header's order, in the
    reference and in the header's own note.

    reference_test.py SOURCE_DIR
"""
import os
import re
import sys

SOURCE = sys.argv[1]
failures = []


def read(*path):
    with open(os.path.join(SOURCE, *path)) as f:
        return f.read()


def fail(message):
    failures.append(message)
    print("FAIL " + message)


def normal(declaration):
    """A declaration as both texts can be compared: without comments, inline
    bodies, pure or defaulted markers, and the qualifiers that do not change how
    a host writes the call; spaces only between two words."""
    text = re.sub(r"/\*.*?\*/", " ", declaration, flags=re.S)
    text = re.sub(r"\b(KESNET_EXTERN_C|KESNET_API|virtual|static|__cdecl|__stdcall|noexcept)\b", " ", text)
    text = re.sub(r"=\s*(0|default)\s*;?\s*$", "", text.strip())
    text = re.sub(r"\s+", " ", text).strip().rstrip(";").strip()
    return re.sub(r"\s*([(),*&\[\]:])\s*", r"\1", text)


def without_comments(text):
    return re.sub(r"/\*.*?\*/", " ", text, flags=re.S)


# --- the reference -----------------------------------------------------------

class Reference:
    def __init__(self, text):
        self.text = text
        self.sections = {}
        headings = list(re.finditer(r"^(#{2,3}) (.+)$", text, re.M))
        for i, heading in enumerate(headings):
            end = len(text)
            for later in headings[i + 1:]:
                if len(later.group(1)) <= len(heading.group(1)):
                    end = later.start()
                    break
            self.sections[heading.group(2).strip()] = text[heading.end():end]

    def section(self, name):
        return self.sections.get(name)

    @staticmethod
    def blocks(text):
        return re.findall(r"^```\w*\n(.*?)^```", text, re.M | re.S)

    @staticmethod
    def spans(text):
        """The code spans of a text, normalised, fenced blocks left out."""
        text = re.sub(r"^```.*?^```", "", text, flags=re.M | re.S)
        return {normal(span) for span in re.findall(r"`([^`\n]+)`", text)}

    @staticmethod
    def size(text):
        """(32-bit, 64-bit) from the first "N bytes (M in the 64-bit DLL)"."""
        found = re.search(r"(\d+) bytes(?:\s+\((\d+)\s+in\s+the\s+64-bit\s+DLL\))?", text)
        if not found:
            return None
        return (int(found.group(1)), int(found.group(2) or found.group(1)))


# --- the header --------------------------------------------------------------

def declarations(body):
    """Member functions and fields declared in a class body (comments, access
    labels and inline bodies removed), and the macros it invokes."""
    body = without_comments(body)
    body = re.sub(r"^#.*$", "", body, flags=re.M)
    macros = re.findall(r"^\s*(KESNET_\w+)(?:\((\w+)\))?\s*$", body, re.M)
    body = re.sub(r"^\s*KESNET_\w+(?:\(\w+\))?\s*$", "", body, flags=re.M)
    return split_members(body), macros


def split_members(body):
    body = re.sub(r"\b(public|protected|private)\s*:", " ", body)
    while re.search(r"\{[^{}]*\}", body):
        body = re.sub(r"\{[^{}]*\}", ";", body)
    methods, fields = [], []
    for part in body.split(";"):
        part = " ".join(part.split())
        if not part:
            continue
        (methods if "(" in part else fields).append(part)
    return methods, fields


def macro_members(header):
    """What each macro declares, as a function of its argument: a list of
    (declaration, parameter) per macro name, from every definition of it."""
    found = {}
    for match in re.finditer(r"^#define (KESNET_\w+)(?:\((\w+)\))?((?:[^\n]*\\\n)*[^\n]*)$", header, re.M):
        name, parameter, body = match.groups()
        methods, _ = split_members(without_comments(body.replace("\\\n", "\n")))
        found.setdefault(name, []).extend((method, parameter) for method in methods)
    return found


class Header:
    def __init__(self, text):
        self.text = text
        self.functions = {}
        for declaration in re.findall(r"^KESNET_EXTERN_C KESNET_API ([^;]*);", text, re.M):
            self.functions[re.search(r"(\w+)\s*\(", declaration).group(1)] = declaration
        self.constants = {name: int(value) for name, value in
                          re.findall(r"^#define (\w+) (\d+)\b", text, re.M)}
        self.offsets = {}
        for type_name, field, on32, on64 in re.findall(r"^KESNET_FIELD_AT\((\w+), (\w+), (\d+), (\d+)\);", text, re.M):
            self.offsets.setdefault(type_name, []).append((field, int(on32), int(on64)))
        self.sizes = {type_name: (int(on32), int(on64)) for type_name, on32, on64 in
                      re.findall(r"^KESNET_SIZE_IS\((\w+), (\d+), (\d+)\);", text, re.M)}
        self.callbacks = {name: declaration for declaration, name in
                          re.findall(r"^(typedef \w+\s*\(__cdecl \*(\w+)\)[^;]*);", text, re.M)}
        self.records = {}
        for match in re.finditer(r"^typedef struct KESNET_CLASS (\w+) \{\n(.*?)^\} \1;", text, re.M | re.S):
            self.records[match.group(1)] = self.record(match.group(2))
        self.classes = {}
        self.bases = {}
        for match in re.finditer(r"^((?:/\*(?:[^*]|\*(?!/))*\*/\n)?)class (?:KESNET_API )?(\w+)(?: : public (\w+))? \{\n(.*?)^\};",
                                 text, re.M | re.S):
            note, name, base, body = match.groups()
            (methods, fields), macros = declarations(body)
            self.classes[name] = {"methods": methods, "fields": fields, "macros": macros, "note": note}
            if base:
                self.bases[base] = name
        definitions = macro_members(text)
        used = {macro for members in self.classes.values() for macro, _ in members["macros"]}
        self.macros = {macro: definitions.get(macro, []) for macro in used}

    @staticmethod
    def record(body):
        """Its fields, each with the default that its comment gives first, and
        its member functions."""
        fields = []
        for kind, name, array, note in re.findall(
                r"^    ([A-Za-z_][\w ]*?[ *]+)(\w+)(\[\d+\])?;[ \t]*(?:/\*\s*(.*?)\s*\*/)?$", body, re.M):
            fields.append({"name": name + array, "type": kind.strip() + array,
                           "default": note.split(":")[0].strip() if note else None})
        cpp = body.split("#ifdef __cplusplus", 1)
        methods = split_members(without_comments(cpp[1].split("#endif")[0]))[0] if len(cpp) > 1 else []
        return {"fields": fields, "methods": methods}


# --- the checks --------------------------------------------------------------

def size_text(size):
    return "%d" % size[0] if size[0] == size[1] else "%d (%d)" % size


def check_functions(header, reference, exported):
    if set(exported) != set(header.functions):
        fail("src/kesnet.def and include/kesnet.h name different functions: %s"
             % sorted(set(exported) ^ set(header.functions)))
    for name, declaration in sorted(header.functions.items()):
        section = reference.section(name)
        if section is None:
            fail("docs/reference.md has no section '### %s'" % name)
        elif normal(declaration) not in reference.spans(section):
            fail("the section %s does not give the header's declaration `%s`" % (name, normal(declaration)))


def check_callbacks(header, reference):
    for name, declaration in sorted(header.callbacks.items()):
        section = reference.section(name)
        if section is None:
            fail("docs/reference.md has no section '### %s'" % name)
        elif not any(normal(declaration) in normal(block) for block in reference.blocks(section)):
            fail("the section %s does not show the header's typedef `%s`" % (name, normal(declaration)))


def check_records(header, reference):
    for name, record in sorted(header.records.items()):
        section = reference.section(name)
        if section is None:
            fail("docs/reference.md has no section '### %s'" % name)
            continue
        spans = reference.spans(section)
        for method in record["methods"]:
            if normal(method) not in spans:
                fail("the section %s does not give the member `%s`" % (name, normal(method)))
        rows = re.findall(r"^\| (\d+(?: \(\d+\))?) \| `(\w+(?:\[\d+\])?)` \| `([^`]+)` \| ([^|]*?) \|", section, re.M)
        documented = [row[1] for row in rows]
        declared = [field["name"] for field in record["fields"]]
        if documented != declared:
            fail("%s: the reference's table has the fields %s, the header %s" % (name, documented, declared))
            continue
        checked = [field for field, _, _ in header.offsets.get(name, [])]
        if checked != [field.split("[")[0] for field in declared]:
            fail("%s: the header checks the offsets of %s, but declares %s" % (name, checked, declared))
        offsets = {field: (on32, on64) for field, on32, on64 in header.offsets.get(name, [])}
        size = header.sizes.get(name)
        for field, (offset, _, kind, default) in zip(record["fields"], rows):
            where = "%s.%s" % (name, field["name"])
            if normal(kind) != normal(field["type"]):
                fail("%s: type `%s` in the reference, `%s` in the header" % (where, kind, field["type"]))
            bare = field["name"].split("[")[0]
            if bare in offsets and offset != size_text(offsets[bare]):
                fail("%s: offset %s in the reference, %s in the header's check" % (where, offset, size_text(offsets[bare])))
            if field["default"] is None:
                fail("%s: the header gives no default beside the field" % where)
            elif default != field["default"]:
                fail("%s: default '%s' in the reference, '%s' in the header" % (where, default, field["default"]))
            if bare == "dwSize" and size and field["default"] != size_text(size):
                fail("%s: its default '%s' is not the record's size %s" % (where, field["default"], size_text(size)))


def check_classes(header, reference):
    shared = {}  # the members a macro adds, looked for in the whole reference when not in the section
    for name, members in sorted(header.classes.items()):
        own = reference.section(name)
        documented_in = name if own is not None else header.bases.get(name)
        section = reference.section(documented_in) if documented_in else None
        if section is None:
            fail("docs/reference.md has no section '### %s'%s" % (
                name, "" if name not in header.bases else " nor '### %s'" % header.bases[name]))
            continue
        spans = reference.spans(section)
        for method in members["methods"]:
            if normal(method) not in spans:
                fail("the section %s does not give %s's member `%s`" % (documented_in, name, normal(method)))
        for field in members["fields"]:
            if normal(field) not in spans:
                fail("the section %s does not name %s's field `%s`" % (documented_in, name, normal(field)))
        for macro, argument in members["macros"]:
            for method, parameter in header.macros.get(macro, []):
                if parameter:
                    method = re.sub(r"\b%s\b" % parameter, argument, method)
                if normal(method) not in spans:
                    shared.setdefault(normal(method), set()).add(name)
    everywhere = reference.spans(reference.text)
    for method, users in sorted(shared.items()):
        if method not in everywhere:
            fail("docs/reference.md does not give `%s`, which %s declare" % (method, ", ".join(sorted(users))))


def check_sizes(header, reference):
    table = reference.section("The 32-bit and the 64-bit DLL") or ""
    rows = {name: (int(on32), int(on64)) for name, on32, on64 in
            re.findall(r"^\| `(\w+)` \| (\d+) bytes \| (\d+) bytes", table, re.M)}
    if set(rows) != set(header.sizes):
        fail("the table of sizes names %s, the header checks %s" % (sorted(rows), sorted(header.sizes)))
    for name, size in sorted(header.sizes.items()):
        if name in rows and rows[name] != size:
            fail("%s: %s bytes in the table of sizes, %s in the header" % (name, rows[name], size))
        section = reference.section(name)
        if section is not None and reference.size(section) != size:
            fail("%s: its section gives %s bytes, the header %s" % (name, reference.size(section), size))


def check_constants(header, reference):
    table = reference.section("Constants") or ""
    rows = {name: int(value) for name, value in re.findall(r"^\| `(\w+)` \| (\d+) \|", table, re.M)}
    if set(rows) != set(header.constants):
        fail("the table of constants names %s, the header defines %s" % (sorted(rows), sorted(header.constants)))
    stated = [(name, int(value)) for name, value in re.findall(r"`(\w+)` \((\d+)\)", reference.text)]
    stated += [(name, int(value)) for value, name in re.findall(r"(\d+) \(`(\w+)`\)", reference.text)]
    for name, value in list(rows.items()) + stated:
        if name in header.constants and header.constants[name] != value:
            fail("%s is %d in docs/reference.md, %d in the header" % (name, value, header.constants[name]))


def slots(declarations):
    """The names of the pure virtual operations, in declaration order."""
    return [re.search(r"(\w+)\s*\(", d).group(1) for d in declarations if re.search(r"=\s*0$", d)]


def check_virtual_tables(header, reference):
    """The stream objects: the classes with pure virtual operations (their own
    or their base's) that no other class derives from. Returns how many."""
    checked = 0
    for name, members in sorted(header.classes.items()):
        base = [b for b, derived in header.bases.items() if derived == name]
        order = sum((slots(header.classes[b]["methods"]) for b in base), []) + slots(members["methods"])
        if name in header.bases or not order:
            continue
        checked += 1
        note = " ".join(re.sub(r"/\*|\*/|^\s*\*", " ", members["note"] or "", flags=re.M).split())
        noted = re.search(r"Virtual table:\s*(.*?),?\s*then the destructor", note)
        if not noted or [word.strip() for word in noted.group(1).split(",")] != order:
            fail("%s: the header's note lists its virtual table otherwise than it declares it: %s" % (name, order))
        section = reference.section(name) or ""
        listed = re.search(r"Virtual\s+table[^:]*:(.*?)then\s+the\s+destructor", section, re.S)
        names = [word for word in re.findall(r"`(\w+)`", listed.group(1)) if word not in header.classes] if listed else None
        if names != order:
            fail("%s: the reference lists its virtual table as %s, the header declares %s" % (name, names, order))
    return checked


def main():
    header = Header(read("include", "kesnet.h"))
    reference = Reference(read("docs", "reference.md"))
    exported = read("src", "kesnet.def").split("EXPORTS", 1)[1].split()
    check_functions(header, reference, exported)
    check_callbacks(header, reference)
    check_records(header, reference)
    check_classes(header, reference)
    check_sizes(header, reference)
    check_constants(header, reference)
    tables = check_virtual_tables(header, reference)
    found = (len(header.functions), len(header.records), len(header.classes), len(header.constants),
             len(header.sizes), len(header.callbacks), len(header.macros), tables)
    # Fewer than the header holds today means the test no longer reads it.
    if any(count < least for count, least in zip(found, (20, 5, 10, 6, 10, 1, 2, 3))):
        fail("read only %d functions, %d records, %d classes, %d constants, %d size checks, %d callback"
             " types, %d member macros and %d virtual tables from the header: has its form changed?" % found)
    if failures:
        return 1
    print("ok: docs/reference.md agrees with include/kesnet.h on %d functions, %d records, %d classes,"
          " %d constants, %d size checks, %d callback types, %d member macros and %d virtual tables" % found)
    return 0


if __name__ == "__main__":
    sys.exit(main())
