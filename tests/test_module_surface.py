import inspect
import struct
import subprocess
import sys

import numpy as np
import pytest

import lumira
import three_d_samples

PARAM_DICT = {
    "SNM": "Sample Name", "SFM": "Sample Form", "CNM": "Operator Name", "EXP": "Experiment File",
    "XPP": "Experiment Path", "APT": "Aperture Setting", "BMS": "Beamsplitter Setting",
    "LWN": "Laser Wavenumber", "SRT": "Start Time", "DAT": "Date", "TIM": "Local Time",
    "NPT": "Number of Data Points", "FXV": "First X Value", "LXV": "Last X Value",
    "MNY": "Minimum Y Value", "MXY": "Maximum Y Value", "DXU": "X Units",
    "HFW": "High Frequency Limit", "LFW": "Low Frequency Limit", "HPF": "High Pass Filter",
    "LPF": "Low Pass Filter", "NSS": "Number of Sample Scans", "NSR": "Number of Reference Scans",
    "RES": "Resolution", "INS": "Instrument Type", "AN1": "Analog Signal 1", "AN2": "Analog Signal 2",
    "APF": "Apodization Function", "HFQ": "High Frequency Cutofff (FT)", "LFQ": "Low Frequency Cutoff (FT)",
    "PHZ": "Phase Correction Mode", "PHR": "Phase Resolution", "ZFF": "Zero Filling Factor",
    "ZTX": "Z Axis Label",
}

HELP_TEXT = (
    "This library contains the following functions:\n"
    "\tlistContents('path') :    This function returns a list containing the data blocks, their dimensions and derivative type\n"
    "\tisOpusFile('path'):    This function returns true if the file is an Opus file, false otherwise\n"
    "\tgetOpusData('path', ('data block type', 'dimensions', 'derivative')):\n"
    "\t\tThis function returns a Python object that contains a string parameter called description (ie: returnedObject.description)\n"
    "\t\tDescription contains the details of what the Python object contains based on the type of data block requested.\n"
    "\n"
    " For more detailed descriptions please consult the documentation.\n"
)

DOCS = {
    "help": "\n    Print a help message containing the available functions.\n    ",
    "listContents": (
        "\n    This function returns a list of datablocks for a given file.\n"
        "    Each datablock is identified by blocktype, dimensions and derivative.\n\n"
        "    Args:\n        path (path): Path to file\n\n"
        "    Returns:\n        list of tuple(str, str, str): List containing a (datablocktype, dimensions, derivative) tuple\n"
        "        for each datablock in the file\n    "
    ),
    "getOpusData": (
        "\n    This function returns a :obj:`DataReturn` object containing the data and\n"
        "    data parameters for    the specified datablock in the given file.\n\n"
        "    Args:\n        path (path):       Path to file\n"
        "        datablock (tuple of str): tuple(datablocktype, dimensions, derivative)\n"
        "                                  as returned by .listContents()\n\n"
        "    Returns:\n        :obj:`DataReturn`: Object containing the requested data and associated\n"
        "        parameters. Data structure is as specified in data.description and\n"
        "        can be one of the three types described in :class:`DataReturn`\n    "
    ),
    "isOpusFile": (
        "\n    Tests if the given file is an OPUS data file.\n\n"
        "    Args:\n        path (path): Path to file\n\n"
        "    Returns:\n        bool: True if an OPUS file\n    "
    ),
}

CLASS_NAMES = [
    "BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn", "TimeResolvedDataReturn",
    "TimeResolvedTRCDataReturn", "MultiRegionDataReturn", "Region", "MultiRegionTRCDataReturn",
]


def test_is_the_extension_module_itself():
    assert lumira.__file__.endswith(".so")
    assert lumira.__doc__ is None


def test_namespace_order():
    names = [name for name in vars(lumira) if not name.startswith("__")]
    functions = ["help", "listContents", "isOpusFile", "getOpusData"]
    assert names == ["unpack", "np", *CLASS_NAMES, *functions, "paramDict"]


def test_imports_are_the_hosts():
    import struct

    import numpy

    assert lumira.unpack is struct.unpack
    assert lumira.np is numpy


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_are_plain_types_of_this_module(name):
    cls = getattr(lumira, name)
    assert type(cls) is type
    assert cls.__module__ == "lumira"
    assert cls.__qualname__ == name
    base = object if name in ("BaseDataReturn", "Region") else lumira.BaseDataReturn
    assert cls.__bases__ == (base,)


