#!/usr/bin/env python3
"""Compares the dynamic symbols libtarn exports with the TARN_API declarations
of the public headers; any difference (accidental export or missing symbol)
fails."""
import pathlib
import re
import subprocess
import sys


def declared(include_dir):
    names = set()
    for header in sorted(pathlib.Path(include_dir).glob("*.h")):
        text = header.read_text()
        text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
        text = re.sub(r"//[^\n]*", " ", text)
        for m in re.finditer(r"\bTARN_API\b(.*?)(?:;|\{)", text, flags=re.S):
            decl = m.group(1)
            if decl.strip().startswith("__attribute__") and "#define" in decl:
                continue
            # Name before the parameter list, array bound or initialiser.
            head = re.split(r"[\(\[=]", decl, maxsplit=1)[0]
            ids = re.findall(r"[A-Za-z_][A-Za-z0-9_]*", head)
            if ids:
                names.add(ids[-1])
    return names


def exported(lib):
    out = subprocess.run(["nm", "-D", "--defined-only", lib], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] in "TDBRVWGS" + "tdbr":
            names.add(parts[2].split("@")[0])
    return names


def main():
    lib, include_dir = sys.argv[1], sys.argv[2]
    want = declared(include_dir)
    have = exported(lib)
    # Symbols the toolchain always adds to a shared object.
    have -= {"_init", "_fini", "_edata", "_end", "__bss_start"}
    extra = sorted(have - want)
    missing = sorted(want - have)
    for name in extra:
        print(f"exported but not declared: {name}")
    for name in missing:
        print(f"declared but not exported: {name}")
    print(f"{len(have)} exported, {len(want)} declared")
    return 1 if extra or missing else 0


if __name__ == "__main__":
    sys.exit(main())
