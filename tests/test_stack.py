"""Acquisition times, many files as one table (stack, metadata, export --stack) and plots of several files."""

import datetime

import pytest

import lumira_tools

SAMPLE = "examples/data/film_absorbance.0"
UTC = datetime.timezone.utc


@pytest.mark.parametrize("date, time, expected", [
    ("03/05/2019", "13:34:44.641 (GMT-4)", datetime.datetime(2019, 5, 3, 17, 34, 44, 641000, UTC)),
    ("2012/11/09", "11:45:34 (GMT-6)", datetime.datetime(2012, 11, 9, 17, 45, 34, 0, UTC)),
    ("03/05/2019", "12:28:27.332 (GMT+1)", datetime.datetime(2019, 5, 3, 11, 28, 27, 332000, UTC)),
    ("01/01/2020", "02:00:00 (GMT+5:30)", datetime.datetime(2019, 12, 31, 20, 30, 0, 0, UTC)),
    ("03/05/2019", "12:28:27", None),  # no zone: the instant is unknown
    ("31/02/2019", "12:00:00 (GMT+1)", None),
    ("03/05/19", "12:00:00 (GMT+1)", None),
    ("03/05/2019", "25:00:00 (GMT+1)", None),
    ("03/05/2019", "12:00:00 (GMT+25)", None),
    ("yesterday", "noon", None),
    (20190503, "12:00:00 (GMT+1)", None),
    (None, "12:00:00 (GMT+1)", None),
])
def test_acquisition_time_from_each_written_form(date, time, expected):
    parameters = {"TIM": time} if date is None else {"DAT": date, "TIM": time}
    found = lumira_tools.acquisition_time(parameters)
    assert found == expected
    if found is not None:
        assert found.tzinfo == UTC


def test_block_time_and_the_xarray_attribute():
    pytest.importorskip("xarray")
    block = lumira_tools.read_file(SAMPLE)["ab"]  # DAT 08/12/2026, TIM 09:15:02.120 (GMT+1)
    assert block.time == datetime.datetime(2026, 12, 8, 8, 15, 2, 120000, UTC)
    assert lumira_tools.to_xarray(block.result).attrs["time"] == "2026-12-08T08:15:02.120000+00:00"
