import concurrent.futures
import copy
import pickle

import numpy as np
import pytest

import lumira

BASE = (
    "This object contains:\n\tdimension of file (.dimension)\n\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n\tdictionary of parameters with parameter name then value (.parameters)\n"
    "\tspectrum x coordinates (.x)\n\tminimum and maximum y values (.minY and .maxY)\n"
)
GRID = "\t\t\tMap x\n\t\t  x1  x2  x3  x4...xn\nMap y\t\ty1\n\t\ty2\n\t\ty3\n\t\t.\n\t\t.\n\t\tyn\n\t\n"
ADDITIONS = {
    "SingleDataReturn": "\ty data points (.y)\n",
    "ImageDataReturn": "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n"
    "\t3D numpy array containing the spectrum associated with the x and y mapping coordinates (.spectra)\n"
    + GRID + "\taccess the spectrum with returnedObject.spectra[row][column]\n",
    "ImageTRCDataReturn": "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n"
    "\ta list containing the names of the trace blocks (.labels)\n"
    "\t3D numpy array containing the trace values associated with the x and y mapping coordinates (.traces)\n"
    + GRID + "\taccess the trace maps with returnedObject.traces[:,:,label index]\n",
    "TimeResolvedDataReturn": "\tz (time) axis coordinates (.z)\n"
    "\t2D numpy array containing the spectrum associated with the z time coordinates (.spectra)\n"
    "\taccess the spectrum with returnedObject.spectra[z]\n",
    "TimeResolvedTRCDataReturn": "\ta list containing the names of the trace blocks (.labels)\n"
    "\t2D numpy array containing trace values (.traces)\n\taccess the trace with returnedObject.traces[label index]\n",
    "MultiRegionDataReturn": "\tlist of regions (.regions)\n\n\teach region is a Region object containing:\n"
    "\t\tdescription of region (title)\n\t\tx mapping coordinates array (mapX)\n\t\ty mapping coordinates array (mapY)\n"
    "\t\ttimestamps of spectrum acquisition array (start_time)\n\t\t2D array containing spectra in the region (spectra)\n"
    "\t\taccess a spectrum with\n\t\t\treturnedObject.regions[region index].spectra[row]",
    "MultiRegionTRCDataReturn": "\ta list containing the names of the trace blocks (.labels)\n\tlist of regions (.regions)\n\n"
    "\teach region is a Region object containing:\n\t\tdescription of region (title)\n"
    "\t\tx mapping coordinates array (mapX)\n\t\ty mapping coordinates array (mapY)\n"
    "\t\t2D array containing traces in the region (spectra)\n\t\taccess the traces for a position with\n"
    "\t\t\treturnedObject.regions[region index].spectra[row]",
}
OWN = {
    "SingleDataReturn": ["y"],
    "ImageDataReturn": ["mapX", "mapY", "spectra"],
    "ImageTRCDataReturn": ["mapX", "mapY", "labels", "traces"],
    "TimeResolvedDataReturn": ["z", "spectra"],
    "TimeResolvedTRCDataReturn": ["labels", "traces"],
    "MultiRegionDataReturn": ["regions"],
    "MultiRegionTRCDataReturn": ["labels", "regions"],
}
OPENINGS = {
    "BaseDataReturn": "Base class for data object returned by .getOpusData().",
    "SingleDataReturn": "Single spectrum data object returned by .getOpusData() for 2D datablocks.",
    "ImageDataReturn": "Hyperspectral data object returned by .getOpusData() for 3D image datablocks.",
    "ImageTRCDataReturn": "Map(s) of a single spectral feature/integral/calculation returned by\n"
    "    .getOpusData() for 3D image TRC datablocks.",
    "TimeResolvedDataReturn": "Time-resolved spectra data object returned by .getOpusData() for 3D-TRS datablocks."
    "\n\n    Z Axis units are available from dataObject.parameters['ZTX']",
    "TimeResolvedTRCDataReturn": "Time-resolved trace data object returned by .getOpusData() for 3D-TRS TRC datablocks."
    "\n\n    x axis units are available from dataObject.parameters['DXU']",
    "MultiRegionDataReturn": "Hyperspectral multiregion point map(s) returned by .getOpusData() for\n"
    "    multiregion 3D point mapping datablocks.\n\n"
    "    Maps are _not_ guaranteed to be perfect XY grids and so spectral coordinates\n"
    "    cannot be specfied by origin point and dx/dy values as in :class:ImageDataReturn.",
    "Region": "Returned as part of a :class:MultiRegionDataReturn.",
}
OPENINGS["MultiRegionTRCDataReturn"] = OPENINGS["MultiRegionDataReturn"]

BASE_VALUES = dict(dimension="2D", dataType="AB", deriv="NONE", parameters={"NPT": 3},
                   x=np.linspace(0, 1, 3), minY=0.0, maxY=1.0)
BASE_ATTRIBUTES = ["dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY", "description"]


def make(name, **overrides):
    own = {attribute: np.arange(3, dtype=np.float32) for attribute in OWN[name]}
    return getattr(lumira, name)(**own, **BASE_VALUES, **overrides)


