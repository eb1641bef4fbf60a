"""Whole files in one pass (read_file), batches of files (read_many, scan) and values scaled by CSF."""

import struct

import numpy as np
import pytest

import lumira
import lumira_tools
import three_d_samples
from api_walk import call, summary
from lumira_tools.cli import main
from opusbuilder import (ACQUISITION, DATA, DATA_PARAMS, FT, INSTRUMENT, OpusFile, Record3D, block_type,
                         data_block_3d, named_type, spectrum_params)


def spectra_file():
    f = OpusFile()
    f.spectrum("SSC", [1.0, 2.0, 3.0], spectrum_params(3, 4000.0, 400.0))
    f.spectrum("RSC", [4.0, 5.0], spectrum_params(2, 4000.0, 400.0))
    f.spectrum("AB", [0.5] * 6, spectrum_params(6, 3000.0, 500.0), deriv="NDER")
    f.params(block_type(param=ACQUISITION), {"NSS": 32, "SNM": "Müller"})
    f.params(block_type(param=INSTRUMENT, sample=2), {"INS": "reference side"})
    return f.params(block_type(param=FT), {"APF": "B3", "NPT": 3})  # FT's NPT wins over every block's own


def two_absorbances():
    """Two AB blocks under one type word, laid out as instrument files lay them: data, data, parameters."""
    f = OpusFile()
    f.add(named_type("AB", param=DATA), struct.pack("<3f", 1, 2, 3))
    f.add(named_type("AB", param=DATA), struct.pack("<4f", 4, 5, 6, 7))
    f.params(named_type("AB", param=DATA_PARAMS), spectrum_params(3, 4000.0, 400.0, SNM="before"))
    f.params(named_type("AB", param=DATA_PARAMS), spectrum_params(4, 3000.0, 600.0, SNM="after"))
    return f.params(block_type(param=ACQUISITION), {"NSS": 16})


def mixed_damage():
    """A good spectrum beside a series cut inside its last record and a block without NPT."""
    f = OpusFile().spectrum("AB", [1.0, 2.0, 3.0], spectrum_params(3, 4000.0, 400.0))
    f.add(named_type("TR", param=DATA), bytes(8)).params(named_type("TR", param=DATA_PARAMS), {"FXV": 1.0})
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(8, 4000.0, 400.0, ZTX="s"))
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d([Record3D([k] * 8, z=k) for k in range(3)]))
    return f.build()[:-170]


FILES = {
    "spectra": spectra_file().build(), "two absorbances": two_absorbances().build(), "mixed damage": mixed_damage(),
    **{f"3D {kind}": data for kind, data in three_d_samples.good().items()},
    **{f"3D {kind}": data for kind, data in three_d_samples.damaged().items() if " cut" in kind},
}


@pytest.mark.parametrize("name", sorted(FILES))
def test_every_block_reads_as_getOpusData_reads_it(write, reports, name):
    path = write(FILES[name])
    opened = lumira_tools.read_file(path, scale=False, strict=False)
    described = lumira_tools.read_file(path, data=False, strict=False)
    assert [b.request for b in described] == [b.request for b in opened] and opened.blocks
    for block, without in zip(opened, described):
        if block.error is not None:  # a DamagedFileError naming the file and block, caused by the reader's error
            assert isinstance(block.error, lumira_tools.DamagedFileError)
            assert str(block.error).startswith(f"{path}: {block.name}: ")
        if not block.shadowed:
            alone = call(lumira.getOpusData, path, block.request)
            assert summary(block.error.__cause__ if block.error is not None else block.result) == summary(alone)
            if not isinstance(alone, BaseException):
                assert summary(block.parameters) == summary(alone.parameters)
        if block.error is None:  # what is known without the values agrees with what they give
            assert (without.error, without.kind, without.shape) == (None, block.kind, block.shape)


def test_shadowed_blocks_read_with_their_own_parameters(write, capsys):
    path = write(two_absorbances().build())
    before, after = lumira_tools.read_file(path).blocks
    assert (before.shadowed, after.shadowed) == (True, False)
    assert before.result.y.tolist() == [1, 2, 3] and before.parameters["SNM"] == "before"
    assert after.result.y.tolist() == [4, 5, 6, 7] and after.parameters == {**spectrum_params(
        4, 3000.0, 600.0, SNM="after"), "NSS": 16}
    assert summary(after.result) == summary(lumira.getOpusData(path, ("AB", "2D", "NONE")))
    assert lumira_tools.read(path, "#0").y.tolist() == [1, 2, 3] and lumira_tools.read(path, "ab").y.size == 4
    assert main(["show", path, "#0"]) == 0 and "before" in capsys.readouterr().out
    assert main(["ls", path]) == 0 and "#0  AB/2D/NONE  spectrum  3" in capsys.readouterr().out
    assert main(["show", path, "#2"]) == 1 and "no block #2 in the file" in capsys.readouterr().err


