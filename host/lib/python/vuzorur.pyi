"""FA-2/FA-3 controllers on a serial line, by their own gate addresses
("001DR0010"), through the line scheduler: station health, shared
exchanges, learned block trailers."""
from types import TracebackType
from typing import Any, Iterable, Iterator, Mapping, Optional, Sequence, Union

Value = Union[int, list[int]]

class Error(Exception):
    """Any failure of the FA line or of a gate."""
    gate: Optional[str]
    """The gate as it was written, e.g. "001DR0010"."""
    station: Optional[int]
    failure: str
    """What failed: the line's failure kind ("no_answer", "down", "nak",
    "echo", "port", ...), or for a GateError "bad_gate", "bad_value",
    "not_allowed"."""
    hint: Optional[str]
    """Which hint applies ("no_answer", "line_settings", "read_only", ...),
    or for an illegal gate what is wrong with it ("outside_range",
    "area_missing", ...)."""

class GateError(Error, ValueError):
    """The driver refuses the gate, the count or the value; nothing was sent."""

class LineError(Error):
    """The line failed: the port, a garbled or refused answer."""

class StationDown(LineError):
    """The station is held down after it stopped answering: failed at once,
    nothing sent. It is probed in the background and comes back by itself."""

class NoAnswer(LineError):
    """The station did not answer."""

class Round:
    """One round of a poll."""
    @property
    def time(self) -> float:
        """When the round was read: seconds since the epoch."""
    @property
    def values(self) -> dict[str, Optional[Value]]:
        """Each gate's value, None when it failed."""
    @property
    def errors(self) -> dict[str, Error]:
        """The exception of each gate that failed in this round."""
    def __getitem__(self, gate: str) -> Optional[Value]: ...

class Poll(Iterator[Round]):
    def __iter__(self) -> Poll: ...
    def __next__(self) -> Round: ...

TagValue = Union[int, float, bool, list[Union[int, float, bool]]]

class Tags:
    """The named tags of a gate list on a line, in their engineering units."""
    def read(self, name: str) -> TagValue:
        """The tag's value: a number (a bool for bool), a list for an array."""
    def write(self, name: str, value: float) -> Union[int, float, bool]:
        """Writes the value in the tag's units, rounded to its nearest step; returns the value written."""
    @property
    def names(self) -> list[str]: ...
    def __contains__(self, name: str) -> bool: ...

class Line:
    """One FA line: a serial port and the stations on it. A context manager;
    the line is released on exit, by close(), or when the object goes. One
    Line may be used from several threads: their reads and writes take turns
    on the line."""
    def __init__(
        self,
        port: str,
        baud: int = 9600,
        *,
        stations: Mapping[int, str] = ...,
        models: str = "",
        parity: str = "even",
        data_bits: int = 8,
        stop_bits: str = "1",
        timeout: float = 1.0,
        probe_timeout: float = 0.1,
        down_hold: float = 10.0,
        driver: str = "",
        driver_retries: bool = False,
        qel: int = 1,
        log: str = "",
    ) -> None:
        """Opens the port. stations names the model of each station ("FA2",
        "FA3"; unnamed ones are FA-2); models names a station model file
        instead. log names a file for the driver's own log. Raises ValueError for a bad setting, LineError when the port
        cannot be opened."""
    def read(self, gate: str, count: int = 1) -> Value:
        """The gate's value, or `count` consecutive elements from it as a list."""
    def write(self, gate: str, value: int) -> None: ...
    def tags(self, source: Union[str, dict[str, Union[str, dict[str, Any]]]]) -> Tags:
        """The named tags of a gate list (a file's path, or a dict {name: "001DR0010 type=int16 scale=0.1"}), each checked by the driver."""
    def scan(self, stations: Iterable[int] = ...) -> dict[int, str]:
        """Probes the stations (all 256 by default): {station: "FA2" | "FA3" |
        "unknown" | "garbled"} for those that answer."""
    def poll(self, gates: Sequence[str], every: float = 1.0, rounds: int = 0) -> Poll:
        """Reads the gates every `every` seconds, in the fewest exchanges;
        `rounds` rounds, or without end. A failed gate does not end the poll:
        it is None in the round, its exception in round.errors."""
    def stats(self) -> dict[str, Any]:
        """The line's diagnostics: {"line": {...}, "stations": [{...}, ...]}."""
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> Line: ...
    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> bool: ...