@pytest.mark.parametrize("name", sorted(OWN))
def test_subclass_description_and_attribute_order(name):
    result = make(name)
    assert result.description == BASE + ADDITIONS[name]
    assert str(result) is result.description and repr(result) is result.description
    assert list(vars(result)) == OWN[name] + BASE_ATTRIBUTES
    assert result.derivative == "NONE" and not hasattr(result, "deriv")


def test_base_class_alone():
    result = lumira.BaseDataReturn(*BASE_VALUES.values())
    assert result.description == BASE
    assert list(vars(result)) == BASE_ATTRIBUTES


def test_values_are_stored_as_given():
    y = np.arange(4)
    result = lumira.SingleDataReturn(y, **BASE_VALUES)
    assert result.y is y and result.parameters is BASE_VALUES["parameters"]


def test_multi_region_description_has_no_final_line_feed():
    assert make("MultiRegionDataReturn").description.endswith("spectra[row]")


@pytest.mark.parametrize("name", sorted(OPENINGS))
def test_class_docstring_layout(name):
    doc = getattr(lumira, name).__doc__
    assert doc.startswith("\n    " + OPENINGS[name] + "\n\n    Attributes:\n        ")
    assert doc.endswith("\n    ")
    attributes = ["title", "mapX", "mapY", "start_time", "spectra"] if name == "Region" else \
        ["description", "dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY", *OWN.get(name, [])]
    lines = doc.split("Attributes:\n")[1].splitlines()
    documented = [line.split()[0] for line in lines if line.startswith(" " * 8) and not line.startswith(" " * 9)]
    assert documented == attributes


def test_description_follows_reassignment_and_deletion():
    result = make("SingleDataReturn")
    result.description = "changed"
    assert str(result) == repr(result) == "changed"
    result.description = 5
    with pytest.raises(TypeError):
        str(result)
    del result.description
    with pytest.raises(AttributeError):
        repr(result)


def test_region_shows_its_title():
    region = lumira.Region(title="Region 1 (7 points)", mapX=1, mapY=2, start_time=None, spectra=3)
    assert str(region) == repr(region) == "Region 1 (7 points)"
    assert list(vars(region)) == ["title", "mapX", "mapY", "start_time", "spectra"]
    assert not hasattr(region, "description")


@pytest.mark.parametrize("call, message", [
    (lambda: lumira.SingleDataReturn(y=1, **BASE_VALUES, extra=1),
     "BaseDataReturn.__init__() got an unexpected keyword argument 'extra'"),
    (lambda: lumira.SingleDataReturn(y=1),
     "BaseDataReturn.__init__() missing 7 required positional arguments: 'dimension', 'dataType', 'deriv', "
     "'parameters', 'x', 'minY', and 'maxY'"),
    (lambda: lumira.SingleDataReturn(1, 2), "SingleDataReturn.__init__() takes 2 positional arguments but 3 were given"),
    (lambda: lumira.SingleDataReturn(1, y=2), "SingleDataReturn.__init__() got multiple values for argument 'y'"),
    (lambda: lumira.Region("t", 1, 2, 3), "Region.__init__() missing 1 required positional argument: 'spectra'"),
    (lambda: lumira.ImageDataReturn(1, **BASE_VALUES),
     "ImageDataReturn.__init__() missing 2 required positional arguments: 'mapY' and 'spectra'"),
])
def test_constructor_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_subclass_sets_own_attributes_before_base_refuses():
    # The base constructor is reached through the method resolution order,
    # so a cooperative mixin placed between sees the collected keywords.
    seen = {}

    class Mixin(lumira.BaseDataReturn):
        def __init__(self, **kwds):
            seen.update(kwds)
            super().__init__(**kwds)

    class Combined(lumira.SingleDataReturn, Mixin):
        pass

    result = Combined(y=1, **BASE_VALUES)
    assert seen.keys() == {"dimension", "dataType", "deriv", "parameters", "x", "minY", "maxY"}
    assert result.description == BASE + ADDITIONS["SingleDataReturn"]


def _all_results():
    results = [make(name) for name in OWN]
    region = lumira.Region("Region 2 (5 x 4)", np.zeros(2), np.ones(2), np.arange(2.0), np.eye(2, dtype=np.float32))
    results.append(lumira.MultiRegionDataReturn([region], **BASE_VALUES))
    results.append(region)
    return results


def _same(a, b):
    assert type(a) is type(b)
    assert list(vars(a)) == list(vars(b))
    for key, value in vars(a).items():
        other = vars(b)[key]
        if isinstance(value, np.ndarray):
            assert value.dtype == other.dtype and np.array_equal(value, other)
        elif isinstance(value, list) and value and isinstance(value[0], lumira.Region):
            for x, y in zip(value, other):
                _same(x, y)
        else:
            assert value == other


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_results_pickle(protocol):
    for result in _all_results():
        _same(result, pickle.loads(pickle.dumps(result, protocol)))
        _same(result, copy.deepcopy(result))


def _roundtrip(result):
    return result


def test_results_cross_process_boundaries():
    results = _all_results()
    with concurrent.futures.ProcessPoolExecutor(max_workers=1) as pool:
        for original, returned in zip(results, pool.map(_roundtrip, results)):
            _same(original, returned)