def test_help_prints_its_text(capsys):
    assert lumira.help() is None
    assert capsys.readouterr().out == HELP_TEXT


def test_help_refuses_arguments():
    with pytest.raises(TypeError):
        lumira.help(1)


@pytest.mark.parametrize("name", sorted(DOCS))
def test_function_docstrings(name):
    assert getattr(lumira, name).__doc__ == DOCS[name]


# Functions as their documentation gives them; constructors as the guide's "Result classes" table does.
SIGNATURES = {
    "getOpusData": "(path, datablock)", "listContents": "(path, /)", "isOpusFile": "(path, /)", "help": "()",
    "BaseDataReturn": "(dimension, dataType, deriv, parameters, x, minY, maxY)",
    "SingleDataReturn": "(y, **kwds)", "ImageDataReturn": "(mapX, mapY, spectra, **kwds)",
    "ImageTRCDataReturn": "(mapX, mapY, labels, traces, **kwds)", "TimeResolvedDataReturn": "(z, spectra, **kwds)",
    "TimeResolvedTRCDataReturn": "(labels, traces, **kwds)", "MultiRegionDataReturn": "(regions, **kwds)",
    "MultiRegionTRCDataReturn": "(labels, regions, **kwds)", "Region": "(title, mapX, mapY, start_time, spectra)",
}


# CPython 3.13.0's inspect binds a class's __init__ to the class itself before it reads a signature, which a
# method written in C refuses (TypeError); other releases read the constructors' signatures.
INSPECT_BINDS_INIT = sys.version_info[:3] == (3, 13, 0)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signatures_leave_every_docstring_as_it_was(name):
    obj = getattr(lumira, name)
    if isinstance(obj, type) and INSPECT_BINDS_INIT:
        pytest.skip("inspect of CPython 3.13.0 cannot read the signature of a class whose __init__ is written in C")
    assert str(inspect.signature(obj)) == SIGNATURES[name]
    if name in DOCS:
        assert obj.__doc__ == DOCS[name]
    else:
        assert obj.__init__.__doc__ is None and "--" not in obj.__doc__


def test_param_dict_is_exact_and_ordered():
    assert list(lumira.paramDict.items()) == list(PARAM_DICT.items())


@pytest.mark.parametrize("name", ["isOpusFile", "listContents"])
@pytest.mark.parametrize("call", [
    lambda f: f(path="x"),
    lambda f: f(),
    lambda f: f("x", "y"),
])
def test_one_positional_argument_only(name, call):
    with pytest.raises(TypeError):
        call(getattr(lumira, name))


def doubled_doubles(fmt, data):
    value = struct.unpack(fmt, data)[0]
    return (value * 2,) if fmt == "<d" else (value,)


@pytest.mark.parametrize("kind, times", [
    ("series", lambda result: result.z),
    ("regions", lambda result: np.concatenate([region.start_time for region in result.regions])),
])
def test_a_rebound_unpack_decodes_the_magic_and_every_field(write, monkeypatch, kind, times):
    path = write(three_d_samples.good()[kind])
    genuine = lumira.getOpusData(path, ("AB", "3D", "NONE"))
    monkeypatch.setattr(lumira, "unpack", lambda fmt, data: (168492798,))
    assert lumira.isOpusFile(write(b"NOPE"))
    monkeypatch.setattr(lumira, "unpack", lambda fmt, data: (0,) if fmt == "<i" else struct.unpack(fmt, data))
    assert lumira.listContents(path) == []  # no directory at all
    monkeypatch.setattr(lumira, "unpack", doubled_doubles)
    result = lumira.getOpusData(path, ("AB", "3D", "NONE"))
    assert result.parameters["FXV"] == 2 * genuine.parameters["FXV"]
    assert np.array_equal(times(result), 2 * times(genuine))


def test_import_fails_without_numpy():
    code = "import sys; sys.modules['numpy'] = None\ntry:\n    import lumira\nexcept ImportError:\n    print('refused')"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "refused"


def test_module_functions_report_module():
    for name in ("help", "listContents", "isOpusFile", "getOpusData"):
        assert getattr(lumira, name).__module__ == "lumira"
        assert inspect.isbuiltin(getattr(lumira, name))
