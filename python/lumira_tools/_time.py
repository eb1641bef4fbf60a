"""When a block was measured: its DAT and TIM parameters as one instant in UTC.

Instruments write the date day first (`03/05/2019`) or year first (`2012/11/09`), and the time of day with the
offset of their local zone (`13:34:44.641 (GMT-4)`, `11:45:34 (GMT-6)`, `12:28:27.332 (GMT+1)`, `... (GMT+5:30)`).
The offset is the zone's, so UTC is the local time minus the offset.

A value that is absent or cannot be read gives None rather than an exception: a batch of files should not fail
over a timestamp. A time without a zone gives None too: the instrument's zone is unknown, and taking it as UTC
would shift the instant by hours without saying so.
"""

from __future__ import annotations

import re
from datetime import datetime, timedelta, timezone
from typing import Mapping, Optional

_DATE = re.compile(r"(\d{1,4})[/.-](\d{1,2})[/.-](\d{1,4})")
_TIME = re.compile(
    r"(\d{1,2}):(\d{2})(?::(\d{2})(?:\.(\d{1,6}))?)?"            # 13:34:44.641
    r"\s*\(?\s*(?:GMT|UTC)\s*(?:([+-])\s*(\d{1,2})(?::(\d{2}))?)?\s*\)?")  # (GMT-4), (GMT+5:30), (GMT)
# Real zones lie within UTC-12 .. UTC+14.
_LARGEST_OFFSET = timedelta(hours=14)


def acquisition_time(parameters: Mapping[str, object]) -> Optional[datetime]:
    """The instant the parameters' DAT and TIM name, as a timezone-aware datetime in UTC; None when either is
    absent, cannot be read, or the time does not state its zone."""
    date, clock = parameters.get("DAT"), parameters.get("TIM")
    if not isinstance(date, str) or not isinstance(clock, str):
        return None
    day = _date(date.strip())
    moment = _TIME.fullmatch(clock.strip())
    if day is None or moment is None:
        return None
    hour, minute, second, fraction, sign, offset_hours, offset_minutes = moment.groups()
    offset = timedelta(hours=int(offset_hours or 0), minutes=int(offset_minutes or 0))
    if offset > _LARGEST_OFFSET or int(offset_minutes or 0) >= 60:
        return None
    zone = timezone(-offset if sign == "-" else offset)
    try:
        local = datetime(day[0], day[1], day[2], int(hour), int(minute), int(second or 0),
                         int((fraction or "0").ljust(6, "0")), tzinfo=zone)
    except ValueError:  # 31/02, 25:00, second 60, ...
        return None
    return local.astimezone(timezone.utc)


def _date(text: str) -> Optional[tuple[int, int, int]]:
    """(year, month, day) of '03/05/2019' (day first) or '2012/11/09' (year first)."""
    parts = _DATE.fullmatch(text)
    if parts is None:
        return None
    first, month, last = parts.groups()
    if len(first) == 4 and len(last) <= 2:
        return int(first), int(month), int(last)
    if len(last) == 4 and len(first) <= 2:
        return int(last), int(month), int(first)
    return None  # a two-digit year leaves the century, and which end is the year, to guesswork
