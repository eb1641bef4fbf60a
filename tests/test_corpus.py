"""Replays the inputs that once crashed, hung or misled a fuzzer, through the Python API."""

import pathlib

import pytest

from api_walk import companion_walk, walk

CORPUS = sorted((pathlib.Path(__file__).parent / "corpus").iterdir())


@pytest.mark.parametrize("path", CORPUS, ids=[p.name for p in CORPUS])
def test_regression_input_fails_only_as_documented(path, reports):
    walk(str(path))
    companion_walk(str(path))
