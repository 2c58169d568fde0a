#!/usr/bin/env python3
"""The package's tables checked as Windows Installer's validation suite checks them, for the rules
that the tables alone decide: every cell against its _Validation row (ICE03, ICE06), and ICE60,
ICE68 and ICE82. Each rule follows Microsoft's page of it, named beside it. build-msi.cmake runs it
on every package it makes, which no Windows machine checks before a release. The rules that need
Windows (the ones that run actions or read the files packaged) are left to Orca or MsiVal2.

usage: msi_ice.py PACKAGE.msi; prints one line per error and a count, and exits 1 on an error."""
import os
import re
import subprocess
import sys
import tempfile

IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*\Z")
errors = []


def error(rule, where, what):
    errors.append(f"{rule}: {where}: {what}")


def read_tables(package):
    """{table: (columns, types, keys, rows)}, each row a dict of its cells, None for a null one.
    msiinfo writes the streams of a table it exports into the current folder: it runs in one of
    its own."""
    with tempfile.TemporaryDirectory() as scratch:
        def msiinfo(*arguments):
            return subprocess.run(["msiinfo", *arguments], cwd=scratch, check=True,
                                  capture_output=True, text=True).stdout
        tables = {}
        for table in msiinfo("tables", package).split():
            if table in ("_SummaryInformation", "_ForceCodepage"):
                continue
            lines = msiinfo("export", package, table).replace("\r", "").split("\n")
            columns, types = lines[0].split("\t"), lines[1].split("\t")
            rows = [dict(zip(columns, (cell or None for cell in line.split("\t"))))
                    for line in lines[3:] if line]
            tables[table] = (columns, types, lines[2].split("\t")[1:], rows)
        return tables


# The data types, as Microsoft's page of each (learn.microsoft.com/windows/win32/msi/<name>)
# defines them.
def short_name(name):  # Filename: 8.3, no space, none of + , ; = [ ]
    base, dot, extension = name.partition(".")
    return (0 < len(base) <= 8 and "." not in extension and (not dot or 0 < len(extension) <= 3)
            and name.isascii() and not set(name) & set('\\/?|><:*" +,;=[]'))


def filename(value, wildcards=False):
    # "A short file name must always be provided": SHORT or SHORT|long, no space before the bar.
    forbidden = set('\\/|><:"') | (set() if wildcards else set("?*"))
    short, bar, long = value.partition("|")
    check = (lambda name: short_name(name.replace("?", "A").replace("*", "A"))) if wildcards \
        else short_name
    return check(short) and (not bar or (long != "" and not set(long) & forbidden))


def formatted(value, template=False):
    # [property], [%environment], [\c], [~], [#file], [$component], [!file], and in a Template
    # [1]...; the innermost brackets resolve first. Brackets without a pair stay as text.
    inner = re.compile(r"\[([^\[\]]*)\]")
    field = r"[#$!%]?[A-Za-z_][A-Za-z0-9_.]*|\\.|~" + (r"|\d+" if template else "")
    while (match := inner.search(value)) is not None:
        if not re.fullmatch(field, match.group(1)):
            return False
        value = value[:match.start()] + "X" + value[match.end():]
    return True


def condition(value):
    """Conditional Statement Syntax: operands (properties, $component, ?component, &feature,
    !feature, %environment, integers, quoted strings), comparisons optionally prefixed by ~,
    NOT, AND, OR, XOR, EQV, IMP and parentheses."""
    tokens = re.findall(r'\s*("[^"]*"|-?\d+|~?(?:<>|><|<<|>>|<=|>=|[=<>])|[()]|'
                        r'[$?&!%]?[A-Za-z_][A-Za-z0-9_.]*|\S)', value)
    if "".join(tokens).replace(" ", "") != value.replace(" ", "").replace("\t", ""):
        return False
    tokens = [token.strip() for token in tokens]
    logical = {"AND", "OR", "XOR", "EQV", "IMP"}
    position = 0

    def operand():
        nonlocal position
        token = tokens[position] if position < len(tokens) else ""
        ok = token[:1] == '"' or re.fullmatch(r"-?\d+|[$?&!%]?[A-Za-z_][A-Za-z0-9_.]*", token)
        ok = ok and token.upper() not in logical | {"NOT"}
        position += 1
        return bool(ok)

    def term():
        nonlocal position
        if position < len(tokens) and tokens[position].upper() == "NOT":
            position += 1
            return term()
        if position < len(tokens) and tokens[position] == "(":
            position += 1
            if not expression() or position >= len(tokens) or tokens[position] != ")":
                return False
            position += 1
            return True
        if not operand():
            return False
        if position < len(tokens) and re.fullmatch(r"~?[=<>]+", tokens[position]):
            position += 1
            return operand()
        return True

    def expression():
        nonlocal position
        if not term():
            return False
        while position < len(tokens) and tokens[position].upper() in logical:
            position += 1
            if not term():
                return False
        return True

    return expression() and position == len(tokens)


