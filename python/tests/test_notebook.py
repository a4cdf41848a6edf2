"""examples/fit-your-coils.ipynb, executed from its first cell to its last in
a fresh kernel; any cell's error fails the test."""

import os
import pathlib
import shutil
import tempfile
import unittest

from support import PROGRAM

NOTEBOOK = pathlib.Path(__file__).resolve().parents[2] / "examples" / "fit-your-coils.ipynb"


class NotebookTest(unittest.TestCase):
    def test_runs_to_the_end(self):
        try:
            import nbformat
            from nbclient import NotebookClient
        except ImportError as error:
            self.fail(f"{error}: the notebook test needs the Debian packages python3-nbclient and "
                      "python3-ipykernel (scripts/install-deps.sh test installs them)")
        notebook = nbformat.read(NOTEBOOK, as_version=4)
        # Stored without outputs, so that its diffs show only what was written.
        stored = [i for i, cell in enumerate(notebook.cells)
                  if cell.cell_type == "code" and (cell.outputs or cell.execution_count is not None)]
        self.assertEqual(stored, [], "cells stored with outputs")

        directory = tempfile.mkdtemp(prefix="quelmo-notebook-")
        self.addCleanup(shutil.rmtree, directory, True)
        os.environ["QUELMO_BIN"] = PROGRAM  # the kernel inherits it, and PYTHONPATH
        os.environ["PYDEVD_DISABLE_FILE_VALIDATION"] = "1"  # a debugger warning on every kernel start
        NotebookClient(notebook, timeout=300, kernel_name="python3",
                       resources={"metadata": {"path": directory}}).execute()

        outputs = [output for cell in notebook.cells if cell.cell_type == "code" for output in cell.outputs]
        self.assertEqual([o for o in outputs if o.output_type == "error"], [])
        html = [o.data["text/html"] for o in outputs if "text/html" in o.get("data", {})]
        self.assertTrue(any("quelmo fit" in text and "prediction RMS (10-fold)" in text for text in html))
        self.assertEqual(sum("image/png" in o.get("data", {}) for o in outputs), 2)
        self.assertTrue(pathlib.Path(directory, "follow-up-ranges.txt").is_file())


if __name__ == "__main__":
    unittest.main()
