"""The progress of a fit: the program's progress stream (setting
``progressjson``, JSON lines) read as it grows, and one bar that shows it.

The bar is tqdm's notebook bar in Jupyter (when ipywidgets is there, else
one text output updated in place), tqdm's terminal bar elsewhere, and one
line on standard error redrawn in place without tqdm."""

from __future__ import annotations

import json
import os
import sys
import time
from typing import Any, Dict, List, Optional

#: The name of the stream's file in the run's directory.
STREAM = "progress.jsonl"


class ProgressStream:
    """Reads the JSON lines the program appends to ``path``.

    Parameters
    ----------
    path : str or os.PathLike
        The stream's file; it may not exist yet.

    Notes
    -----
    A line that is not a JSON object ends the reading for good
    (``broken``): the bar stops, the fit goes on. A stream cut short
    (its last line without a newline) gives nothing more.
    """

    def __init__(self, path: "os.PathLike[str] | str") -> None:
        self.path = os.fspath(path)
        self.offset = 0
        self.pending = b""
        self.broken = False

    def read(self) -> List[Dict[str, Any]]:
        """The events written since the last call, oldest first."""
        if self.broken:
            return []
        try:
            with open(self.path, "rb") as file:
                file.seek(self.offset)
                data = file.read()
        except OSError:
            return []
        self.offset += len(data)
        lines = (self.pending + data).split(b"\n")
        self.pending = lines.pop()
        events = []
        for line in lines:
            try:
                event = json.loads(line)
            except ValueError:
                event = None
            if not isinstance(event, dict):
                self.broken = True
                break
            events.append(event)
        return events


def _in_notebook() -> bool:
    shell = sys.modules.get("IPython")
    if shell is None:
        return False
    try:
        ip = shell.get_ipython()
    except AttributeError:
        return False
    return ip is not None and type(ip).__name__ == "ZMQInteractiveShell"


class _TextDisplay:
    """One output of a notebook cell, its text replaced in place."""

    def __init__(self, title: str) -> None:
        from IPython.display import display
        self.title = title
        self.handle = display({"text/plain": title}, raw=True, display_id=True)

    def show(self, text: str) -> None:
        if self.handle is not None:
            self.handle.update({"text/plain": f"{self.title}\n{text}" if self.title else text}, raw=True)


class ProgressBar:
    """One bar for a whole fit, updated in place.

    Parameters
    ----------
    enabled : bool
        False shows nothing.
    title : str
        A line said first (which program runs): on standard error, or in a
        notebook at the head of the bar's own output.
    """

    def __init__(self, enabled: bool, title: str = "") -> None:
        self.enabled = enabled
        self.title = title
        self.limit: Optional[int] = None
        self.done = 0
        self.best: Optional[float] = None
        self._bar: Any = None
        self._display: Optional[_TextDisplay] = None
        self._text = ""
        self._drawn = 0.0
        self._started = False

    def take(self, events: List[Dict[str, Any]]) -> None:
        """Takes the stream's events and redraws the bar."""
        for event in events:
            limit = event.get("limit")
            if isinstance(limit, int) and limit >= 0:
                self.limit = limit
            generation = event.get("generation")
            if event.get("event") == "generation" and isinstance(generation, int):
                self.done = generation + 1
            goodness = event.get("goodness")
            if isinstance(goodness, (int, float)) and not isinstance(goodness, bool):
                self.best = float(goodness)
        if events:
            self.draw()

    def _start(self) -> None:
        self._started = True
        notebook = _in_notebook()
        if self.title and not notebook:
            sys.stderr.write(self.title + "\n")
            sys.stderr.flush()
        try:
            if notebook:
                try:
                    import importlib.util
                    if importlib.util.find_spec("ipywidgets") is None:  # tqdm's bar would fail late
                        raise ImportError("ipywidgets")
                    from tqdm.notebook import tqdm as notebook_bar
                    self._bar = notebook_bar(total=self.limit, unit="gen", desc="quelmo", leave=False)
                    if self.title:
                        sys.stderr.write(self.title + "\n")
                except ImportError:  # tqdm or ipywidgets missing: one text output
                    self._display = _TextDisplay(self.title)
                return
            from tqdm import tqdm as terminal_bar
            self._bar = terminal_bar(total=self.limit, unit="gen", desc="quelmo", leave=False)
        except ImportError:
            pass

    def _line(self) -> str:
        limit = f"/{self.limit}" if self.limit is not None else ""
        best = f"{self.best:g}" if self.best is not None else "-"
        return f"quelmo: gen {self.done}{limit}  best {best}"

    def begin(self) -> None:
        """Says the title and puts up the bar, before any event."""
        if self.enabled and not self._started:
            self._start()

    def draw(self) -> None:
        """Redraws the bar with what it holds."""
        if not self.enabled:
            return
        self.begin()
        if self._bar is not None:
            if self._bar.total != self.limit and self.limit is not None:
                self._bar.total = self.limit
            self._bar.n = self.done
            if self.best is not None:
                self._bar.set_postfix_str(f"best {self.best:g}", refresh=False)
            self._bar.refresh()
            return
        text = self._line()
        now = time.monotonic()
        if text == self._text or now - self._drawn < 0.1:
            return
        if self._display is not None:
            self._display.show(text)
        else:
            sys.stderr.write("\r" + text.ljust(len(self._text)))
            sys.stderr.flush()
        self._drawn, self._text = now, text

    def close(self) -> None:
        """Removes the bar (the notebook's text output keeps its last state)."""
        if self._bar is not None:
            self._bar.close()
        elif self._display is not None:
            self._display.show(self._line())
        elif self._text:
            sys.stderr.write("\r" + " " * len(self._text) + "\r")
            sys.stderr.flush()
        self._bar = None