@pytest.mark.parametrize("factor, scaled", [(0.04, True), (1.0, False), (2, True), ("1/128", False)])
def test_values_are_scaled_by_csf(write, factor, scaled):
    values = [1.5, -2.25, 1e-3, 7.0]
    f = OpusFile().spectrum("SIFG", values, spectrum_params(4, 1.0, 4.0, CSF=factor, MNY=-0.09, MXY=0.28))
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(4, 4000.0, 400.0, ZTX="s", CSF=factor))
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d([Record3D(values), Record3D(values[::-1])]))
    path = write(f.build())
    stored = np.array(values, np.float32)
    expected = (stored.astype(np.float64) * factor).astype(np.float32) if scaled else stored
    spectrum = lumira_tools.read(path, "SIFG")
    assert spectrum.y.tolist() == expected.tolist() and (spectrum.minY, spectrum.maxY) == (-0.09, 0.28)
    assert lumira_tools.read_file(path).blocks[1].result.spectra[0].tolist() == expected.tolist()
    assert lumira_tools.read(path, "SIFG", scale=False).y.tolist() == stored.tolist()


def test_a_damaged_block_does_not_hide_the_others(write):
    path = write(mixed_damage())
    good, no_npt, cut = lumira_tools.read_file(path, strict=False).blocks
    assert good.ok and good.result.y.tolist() == [1, 2, 3]
    assert isinstance(no_npt.error.__cause__, KeyError) and no_npt.result is None
    assert str(no_npt.error) == f"{path}: TR/2D/NONE: KeyError: 'NPT'"
    assert cut.error.reason.startswith("3D data block at offset") and cut.result is None
    with pytest.raises(lumira_tools.DamagedFileError, match="^.*: AB/3D/NONE: 3D data block") as raised:
        lumira_tools.read(path, "AB/3D", strict=False)
    assert raised.value.path == path and type(raised.value.__cause__) is ValueError
    # A file cut short is said once, as a whole, by every reader that refuses damage.
    for refused in (lambda: lumira_tools.read_file(path), lambda: lumira_tools.read(path, "ab"),
                    lambda: lumira_tools.read_many([path])[0].error):
        with pytest.raises(lumira_tools.DamagedFileError, match="the file is cut short at") as raised:
            error = refused()
            raise error if isinstance(error, BaseException) else AssertionError(error)
        assert raised.value.path == path and raised.value.__cause__ is None
    with pytest.raises(lumira_tools.NotOpusFileError):
        lumira_tools.read_file(write(b"\0" * 40))


def test_entries_show_every_directory_entry(write):
    f = spectra_file().add(block_type(data=40, param=DATA), b"unknown kind of block")
    entries = lumira_tools.read_file(write(f.build()), data=False).entries
    assert [(e.name, e.paramType) for e in entries[:2]] == [("SSC", DATA), ("SSC", DATA_PARAMS)]
    assert (entries[-1].dataType, entries[-1].name, entries[-1].sizeInWords) == (40, None, 6)


def test_batches_read_what_single_reads_give(write, tmp_path):
    paths = [write(data) for data in FILES.values()]
    paths += [str(tmp_path / "missing.0"), write(b"not an OPUS file"), str(tmp_path)]
    alone = [call(lumira_tools.read, path) for path in paths]
    for workers in (1, 3):
        ticks = []
        batch = lumira_tools.read_many(paths[:-1], workers=workers)  # read_many reads a folder's files
        assert [summary(f.error if f.error is not None else f.result) for f in batch] == [
            summary(a) for a in alone[:-1]]
        described = lumira_tools._many.read_files(paths, None, workers, data=False, strict=True, scale=True,
                                                  progress=lambda: ticks.append(1))
        assert len(ticks) == len(paths)
        for path, outcome in described:
            single = call(lambda: lumira_tools.read_file(path, data=False))
            assert summary(outcome if isinstance(outcome, BaseException) else [
                (b.kind, b.shape, b.error) for b in outcome]) == summary(
                single if isinstance(single, BaseException) else [(b.kind, b.shape, b.error) for b in single])
