"""examples/fit-your-coils.ipynb, executed from its first cell to its last in
a fresh kernel; any cell's error fails the test."""

import pathlib

import pytest

from support import PROGRAM

NOTEBOOK = pathlib.Path(__file__).resolve().parents[2] / "examples" / "fit-your-coils.ipynb"


def test_runs_to_the_end(tmp_path, monkeypatch):
    try:
        import nbformat
        from nbclient import NotebookClient
    except ImportError as error:
        pytest.fail(f"{error}: the notebook test needs the Debian packages python3-nbclient and "
                    "python3-ipykernel (scripts/install-deps.sh test installs them)")
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    # Stored without outputs, so that its diffs show only what was written.
    stored = [i for i, cell in enumerate(notebook.cells)
              if cell.cell_type == "code" and (cell.outputs or cell.execution_count is not None)]
    assert stored == [], "cells stored with outputs"

    monkeypatch.setenv("QUELMO_BIN", PROGRAM)  # the kernel inherits it, and PYTHONPATH
    monkeypatch.setenv("PYDEVD_DISABLE_FILE_VALIDATION", "1")  # a debugger warning on every kernel start
    NotebookClient(notebook, timeout=300, kernel_name="python3",
                   resources={"metadata": {"path": str(tmp_path)}}).execute()

    outputs = [output for cell in notebook.cells if cell.cell_type == "code" for output in cell.outputs]
    assert [o for o in outputs if o.output_type == "error"] == []
    # It leads with the comparison, predicts with the recommended formula
    # (on these coils the current sheet with Rosa's correction, which fits
    # nothing), and then shows the equation alone beside it.
    text = "".join(o.get("text", "") + o.get("data", {}).get("text/plain", "") for o in outputs)
    assert "current sheet + Rosa predicts new coils best" in text
    assert text.index("recommended_uH") < text.index("equation_alone_uH")
    for value in ("0.685291", "6.279644", "25.660078"):
        assert value in text
    html = [o.data["text/html"] for o in outputs if "text/html" in o.get("data", {})]
    assert any("quelmo fit" in text and "prediction RMS (10-fold)" in text for text in html)
    assert sum("image/png" in o.get("data", {}) for o in outputs) == 2
    assert (tmp_path / "follow-up-ranges.txt").is_file()
    # The fit's progress is one output, updated in place: nothing on stderr
    # but the program's warnings, as Python warnings.
    fit_cell = next(cell for cell in notebook.cells if "quelmo.fit(" in cell.source)
    progress = [o for o in fit_cell.outputs if "quelmo: running" in o.get("text", o.get("data", {}).get("text/plain", ""))]
    assert len(progress) == 1
    assert [o for o in fit_cell.outputs if o.get("name") == "stderr" and "Warning: " not in o.get("text", "")] == []
