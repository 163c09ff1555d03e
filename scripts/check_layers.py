#!/usr/bin/env python3
"""Checks the include layering of the library's sources under src/: the base
(math, diag, common) includes only base headers; the engine (config,
estimators, measurement, rtp, rtt, track) includes only base headers, the
record headers (*_types.h) and engine headers, never a function header of
the legacy exports, the host surface or anything under src/interface or
src/compat. Any other include of a quoted header fails; system headers
(<...>) are not checked."""
import pathlib
import re
import sys

BASE_DIRS = {"math", "diag", "common"}
ENGINE_DIRS = {"config", "estimators", "measurement", "rtp", "rtt", "track"}
BASE_PUBLIC = {"tarn_common.h", "tarn_math.h", "tarn_diag.h"}
RECORD_PUBLIC = {"tarn_config_types.h", "tarn_estimators_types.h",
                 "tarn_measurement_types.h", "tarn_rtp_types.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def allowed(layer, header):
    """True when a file of `layer` may include the quoted `header`."""
    top = header.split("/", 1)[0] if "/" in header else None
    if layer == "base":
        return header in BASE_PUBLIC or top in BASE_DIRS
    # engine
    return (header in BASE_PUBLIC or header in RECORD_PUBLIC or top in BASE_DIRS
            or top in ENGINE_DIRS)


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    faults = []
    checked = 0
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        sub = path.relative_to(src).parts[0]
        if sub in BASE_DIRS:
            layer = "base"
        elif sub in ENGINE_DIRS:
            layer = "engine"
        else:
            continue  # the surface (interface) and compat may include anything
        checked += 1
        text = path.read_text()
        for m in INCLUDE.finditer(text):
            header = m.group(1)
            if not allowed(layer, header):
                line = text.count("\n", 0, m.start()) + 1
                faults.append(f"{path}:{line}: {layer} file includes \"{header}\"")
    for f in faults:
        print(f)
    print(f"{checked} base and engine files checked, {len(faults)} layering faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
