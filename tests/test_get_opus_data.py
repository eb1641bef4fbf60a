import gc
import os
import struct
import warnings

import numpy as np
import pytest

import lumira
import lumira_tools
from opusbuilder import (ACQUISITION, DATA, DATA_PARAMS, FT, INSTRUMENT, SAMPLE_ORIGIN, END, OpusFile, Raw,
                         block_type, float_record, int_record, named_type, param_block, spectrum_params, text_record)

AB = ("AB", "2D", "NONE")


def spectrum_file(values=(1.0, 2.0, 3.0, 4.0), params=None, *, name="AB", deriv="NONE", companions=()):
    f = OpusFile()
    f.spectrum(name, values, params if params is not None else spectrum_params(len(values), 4000.0, 400.0),
               deriv=deriv)
    for word, block in companions:
        f.params(word, block) if isinstance(block, dict) else f.add(word, block)
    return f


# --- arguments ---------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "getOpusData() takes exactly 2 positional arguments (0 given)"),
    (("p",), {}, "getOpusData() takes exactly 2 positional arguments (1 given)"),
    (("p", AB, 3), {}, "getOpusData() takes exactly 2 positional arguments (3 given)"),
    ((), {"path": "p"}, "getOpusData() takes exactly 2 positional arguments (1 given)"),
    ((), {"datablock": AB}, "getOpusData() takes exactly 2 positional arguments (0 given)"),
    (("p",), {"path": "p"}, "getOpusData() takes exactly 2 positional arguments (1 given)"),
    (("p",), {"path": "p", "datablock": AB}, "getOpusData() got multiple values for keyword argument 'path'"),
    (("p", AB), {"mode": 1}, "getOpusData() got an unexpected keyword argument 'mode'"),
    ((b"p", AB), {}, "Argument 'path' has incorrect type (expected str, got bytes)"),
    ((), {"path": 3, "datablock": AB}, "Argument 'path' has incorrect type (expected str, got int)"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        lumira.getOpusData(*args, **kwargs)
    assert str(caught.value) == message


def test_str_subclass_path_is_refused(write):
    class Path(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got Path"):
        lumira.getOpusData(Path(write(spectrum_file().build())), AB)


def test_keywords_and_none_pass_the_checks(write):
    path = write(spectrum_file().build())
    assert lumira.getOpusData(datablock=AB, path=path).y.size == 4
    with pytest.raises(TypeError, match="NoneType"):  # the host's open(None)
        lumira.getOpusData(None, AB)


# --- request resolution --------------------------------------------------------------

@pytest.mark.parametrize("request_, message", [
    (("ab", "4d", "none"), "Incorrect dimensions: 4D. Dimensions need to be either 2D or 3D"),
    (("xx", "4d", "3der"), "Incorrect dimensions: 4D. Dimensions need to be either 2D or 3D"),
    (("xx", "2D", "3der"), "Invalid data block type: XX. Please enter a valid entry from the following: REFL, RAM, "
                           "SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, ABARI, AB, TRC, "
                           "SSC, RSC"),
    (("AB", "2D", "3DER"), "Invalid deriv type: 3DER.  Please select from the following: 1DER, 2DER, NDER or NONE"),
])
def test_request_errors_come_before_the_file(tmp_path, request_, message):
    with pytest.raises(ValueError) as caught:
        lumira.getOpusData(str(tmp_path / "missing.0"), request_)
    assert str(caught.value) == message


@pytest.mark.parametrize("request_, error", [
    ((1, "2D", "NONE"), AttributeError),
    (("AB", "2D"), IndexError),
    (("AB", b"2D", "NONE"), TypeError),  # bytes cannot join the message text
])
def test_malformed_requests_fail_as_the_host_does(write, request_, error):
    with pytest.raises(error):
        lumira.getOpusData(write(spectrum_file().build()), request_)


def test_request_is_case_insensitive_and_results_carry_upper_case(write):
    result = lumira.getOpusData(write(spectrum_file().build()), ["ab", "2d", "none", "ignored"])
    assert (result.dataType, result.dimension, result.derivative) == AB


@pytest.mark.parametrize("content, error, match", [
    (b"\0" * 40, ValueError, "^Can't process a non-Opus file$"),
    (b"\x0a\x0a", struct.error, "unpack requires a buffer of 4 bytes"),
])
def test_file_kind_errors(write, content, error, match):
    with pytest.raises(error, match=match):
        lumira.getOpusData(write(content), AB)


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        lumira.getOpusData(str(tmp_path / "missing.0"), AB)


@pytest.mark.parametrize("request_", [("AB", "2D", "1DER"), ("AB", "3D", "NONE"), ("TR", "2D", "NONE"),
                                      ("SSC", "2D", "NONE")])
def test_no_data_block(write, request_):
    with pytest.raises(ValueError) as caught:
        lumira.getOpusData(write(spectrum_file().build()), request_)
    assert str(caught.value) == "No data block exists in the file for: " + " ".join(request_)


def test_data_block_without_its_parameter_block(write):
    f = OpusFile().add(named_type("AB", param=DATA), b"\0" * 16)
    with pytest.raises(ValueError, match="No data block exists in the file for: AB 2D NONE"):
        lumira.getOpusData(write(f.build()), AB)


def test_three_d_is_not_matched_by_two_d(write):
    f = OpusFile()
    f.add(named_type("AB", param=DATA, dimension="3D"), b"\0" * 16)
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(4, 1.0, 4.0))
    with pytest.raises(ValueError, match="AB 2D NONE"):
        lumira.getOpusData(write(f.build()), AB)


def test_later_duplicates_win(write):
    f = spectrum_file([1.0, 1.0], spectrum_params(2, 1.0, 2.0))
    f.spectrum("AB", [2.0, 2.0, 2.0], spectrum_params(3, 1.0, 3.0))
    result = lumira.getOpusData(write(f.build()), AB)
    assert result.y.tolist() == [2.0, 2.0, 2.0]


@pytest.mark.parametrize("request_name, instrument_samples, expected", [
    ("SSC", [0], "sample0"),
    ("SSC", [1, 0], "sample0"),
    ("SSC", [0, 1], "sample1"),
    ("RSC", [0], None),
    ("RSC", [2, 0], "sample2"),
    ("AB", [0, 2], "sample0"),
])
def test_instrument_block_by_sample_type(write, request_name, instrument_samples, expected):
    f = spectrum_file(name=request_name)
    for sample in instrument_samples:
        f.params(block_type(param=INSTRUMENT, sample=sample), {"INS": f"sample{sample}"})
    result = lumira.getOpusData(write(f.build()), (request_name, "2D", "NONE"))
    assert result.parameters.get("INS") == expected


def test_derivative_request_uses_its_own_parameters(write):
    f = spectrum_file([5.0] * 2, spectrum_params(2, 10.0, 20.0))
    f.spectrum("AB", [7.0] * 3, spectrum_params(3, 1.0, 3.0), deriv="1DER")
    result = lumira.getOpusData(write(f.build()), ("AB", "2D", "1DER"))
    assert result.y.tolist() == [7.0] * 3 and result.derivative == "1DER"


# --- parameter blocks ----------------------------------------------------------------

def params_file(data_params_raw: bytes, companions=()):
    f = OpusFile().add(named_type("AB", param=DATA), struct.pack("<4f", 1, 2, 3, 4))
    f.add(named_type("AB", param=DATA_PARAMS), data_params_raw)
    for word, raw in companions:
        f.add(word, raw)
    return f.build()


BASE = b"".join([int_record("NPT", 4), float_record("FXV", 4000.0), float_record("LXV", 400.0),
                 float_record("MXY", 2.0), float_record("MNY", 1.0)])


@pytest.mark.parametrize("records, expected", [
    (int_record("ABC", 2048), {"ABC": 2048}),
    (int_record("ABC", 7, size=4) + int_record("DEF", 8), {"ABC": 7, "DEF": 8}),
    (float_record("ABC", -2.5, size=9) + int_record("DEF", 8), {"ABC": -2.5, "DEF": 8}),
    (text_record("ABC", b"ABC", size=4) + int_record("DEF", 1), {"ABC": "ABC", "DEF": 1}),
    (text_record("ABC", b"ABCD", size=2) + int_record("DEF", 1), {"ABC": "ABCD", "DEF": 1}),
    (text_record("ABC", b"", size=0) + int_record("DEF", 1), {"ABC": "", "DEF": 1}),
    (text_record("T3", "x", type_code=3) + text_record("T4", "y", type_code=4), {"T3": "x", "T4": "y"}),
    (text_record("ABC", b"AB\0CD", size=3), {"ABC": "AB"}),
    (text_record("ABC", b"\x80\x81\x8d\x8f\x90\x9d\xff"), {"ABC": "€\x81\x8d\x8f\x90\x9d\xff"}),
    (text_record("SNM", "Müller 1mm² ‘x’".encode("cp1252")), {"SNM": "Müller 1mm² ‘x’"}),
    (int_record("ABC", 1) + int_record("XYZ", 2) + int_record("ABC", 3), {"ABC": 3, "XYZ": 2}),
    (Raw(b"\0AB\0" + struct.pack("<hhi", 0, 2, 5)).data, {"AB": 5}),
    (Raw(b"NP\0T" + struct.pack("<hhi", 0, 2, 5)).data, {"NP\0T": 5}),
    (int_record("ENDX", 9), {"ENDX": 9}),
    (int_record("ABC", 1) + b"\0END" + int_record("XYZ", 2), {"ABC": 1}),
])
def test_parameter_records(write, records, expected):
    result = lumira.getOpusData(write(params_file(BASE + records + END)), AB)
    assert {k: v for k, v in result.parameters.items() if k not in ("NPT", "FXV", "LXV", "MXY", "MNY")} == expected
    assert list(result.parameters)[5:] == list(expected)


def test_merge_order_and_positions(write):
    companions = [
        (block_type(param=FT), param_block({"NPT": 2, "FT1": 1})),
        (block_type(param=SAMPLE_ORIGIN), param_block({"SNM": "s", "FXV": 100.0})),
        (block_type(param=ACQUISITION), param_block({"NSS": 32, "SNM": "acq"})),
        (block_type(param=INSTRUMENT), param_block({"INS": "i", "NSS": 64})),
    ]
    result = lumira.getOpusData(write(params_file(BASE + END, companions)), AB)
    assert list(result.parameters.items()) == [
        ("NPT", 2), ("FXV", 100.0), ("LXV", 400.0), ("MXY", 2.0), ("MNY", 1.0),
        ("NSS", 64), ("SNM", "s"), ("INS", "i"), ("FT1", 1)]
    assert result.y.tolist() == [1.0, 2.0] and result.x.tolist() == [100.0, 400.0]


@pytest.mark.parametrize("records, error, match", [
    (text_record("ABC", "x", type_code=7), ValueError, "^Unexpected value for reading parameter type: 7$"),
    (text_record("ABC", "x", type_code=-1), ValueError, "^Unexpected value for reading parameter type: -1$"),
    (b"\xffAB\0" + struct.pack("<hhi", 0, 2, 5) + END, UnicodeDecodeError, "invalid start byte"),
    (int_record("ABC", 1), ValueError, r"^Parameter block at offset \d+ is damaged: the file ends at byte \d+, before its END record$"),
    (text_record("ABC", "x", size=-3) + END, ValueError, "damaged: a text record has a negative size"),
    (text_record("ABC", "x", size=1000)[:12], ValueError, "damaged: a text record runs past the end of the file"),
])
def test_damaged_parameter_blocks(write, records, error, match):
    with pytest.raises(error, match=match):
        lumira.getOpusData(write(params_file(BASE + records)), AB)


def test_damaged_block_error_names_its_offset(write):
    data = params_file(BASE)
    offset = data.index(BASE)
    with pytest.raises(ValueError, match=f"^Parameter block at offset {offset} is damaged"):
        lumira.getOpusData(write(data), AB)


def test_cut_numeric_field_is_reported_then_damaged(write, reports):
    data = params_file(BASE + b"ABC\0" + struct.pack("<hh", 0, 2) + b"\1\0")
    with pytest.raises(ValueError, match="damaged"):
        lumira.getOpusData(write(data), AB)
    assert [(r.context, str(r.error)) for r in reports] == [("lumira.readInt", "unpack requires a buffer of 4 bytes")]


def test_block_ending_in_a_cut_end_name_reads_normally(write):
    assert lumira.getOpusData(write(params_file(BASE + b"END")), AB).y.size == 4


def test_negative_parameter_offset_is_the_hosts_seek_error(write):
    f = OpusFile().add(named_type("AB", param=DATA), b"\0" * 16)
    f.add(named_type("AB", param=DATA_PARAMS), b"", offset=-4)
    with pytest.raises(OSError) as caught:
        lumira.getOpusData(write(f.build()), AB)
    assert caught.value.errno == 22


# --- single spectra ----------------------------------------------------------------

@pytest.mark.parametrize("npt, fxv, lxv, expected_x", [
    (4, 4000.0, 400.0, [4000.0, 2800.0, 1600.0, 400.0]),
    (1, 4000.0, 400.0, [4000.0]),
    (0, 4000.0, 400.0, []),
    (1868, 3999.6, 400.2, None),
    (7, 400, 4000, None),                      # integer records
    (5, 1e-310, 2e-310, None),                 # a subnormal step
    (3, -0.0, 0.0, None),
    (3, 1.0, float("inf"), None),
    (4, float("nan"), 1.0, None),
    (1, -0.0, 5.0, None),
    (33_333, 15_797.3, -0.1, None),
])
@pytest.mark.filterwarnings("ignore:invalid value:RuntimeWarning")
def test_x_axis_is_numpys_linspace(write, npt, fxv, lxv, expected_x):
    values = np.arange(npt, dtype=np.float32) * 0.5
    result = lumira.getOpusData(write(spectrum_file(values.tolist(), spectrum_params(npt, fxv, lxv)).build()), AB)
    assert result.x.dtype == np.float64 and result.y.dtype == np.float32
    assert result.x.tobytes() == np.linspace(fxv, lxv, npt).tobytes()  # bit for bit
    if expected_x is not None:
        assert result.x.tolist() == expected_x
    assert np.array_equal(result.y, values)


def test_x_axis_matches_numpy_for_random_ends(write):
    rng = np.random.default_rng(11)
    for _ in range(40):
        fxv, lxv = (float(v) for v in rng.uniform(-1e4, 1e4, 2) * 10.0 ** rng.integers(-8, 8, 2))
        npt = int(rng.integers(2, 3000))
        path = write(spectrum_file([0.0], spectrum_params(npt, fxv, lxv)).build())
        assert lumira.getOpusData(path, AB).x.tobytes() == np.linspace(fxv, lxv, npt).tobytes()


def test_min_and_max_are_passed_on_as_stored(write):
    result = lumira.getOpusData(write(spectrum_file([5.0, -5.0], spectrum_params(2, 1.0, 2.0, mny=0.25, mxy=0.75))
                                      .build()), AB)
    assert (result.minY, result.maxY) == (0.25, 0.75)


def test_file_ending_early_gives_a_shorter_y(write):
    f = OpusFile().params(named_type("AB", param=DATA_PARAMS), spectrum_params(20, 1.0, 20.0))
    f.add(named_type("AB", param=DATA), struct.pack("<20f", *range(20))[:42])  # the file ends here
    result = lumira.getOpusData(write(f.build()), AB)
    assert len(result.x) == 20 and result.y.tolist() == [float(i) for i in range(10)]


@pytest.mark.parametrize("params, error, match", [
    ({"FXV": 1.0, "LXV": 2.0, "MXY": 1.0, "MNY": 0.0}, KeyError, "NPT"),
    ({"NPT": 2, "LXV": 2.0, "MNY": 0.0}, KeyError, "FXV"),
    ({"NPT": 2, "FXV": 1.0, "LXV": 2.0, "MXY": 1.0}, KeyError, "MNY"),
    ({"NPT": -1, "FXV": 1.0, "LXV": 2.0, "MXY": 1.0, "MNY": 0.0}, ValueError, "must be non-negative"),
    ({"NPT": 2.0, "FXV": 1.0, "LXV": 2.0, "MXY": 1.0, "MNY": 0.0}, TypeError, "cannot be interpreted"),
])
def test_parameter_errors_of_the_spectrum(write, params, error, match):
    with pytest.raises(error, match=match):
        lumira.getOpusData(write(spectrum_file([1.0, 2.0], params).build()), AB)


def test_module_names_are_used_at_each_call(write, monkeypatch):
    path = write(spectrum_file().build())
    calls = []

    class Spy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(lumira, "np", Spy())
    monkeypatch.setattr(lumira, "SingleDataReturn", lambda **kw: sorted(kw))
    assert lumira.getOpusData(path, AB) == ["dataType", "deriv", "dimension", "maxY", "minY", "parameters", "x", "y"]
    assert "linspace" in calls


@pytest.mark.parametrize("change", ["own __init__", "base __init__", "__setattr__ on the base", "a property"])
def test_classes_changed_in_place_are_called(write, monkeypatch, change):
    path = write(spectrum_file().build())
    seen = []
    if change == "own __init__":
        original = lumira.SingleDataReturn.__init__
        monkeypatch.setattr(lumira.SingleDataReturn, "__init__",
                            lambda self, **kw: (seen.append(sorted(kw)), original(self, **kw))[1])
    elif change == "base __init__":
        base = lumira.BaseDataReturn.__init__
        monkeypatch.setattr(lumira.BaseDataReturn, "__init__",
                            lambda self, **kw: (seen.append(sorted(kw)), base(self, **kw))[1])
    elif change == "__setattr__ on the base":
        monkeypatch.setattr(lumira.BaseDataReturn, "__setattr__",
                            lambda self, name, value: (seen.append(name), object.__setattr__(self, name, value))[1],
                            raising=False)
    else:
        monkeypatch.setattr(lumira.SingleDataReturn, "y", property(lambda self: "y", lambda self, value: seen.append(value)), raising=False)
    reads = [lambda: lumira.getOpusData(path, AB), lambda: lumira_tools.read(path, "AB", scale=False)]
    for read in reads[:1] if change == "a property" else reads:  # a y property leaves no values to check
        seen.clear()
        assert type(read()) is lumira.SingleDataReturn and seen


# --- handles -----------------------------------------------------------------------

def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_no_handle_outlives_a_call(write):
    good = write(spectrum_file().build())
    bad = write(params_file(BASE + int_record("ABC", 1)))
    before = open_descriptors()
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        for _ in range(50):
            lumira.getOpusData(good, AB)
            for path, request_ in ((bad, AB), (good, ("TR", "2D", "NONE")), (good, ("AB", "3D", "NONE"))):
                with pytest.raises(ValueError):
                    lumira.getOpusData(path, request_)
            lumira.listContents(good)
            lumira.isOpusFile(good)
        gc.collect()
    assert open_descriptors() == before