def version(value):  # xxxxx.xxxxx.xxxxx.xxxxx, at most 65535.65535.65535.65535
    return (re.fullmatch(r"\d{1,5}(\.\d{1,5}){0,3}", value) is not None
            and all(int(part) <= 65535 for part in value.split(".")))


def sddl(value):  # Security Descriptor String Format, its ACE Strings and SID Strings
    ace = r"\([A-Z]{1,2};[A-Z]*;(?:[A-Z]+|0x[0-9A-Fa-f]+);[^;()]*;[^;()]*;(?:[A-Z]{2}|S-1(?:-\d+)+)\)"
    sid = r"(?:[A-Z]{2}|S-1(?:-\d+)+)"
    acl = rf"(?:P|AR|AI|NO_ACCESS_CONTROL)*(?:{ace})*"
    return re.fullmatch(rf"(?:O:{sid})?(?:G:{sid})?(?:D:{acl})?(?:S:{acl})?", value) is not None


def default_dir(value, row):
    # The DefaultDir type: an Identifier for a root directory, a Filename (or ".") otherwise,
    # target[:source].
    root = row["Directory_Parent"] in (None, row["Directory"])
    return all((IDENTIFIER.match(part) if root else part == "." or filename(part))
               for part in value.split(":", 1))


CATEGORIES = {
    "Text": lambda value, row: True,
    "Binary": lambda value, row: True,
    "UpperCase": lambda value, row: value == value.upper(),
    "LowerCase": lambda value, row: value == value.lower(),
    "Integer": lambda value, row: re.fullmatch(r"-?\d+", value) is not None,
    "DoubleInteger": lambda value, row: re.fullmatch(r"-?\d+", value) is not None,
    "Identifier": lambda value, row: IDENTIFIER.match(value) is not None,
    "Property": lambda value, row: IDENTIFIER.match(value.removeprefix("%")) is not None,
    "CustomSource": lambda value, row: IDENTIFIER.match(value) is not None,
    "Filename": lambda value, row: filename(value),
    "WildCardFilename": lambda value, row: filename(value, wildcards=True),
    "DefaultDir": default_dir,
    "GUID": lambda value, row: re.fullmatch(r"\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}",
                                            value) is not None,
    "Version": lambda value, row: version(value),
    "Language": lambda value, row: all(re.fullmatch(r"\d+", language) and int(language) <= 65535
                                       for language in value.split(",")),
    "Formatted": lambda value, row: formatted(value),
    "KeyFormatted": lambda value, row: formatted(value),
    "Template": lambda value, row: formatted(value, template=True),
    "Shortcut": lambda value, row: formatted(value),
    "RegPath": lambda value, row: formatted(value) and value[:1] != "\\" and value[-1:] != "\\",
    "Condition": lambda value, row: condition(value),
    "Cabinet": lambda value, row: (IDENTIFIER.match(value[1:]) is not None if value[:1] == "#"
                                   else short_name(value)),
    "Path": lambda value, row: not set(value) & set('<>"|*?'),
    "AnyPath": lambda value, row: not set(value) & set('<>"|*?'),
    "Paths": lambda value, row: not set(value) & set('<>"|*?'),
    "FormattedSDDLText": lambda value, row: sddl(value),
}


def ice03_06(tables):
    """ICE03 (learn.microsoft.com/windows/win32/msi/ice03): data types and foreign keys by the
    _Validation table: nullability, MinValue and MaxValue, the Set, the category, the width, the
    foreign keys (KeyTable, KeyColumn), duplicate primary keys, and a _Validation row for every
    column. ICE06 (.../ice06): every column that _Validation lists is in its table."""
    rules = {(row["Table"], row["Column"]): row for row in tables["_Validation"][3]}
    for (table, column), rule in rules.items():
        if table in tables and column not in tables[table][0]:
            error("ICE06", f"{table}.{column}", "listed in _Validation, not defined in database")
    for table, (columns, types, keys, rows) in tables.items():
        seen = set()
        for row in rows:
            key = tuple(row[column] for column in keys)
            where = f"{table} row {'/'.join(str(part) for part in key)}"
            if key in seen:
                error("ICE03", where, "Duplicate Primary Key")
            seen.add(key)
            for column, kind in zip(columns, types):
                rule, value = rules.get((table, column)), row[column]
                if rule is None:
                    error("ICE03", f"{table}.{column}", "Missing data in _Validation table")
                    continue
                check_cell(tables, f"{where}, {column}", kind, rule, row, value)


