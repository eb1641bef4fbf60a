"""OpusFile.history: the processing log, its sessions and operations, and what a damaged one gives."""

from __future__ import annotations

from datetime import datetime, timezone

import pytest

import lumira_tools
import partsbuilder as pb
from opusbuilder import SAMPLE_ORIGIN, OpusFile, block_type, spectrum_params

MEASUREMENT = pb.Operation("Measurement", "", "2024/03/05 10:11:12 (GMT+1)",
                           details=["\tParameters that differ:", "RES=4; NSS=32", "H2O CO2"],
                           command="MEA {EXP='default.xpm', XPP='C:\\exp'}")
COMPENSATION = pb.Operation("Atmospheric compensation", "AB->AB", "2024/03/05 10:12:00 (GMT+10.5)",
                            extra="C:\\ref\\water.0", command="ATC {}")
SAVE = pb.Operation("Save file ‘copy’ as", "AB", "2024/03/05 23:59:59 (GMT-4)", command="SAV {NAM='naïve'}")


def file_with(history: bytes, *, code_page: int | None = None, **placement) -> bytes:
    f = OpusFile().spectrum("AB", [1.0, 2.0, 3.0], spectrum_params(3, 4000.0, 400.0))
    f.params(block_type(param=SAMPLE_ORIGIN), {"SNM": "film"} | ({"CPG": code_page} if code_page else {}))
    return f.add(pb.HISTORY, history, **placement).build()


@pytest.mark.parametrize("gap", [1, 3, 8])
def test_sessions_operations_and_their_fields(write, gap):
    sessions = [pb.Session(operations=[MEASUREMENT, COMPENSATION]),
                pb.Session("Bediener:Max Muster", "Version 9.1", "film.0", "validated", [SAVE])]
    history = lumira_tools.read_file(write(file_with(pb.history_block(sessions, gap=gap)))).history
    assert history is not None
    first, second = history.sessions
    assert (first.operator, first.software, first.file, first.validation) == (
        "Jane Doe", "Version 8.5", "sample.0", "not validated")
    assert second.operator == "Max Muster" and [op.name for op in second.operations] == ["Save file ‘copy’ as"]
    measurement, compensation, save = history.operations
    assert measurement.details == ("\tParameters that differ:", "RES=4; NSS=32", "H2O CO2")
    assert measurement.command == "MEA {EXP='default.xpm', XPP='C:\\exp'}" and measurement.keyword == "MEA"
    assert (compensation.inputs, compensation.outputs, compensation.extra) == (("AB",), ("AB",), "C:\\ref\\water.0")
    assert (measurement.inputs, measurement.outputs, save.outputs) == ((), (), ("AB",))
    assert [op.time for op in history.operations] == [
        datetime(2024, 3, 5, 9, 11, 12, tzinfo=timezone.utc), compensation.time,
        datetime(2024, 3, 6, 3, 59, 59, tzinfo=timezone.utc)]
    assert save.command == "SAV {NAM='naïve'}"
    assert history.text.splitlines()[0] == "Operator:Jane Doe\tVersion 8.5\tsample.0\tnot validated"
    assert len(history.text.splitlines()) == len(history.lines) == 11


def test_texts_follow_the_files_code_page(write):
    operation = pb.Operation("Mesure", "", command="SAV {NAM='été ✓'}")
    data = pb.history_block([pb.Session(operations=[operation])], encoding="utf-8")
    assert lumira_tools.read_file(write(file_with(data, code_page=65001))).history.operations[0].command == \
        "SAV {NAM='été ✓'}"
    # Without the code page the same bytes are code page 1252, character for character.
    assert lumira_tools.read_file(write(file_with(data))).history.operations[0].command == \
        "SAV {NAM='été ✓'}".encode("utf-8").decode("cp1252")


def test_lines_before_any_header_and_commands_without_titles(write):
    data = bytearray(100) + b"loose line\0\0\0\0" + b"\t\t\tSAV {}\0"
    history = lumira_tools.read_file(write(file_with(bytes(data).ljust(-(-len(data) // 4) * 4, b"\0")))).history
    (session,) = history.sessions
    assert session.fields == () and session.details == ("loose line",)
    assert [(op.name, op.command, op.time) for op in session.operations] == [("", "SAV {}", None)]


def test_a_file_without_history_has_none(write):
    f = OpusFile().spectrum("AB", [1.0], spectrum_params(1, 1.0, 1.0))
    opened = lumira_tools.read_file(write(f.build()))
    assert opened.history is None and opened.reports == [] and opened.images == [] and opened.other == []


GOOD = pb.history_block([pb.Session(operations=[MEASUREMENT])])


@pytest.mark.parametrize("data, placement, reason", [
    (bytes(64), {}, "fewer than its 100-byte head"),
    (b"x" + GOOD[1:], {}, "its head holds text at byte 0"),
    (GOOD.rstrip(b"\0"), {}, "runs to the end of the block without its NUL"),
    (GOOD, {"size_in_words": 10**6}, "the file ends early"),
    (GOOD, {"offset": -8}, "lies outside the file"),
], ids=["short", "head", "unterminated", "cut", "before the start"])
def test_a_damaged_history_is_its_own_error(write, data, placement, reason):
    # Even a history that the end of the file cuts off, or that lies before its start, leaves the data whole.
    opened = lumira_tools.read_file(write(file_with(data, **placement)))
    with pytest.raises(lumira_tools.DamagedFileError, match=reason) as raised:
        opened.history
    assert raised.value.block == "history" and raised.value.path == opened.path
    assert opened.blocks[0].result.y.tolist() == [1.0, 2.0, 3.0]  # the data is not lost with it


def test_history_is_read_on_access_and_kept(write, monkeypatch):
    opened = lumira_tools.read_file(write(file_with(GOOD)))
    calls = []
    monkeypatch.setattr(lumira_tools._history._native, "read_history",
                        lambda *args, real=lumira_tools._native.read_history: calls.append(1) or real(*args))
    assert opened.history is opened.history and len(calls) == 1
