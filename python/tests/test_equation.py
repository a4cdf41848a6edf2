"""The in-process equation and coil reader against the program itself."""

import json
import math
import os
import signal
import pathlib
import tempfile
import unittest

import numpy as np

import quelmo
from support import EXAMPLES, run_program, start_set


class EquationTest(unittest.TestCase):
    def test_same_doubles_as_the_program(self):
        # The program evaluates the best known set on the example coils and
        # writes its coilcsv (and, where it can, its result JSON).
        best = start_set(EXAMPLES / "ranges-check.txt")
        coils = quelmo.read_coils(EXAMPLES / "coils-example.txt")
        with tempfile.TemporaryDirectory() as directory:
            ranges = pathlib.Path(directory, "ranges.txt")
            ranges.write_text((EXAMPLES / "ranges-check.txt").read_text() +
                              "checkpoint c.txt\ncoilcsv coils.csv\n")
            status, _, errors = run_program(directory, str(EXAMPLES / "coils-example.txt"), str(ranges))
            self.assertEqual(status, 0, errors)
            import pandas as pd
            program = pd.read_csv(pathlib.Path(directory, "coils.csv"), float_precision="round_trip")
            with_json = ranges.read_text() + "resultjson result.json\n"
            ranges.write_text(with_json)
            status, _, _ = run_program(directory, str(EXAMPLES / "coils-example.txt"), str(ranges))
            document = json.loads(pathlib.Path(directory, "result.json").read_text()) if status == 0 else None

        self.assertEqual(list(coils["name"]), list(program["name"]))
        for column in ("measured_H", "coil_radius_m", "wire_radius_m", "gauge", "turns", "length_m"):
            np.testing.assert_array_equal(coils[column].to_numpy(), program[column].to_numpy(), err_msg=column)
        computed = quelmo.inductance(best, coils)
        self.assertEqual(computed.tobytes(), program["computed_H"].to_numpy().tobytes())
        # The same from a sequence of fifteen and from plain lists.
        plain = {column: list(coils[column]) for column in coils}
        sequence = [best[name] for name in quelmo.COEFFICIENTS]
        self.assertEqual(quelmo.inductance(sequence, plain).tobytes(), computed.tobytes())

        value = quelmo.goodness(best, coils)
        self.assertEqual(f"{value:g}", "0.0772456")
        # Summed in the program's order, the reverse of the file's, on which
        # the last bit depends for these coils.
        measured = coils["measured_H"].to_numpy()
        total = 0.0
        for square in (((computed - measured) / measured) ** 2)[::-1]:
            total += square
        self.assertEqual(value, math.sqrt(total / len(measured)))
        if document is not None:
            self.assertEqual(value, document["goodness"])
            self.assertEqual(value.hex(), float(document["goodness"]).hex())

    def test_coil_that_the_set_cannot_evaluate(self):
        # l0 = -l1 * length makes Lambda zero for a coil 1 m long.
        best = start_set(EXAMPLES / "ranges-check.txt")
        best.update(l0=-1.0, l1=1.0, l2=0.0, l3=0.0)
        coils = {"measured_H": [1e-6, 1e-6], "coil_radius_m": [0.01, 0.01], "wire_radius_m": [2e-4, 2e-4],
                 "turns": [10, 10], "length_m": [1.0, 0.5]}
        computed = quelmo.inductance(best, coils)
        self.assertTrue(np.isnan(computed[0]))
        self.assertTrue(np.isfinite(computed[1]))
        self.assertEqual(quelmo.goodness(best, coils), abs(computed[1] - 1e-6) / 1e-6)

    def test_arguments_refused(self):
        best = start_set(EXAMPLES / "ranges-check.txt")
        coil = {"coil_radius_m": [0.01], "wire_radius_m": [2e-4], "turns": [10], "length_m": [0.02]}
        cases = [
            ({k: v for k, v in best.items() if k != "l3"}, coil, "coefficients: missing l3"),
            (dict(best, x1=0), coil, "coefficients: unknown x1"),
            (dict(best, R0=1.0), coil, "coefficients: 'r0' and 'R0' name the same r0"),
            ([1.0] * 14, coil, "expected 15 values"),
            (best, dict(coil, turns=[10.5]), "turns must be whole numbers"),
            (best, {k: v for k, v in coil.items() if k != "length_m"}, "no column 'length_m'"),
            (best, dict(coil, length_m=[0.02, 0.03]), "of one length"),
        ]
        for coefficients, coils, message in cases:
            with self.subTest(message=message), self.assertRaisesRegex(ValueError, message):
                quelmo.inductance(coefficients, coils)


class ReadCoilsTest(unittest.TestCase):
    def test_faulty_files_raise_the_programs_message(self):
        cases = {
            "radius": "1e-6,0,1e-4,20,10,0.01,x\n",
            "gauge": "// comment\n1e-6,0.01,1e-4,40,10,0.01,x\n",
            "name": "1e-6,0.01,1e-4,20,10,0.01\n",
            "missing": None,
        }
        for name, text in cases.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as directory:
                if text is not None:
                    pathlib.Path(directory, "coils.txt").write_text(text)
                pathlib.Path(directory, "ranges.txt").write_text(
                    (EXAMPLES / "ranges-check.txt").read_text() + "checkpoint c.txt\n")
                status, _, expected = run_program(directory, "coils.txt", "ranges.txt")
                self.assertEqual(status, 255)
                with self.assertRaises(quelmo.InputError) as raised:
                    quelmo.read_coils(pathlib.Path(directory, "coils.txt"))
                self.assertEqual(str(raised.exception) + "\n",
                                 expected.replace("coils.txt", str(pathlib.Path(directory, "coils.txt"))))
        # The interpreter lives on, and the next file reads whole.
        self.assertEqual(len(quelmo.read_coils(EXAMPLES / "coils-small.txt")), 12)

    def test_only_regular_files_are_read(self):
        # A FIFO nobody writes to would block the reader for ever: the alarm
        # turns such a hang into a failure.
        signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(TimeoutError("read_coils blocked")))
        self.addCleanup(signal.signal, signal.SIGALRM, signal.SIG_DFL)
        with tempfile.TemporaryDirectory() as directory:
            fifo = pathlib.Path(directory, "coils.fifo")
            os.mkfifo(fifo)
            link = pathlib.Path(directory, "link.txt")
            link.symlink_to(EXAMPLES / "coils-small.txt")
            for path, kind in ((fifo, "a FIFO"), (directory, "a directory"), ("/dev/null", "a device")):
                with self.subTest(kind):
                    signal.alarm(10)
                    try:
                        with self.assertRaisesRegex(quelmo.InputError, f"is {kind}, not a regular file"):
                            quelmo.read_coils(path)
                    finally:
                        signal.alarm(0)
            # A link to a regular file is read, and its messages name the
            # path as given.
            self.assertEqual(len(quelmo.read_coils(link)), 12)
            bad = pathlib.Path(directory, "bad.txt")
            bad.write_text("1e-6,0,1e-4,20,10,0.01,x\n")
            with self.assertRaises(quelmo.InputError) as raised:
                quelmo.read_coils(bad)
            self.assertIn(f"in {bad}, radius 0 bad", str(raised.exception))


if __name__ == "__main__":
    unittest.main()