def check_cell(tables, where, kind, rule, row, value):
    if value is None:
        if rule["Nullable"] == "N":
            error("ICE03", where, "Not A Nullable Column")
        return
    if kind[0] in "iI":
        if re.fullmatch(r"-?\d+", value) is None:
            error("ICE03", where, f"not an integer: {value!r}")
            return
        number = int(value)
        if rule["MinValue"] is not None and number < int(rule["MinValue"]):
            error("ICE03", where, f"Value below MinValue: {number} < {rule['MinValue']}")
        if rule["MaxValue"] is not None and number > int(rule["MaxValue"]):
            error("ICE03", where, f"Value exceeds MaxValue: {number} > {rule['MaxValue']}")
    elif kind[0] in "sSlL":
        width = int(kind[1:])
        if width and len(value) > width:
            error("ICE03", where, f"String overflow: {len(value)} > {width}")
        category = rule["Category"]
        if category is not None:
            if category not in CATEGORIES:
                error("ICE03", where, f"_Validation table: Invalid category string {category!r}")
            elif not CATEGORIES[category](value, row):
                error("ICE03", where, f"Invalid {category}: {value!r}")
    if rule["Set"] is not None and value not in rule["Set"].split(";"):
        error("ICE03", where, f"Value not a member of the set: {value!r}")
    # A Version column that is a foreign key (File.Version) holds a version, or a companion file.
    if rule["KeyTable"] is not None and not (rule["Category"] == "Version" and version(value)):
        present = [name for name in rule["KeyTable"].split(";") if name in tables]
        if not present:
            error("ICE03", where, "_Validation table: Data in KeyTable column is incorrect")
        elif not any(value == other[tables[name][0][int(rule["KeyColumn"]) - 1]]
                     for name in present for other in tables[name][3]):
            error("ICE03", where, f"Not A Valid Foreign Key: {value!r} in {rule['KeyTable']}")


def ice60(tables):
    """ICE60 (learn.microsoft.com/windows/win32/msi/ice60): a versioned file that is not a font
    has a language, and no versioned file is in the MsiFileHash table."""
    fonts = {row["File_"] for row in tables.get("Font", ((), (), (), ()))[3]}
    hashed = {row["File_"] for row in tables.get("MsiFileHash", ((), (), (), ()))[3]}
    for row in tables.get("File", ((), (), (), ()))[3]:
        if row["Version"] is None or not version(row["Version"]):
            continue
        if row["Language"] is None and row["File"] not in fonts:
            error("ICE60", f"File row {row['File']}", "versioned, not a font, and no Language")
        if row["File"] in hashed:
            error("ICE60", f"File row {row['File']}", "Versioned. It cannot be hashed")


def ice68(tables):
    """ICE68 (learn.microsoft.com/windows/win32/msi/ice68): every custom action type is valid, and
    msidbCustomActionTypeNoImpersonate (0x800) comes with msidbCustomActionTypeInScript (0x400).
    The base types are those of Microsoft's Summary List of All Custom Action Types; the source
    of each is a key of the table its CustomSource type names."""
    sources = {1: "Binary", 2: "Binary", 5: "Binary", 6: "Binary", 17: "File", 18: "File",
               21: "File", 22: "File", 34: "Directory", 35: "Directory"}
    valid = set(sources) | {7, 19, 23, 37, 38, 39, 50, 51, 53, 54}
    for row in tables.get("CustomAction", ((), (), (), ()))[3]:
        where, kind = f"CustomAction row {row['Action']}", int(row["Type"])
        if kind & 0x3F not in valid:
            error("ICE68", where, f"Invalid custom action type {kind}")
        if kind & 0x800 and not kind & 0x400:
            error("ICE68", where, "NoImpersonate without InScript: it will not run elevated")
        table = sources.get(kind & 0x3F)
        if table and not any(row["Source"] == other[tables[table][2][0]]
                             for other in tables.get(table, ((), (), ("",), ()))[3]):
            error("ICE68", where, f"Bad CustomSource data: {row['Source']!r} not in {table}")


def ice82(tables):
    """ICE82 (learn.microsoft.com/windows/win32/msi/ice82): no two actions of a sequence table
    share a sequence number, and InstallExecuteSequence holds RegisterProduct, RegisterUser,
    PublishProduct and PublishFeatures all or none."""
    for table in ("InstallExecuteSequence", "InstallUISequence", "AdminExecuteSequence",
                  "AdminUISequence", "AdvtExecuteSequence"):
        numbers = {}
        for row in tables.get(table, ((), (), (), ()))[3]:
            if row["Sequence"] is not None and int(row["Sequence"]) > 0:
                if row["Sequence"] in numbers:
                    error("ICE82", f"{table} row {row['Action']}",
                          f"duplicate sequence number {row['Sequence']} "
                          f"(also {numbers[row['Sequence']]})")
                numbers[row["Sequence"]] = row["Action"]
    actions = {row["Action"] for row in tables.get("InstallExecuteSequence", ((), (), (), ()))[3]}
    four = {"RegisterProduct", "RegisterUser", "PublishProduct", "PublishFeatures"}
    if actions & four and not four <= actions:
        error("ICE82", "InstallExecuteSequence", f"missing {sorted(four - actions)}")


def main():
    tables = read_tables(os.path.abspath(sys.argv[1]))
    if "_Validation" not in tables:
        error("ICE03", "_Validation", "no _Validation table")
    else:
        ice03_06(tables)
    ice60(tables)
    ice68(tables)
    ice82(tables)
    for line in errors:
        print(line)
    cells = sum(len(columns) * len(rows) for columns, _, _, rows in tables.values())
    print(f"ICE03 ICE06 ICE60 ICE68 ICE82: {len(errors)} errors in {cells} cells of "
          f"{len(tables)} tables")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
