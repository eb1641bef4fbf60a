"""What each parameter code means: its meaning, unit and, for codes that select from a few values, what each
value stands for.

The descriptions are data (parameter_codes.json beside this module), one per code that instrument files and the
readers use, written from what real files show; a meaning that rests on weak evidence is marked `uncertain`.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from datetime import datetime, timezone
from functools import lru_cache
from importlib import resources
from types import MappingProxyType
from typing import Any, Mapping, Optional

from ._extras import need

# Where a code occurs: the kinds of parameter block, and the info part of each record of a 3D block.
KINDS = ("data", "instrument", "acquisition", "FT", "optics", "sample origin", "lab", "info", "3D record")


@dataclass(frozen=True)
class ParameterDescription:
    """What one parameter code means.

    `unit` is the unit of its numbers where the files imply one (None where they have none or do not say it);
    `unit_from` names the code whose value gives the unit instead (FXV and LXV are in the x unit that DXU names).
    `values` maps each known value of an enumerated code, written as text ('B3', '1', '-1'), to its meaning.
    `kinds` says where the code occurs (see KINDS); `type` is how it is stored ('int', 'float' or 'text');
    `epoch` marks numbers that count seconds since 1970; `uncertain` marks a meaning or unit that is presumed.
    """

    code: str
    meaning: str
    type: str
    kinds: tuple[str, ...]
    unit: Optional[str] = None
    unit_from: Optional[str] = None
    values: Mapping[str, str] = field(default_factory=lambda: MappingProxyType({}), hash=False)
    epoch: bool = False
    uncertain: bool = False

    def value_meaning(self, value: Any) -> Optional[str]:
        """What a stored value stands for: an enumerated value's meaning, an epoch time as UTC text, else None."""
        if self.epoch:
            return utc_text(value)
        if not self.values or isinstance(value, (bool, float)):
            return None
        text = str(value).strip()
        if text in self.values:
            return self.values[text]
        folded = {key.casefold(): meaning for key, meaning in self.values.items()}
        return folded.get(text.casefold())


def describe(code: str) -> ParameterDescription:
    """What the parameter code means (any letter case: 'APF', 'apf'); KeyError for a code not described."""
    found = descriptions().get(code.strip().upper()) if isinstance(code, str) else None
    if found is None:
        raise KeyError(f"no description of the parameter code {code!r}")
    return found


def parameter_table() -> Any:
    """Every description as a pandas DataFrame indexed by code: columns meaning, unit, unit_from, type, kinds (a
    text such as 'instrument, 3D record'), values (a dict), epoch and uncertain. Needs pandas (the xarray extra)."""
    pandas = need("pandas", "parameter_table needs pandas: pip install 'lumira[xarray]'")
    rows = [{"code": d.code, "meaning": d.meaning, "unit": d.unit, "unit_from": d.unit_from, "type": d.type,
             "kinds": ", ".join(d.kinds), "values": dict(d.values), "epoch": d.epoch, "uncertain": d.uncertain}
            for d in descriptions().values()]
    return pandas.DataFrame(rows).set_index("code")


@lru_cache(maxsize=1)
def descriptions() -> Mapping[str, ParameterDescription]:
    text = resources.files(__package__).joinpath("parameter_codes.json").read_text(encoding="utf-8")
    return MappingProxyType({code: _description(code, entry) for code, entry in json.loads(text).items()})


def _description(code: str, entry: dict[str, Any]) -> ParameterDescription:
    return ParameterDescription(
        code=code, meaning=entry["meaning"], type=entry["type"], kinds=tuple(entry["kinds"]),
        unit=entry.get("unit"), unit_from=entry.get("unit_from"),
        values=MappingProxyType(dict(entry.get("values", {}))), epoch=entry.get("epoch", False),
        uncertain=entry.get("uncertain", False))


def utc_text(seconds: Any) -> Optional[str]:
    """Seconds since 1970 as UTC text ('2026-12-08 08:15:02.120 UTC'); 'not set' for 0, which files write for a
    time they did not take; None for what is no time at all (a text, a negative, infinite or huge number)."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        return None
    if seconds <= 0:
        return "not set" if seconds == 0 else None
    try:
        moment = datetime.fromtimestamp(seconds, timezone.utc)
    except (OverflowError, OSError, ValueError):
        return None
    return moment_text(moment)


def moment_text(moment: datetime) -> str:
    """A UTC datetime as '2026-12-08 08:15:02.120 UTC' (milliseconds only where there is a fraction)."""
    text = moment.strftime("%Y-%m-%d %H:%M:%S")
    if moment.microsecond:
        text += f".{moment.microsecond // 1000:03d}"
    return text + " UTC"
