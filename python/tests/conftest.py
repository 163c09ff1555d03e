import csv
import io
import os
import pathlib
import subprocess

import pytest


@pytest.fixture(scope="session")
def tool():
    """The `tarn` tool of the same build (TARN_TOOL, else next to the package)."""
    path = os.environ.get("TARN_TOOL")
    if not path:
        import tarn
        path = pathlib.Path(tarn.__file__).resolve().parents[2] / "tools" / "tarn"
    if not os.access(str(path), os.X_OK):
        pytest.skip("the tarn tool is not built (set TARN_TOOL)")
    return str(path)


@pytest.fixture(scope="session")
def tool_csv(tool):
    """Runs the tool with the given arguments; the rows (dicts) of the CSV it prints."""
    def run(*args):
        out = subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout
        return list(csv.DictReader(io.StringIO(out)))
    return run
