"""Writes a module-definition file for python3.dll: every function and data
object the CPython headers declare under Py_LIMITED_API (the stable ABI).

Input: the preprocessed text of Python.h (compiled for Windows with
Py_LIMITED_API set), where each stable-ABI name carries __declspec(dllimport).
"""
import re
import sys

# The preprocessor may break a declaration across its line markers.
IMPORT = re.compile(r"__attribute__\(\(\s*dllimport\s*\)\)|__declspec\(\s*dllimport\s*\)")
IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def declarations(text):
    text = re.sub(r"^#.*$", "", text, flags=re.M)
    for stmt in re.split(r"[;{}]", text):
        if IMPORT.search(stmt):
            yield " ".join(IMPORT.sub(" ", stmt).split())


def name_of(decl):
    """(name, is_data) of one declaration, or None."""
    m = re.search(r"\(\s*\*\s*([A-Za-z_]\w*)\s*\)\s*\(", decl)
    if m:  # a pointer to a function is data
        return m.group(1), True
    m = re.search(r"([A-Za-z_]\w*)\s*\(", decl)
    if m and m.group(1) not in ("__attribute__", "__declspec"):
        return m.group(1), False
    idents = IDENT.findall(re.sub(r"\[.*?\]", "", decl))
    return (idents[-1], True) if idents else None


def main():
    text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
    names = {}
    for decl in declarations(text):
        found = name_of(decl)
        if found:
            names[found[0]] = found[1]
    if len(names) < 500:
        sys.exit(f"only {len(names)} stable-ABI names found: the headers were not read as expected")
    with open(sys.argv[2], "w") as out:
        out.write("LIBRARY python3.dll\nEXPORTS\n")
        for name in sorted(names):
            out.write(f"    {name}{' DATA' if names[name] else ''}\n")
    print(f"python3.dll: {len(names)} names ({sum(names.values())} data)")


if __name__ == "__main__":
    main()
