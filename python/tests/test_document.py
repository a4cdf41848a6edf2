"""The one reader of the result JSON, as FitResult and quelmo.inductance use
it (strict) and the report page and quelmo-plot use it (tolerant)."""

import json
import os

import pytest

from quelmo import ResultFileError
from quelmo._document import read_result_json

STRICT = {"goodness": 0.1, "coefficients": {"r0": 1.0}, "settings": {}, "coils": [{"name": "c1"}]}

BAD = [  # name, file content (None: a FIFO), what the message says, refused when tolerant too
    ("a FIFO", None, "r.json: it is a FIFO; only regular files are read", True),
    ("not JSON", '{"goodness":\n,}', "r.json: line 2: not JSON: Expecting value", True),
    ("nested too deeply", "[" * 100000 + "]" * 100000, "its JSON is nested too deeply", True),
    ("not an object", "[1]", "not a quelmo result (no goodness)", True),
    ("an older document", '{"goodness": 0.1}', "not a quelmo result, missing coefficients, settings", False),
    ("a lone surrogate", json.dumps(STRICT).replace('"c1"', '"\\ud800"'),
     "r.json: coils[0].name holds the escape \\ud800", True),
    ("a 400-digit integer", json.dumps(STRICT).replace("0.1", "7" * 400),
     "r.json: goodness is a number of 400 digits, beyond the range of a floating-point number", True),
]


@pytest.mark.parametrize("name, text, message, tolerant_too", BAD, ids=[case[0] for case in BAD])
def test_bad_results_are_refused_with_what_is_wrong(name, text, message, tolerant_too, tmp_path):
    path = tmp_path / "r.json"
    if text is None:
        os.mkfifo(path)  # read at all, it would wait for a writer for ever
    else:
        path.write_text(text, encoding="utf-8", errors="surrogatepass")
    with pytest.raises(ResultFileError) as error:
        read_result_json(path)
    assert message in str(error.value)
    if tolerant_too:
        with pytest.raises(ResultFileError, match="r.json"):
            read_result_json(path, tolerant=True)
    else:
        assert read_result_json(path, tolerant=True) == {"goodness": 0.1}


def test_a_name_that_is_not_utf8_reads_back_as_its_bytes(tmp_path):
    path = tmp_path / "r.json"
    path.write_bytes(json.dumps(STRICT).replace('"c1"', '"c\\u00ff"').encode().replace(b"c\\u00ff", b"c\xff"))
    name = read_result_json(path)["coils"][0]["name"]
    assert name.encode("utf-8", "surrogateescape") == b"c\xff"
