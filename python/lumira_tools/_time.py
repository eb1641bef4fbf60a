"""When a block was measured: its DAT and TIM parameters as one instant in UTC.

Instruments write the date day first (`03/05/2019`) or year first (`2012/11/09`), and the time of day with the
offset of their local zone (`13:34:44.641 (GMT-4)`, `11:45:34 (GMT-6)`, `12:28:27.332 (GMT+1)`, `... (GMT+5:30)`,
or in decimal hours `... (GMT+10.5)` for UTC+10:30). The offset is the zone's, so UTC is the local time minus the
offset.

Some instruments write a fraction of a second that is no number, such as `10:31:19.-70`. Whether that means -70 ms
or is just garbage cannot be told, so the fraction is dropped and the time read to the whole second: an error below
one second, where the other reading would risk one in the wrong direction.

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
    r"(\d{1,2}):(\d{2})(?::(\d{2})(?:\.([+-]?\d*))?)?"          # 13:34:44.641, 10:31:19.-70
    r"\s*\(?\s*(?:GMT|UTC)\s*"
    r"(?:([+-])\s*(\d{1,2})(?::(\d{2})|\.(\d{1,4}))?)?\s*\)?")  # (GMT-4), (GMT+5:30), (GMT+10.5), (GMT)
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
    hour, minute, second, fraction, sign, offset_hours, offset_minutes, offset_decimals = moment.groups()
    offset = _zone_offset(int(offset_hours or 0), offset_minutes, offset_decimals)
    if offset is None:
        return None
    zone = timezone(-offset if sign == "-" else offset)
    try:
        local = datetime(day[0], day[1], day[2], int(hour), int(minute), int(second or 0),
                         _microseconds(fraction), tzinfo=zone)
    except ValueError:  # 31/02, 25:00, second 60, ...
        return None
    return local.astimezone(timezone.utc)


def _zone_offset(hours: int, minutes: Optional[str], decimals: Optional[str]) -> Optional[timedelta]:
    """The zone's offset from hours and either minutes (5:30) or decimal hours (10.5); None beyond real zones."""
    if minutes is not None:
        if int(minutes) >= 60:
            return None
        offset = timedelta(hours=hours, minutes=int(minutes))
    else:
        # Decimal hours name whole minutes in every real zone; rounding keeps a 10.33 from adding 48 seconds.
        offset = timedelta(hours=hours, minutes=round(int(decimals or 0) * 60 / 10 ** len(decimals or "")))
    return None if offset > _LARGEST_OFFSET else offset


def _microseconds(fraction: Optional[str]) -> int:
    """The fraction of a second as microseconds; 0 for a fraction that is no plain run of digits (`.-70`)."""
    if not fraction or not fraction.isdigit():
        return 0
    return int(fraction[:6].ljust(6, "0"))


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
