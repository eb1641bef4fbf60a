import os
import pathlib
import struct

import pytest

import lumira
from opusbuilder import (ANNOTATION, DATA, DATA_PARAMS, EXTENDED_DIRECTORY, MAGIC, THREE_D, OpusFile, block_type,
                         directory_entry, header, named_type)

# The listing's data type names, from the format's name table.
NAMES = {(1, 1): "SSC", (1, 2): "RSC", (2, 1): "SIFG", (2, 2): "RIFG", (3, 1): "SPH", (3, 2): "RPH",
         (14, 1): "SPOW", (14, 2): "RPOW"}
ANY_SAMPLE = {4: "AB", 5: "TR", 6: "KM", 7: "TRC", 10: "RAM", 11: "EMIS", 12: "REFL", 15: "LREFL", 16: "ATR",
              17: "PAS", 18: "TRARI", 19: "ABARI"}
FRONT = {"AB", "TR", "REFL", "ATR", "PAS", "RAM", "KM", "EMIS"}


def decode(word):
    return [(word >> shift) & mask for shift, mask in ((0, 3), (2, 3), (4, 63), (10, 127), (17, 3), (19, 127))]


def expected_listing(words):
    front, back = [], []
    for word in words:
        _, sample, param, data, deriv, extend = decode(word)
        name = ANY_SAMPLE.get(data) or NAMES.get((data, sample))
        if param != 1 or name is None:
            continue
        triple = (name, "3D" if extend == 10 else "2D", ["NONE", "1DER", "2DER", "3DER"][deriv])
        (front.insert(0, triple) if name in FRONT else back.append(triple))
    return front + back


def file_with_words(words):
    data = header(dir_size=len(words)) + b"".join(directory_entry(w, 0, 0) for w in words)
    return data


# --- the magic test ----------------------------------------------------------

@pytest.mark.parametrize("content, expected", [
    (MAGIC, True),
    (MAGIC + b"anything", True),
    (bytes([0xFE, 0xFE, 0x0A, 0x0A]) + bytes(20), False),
    (b"\0" * 24, False),
])
def test_magic(write, content, expected):
    assert lumira.isOpusFile(write(content)) is expected


@pytest.mark.parametrize("length", range(4))
def test_magic_of_short_file_is_struct_error(write, length):
    with pytest.raises(struct.error, match="unpack requires a buffer of 4 bytes"):
        lumira.isOpusFile(write(MAGIC[:length]))


@pytest.mark.parametrize("convert", [str, os.fsencode, pathlib.Path])
def test_paths_as_open_takes_them(write, convert):
    path = write(header())
    assert lumira.isOpusFile(convert(path)) is True
    assert lumira.listContents(convert(path)) == []


@pytest.mark.parametrize("function", [lumira.isOpusFile, lumira.listContents])
def test_open_errors_propagate(tmp_path, function):
    with pytest.raises(FileNotFoundError):
        function(str(tmp_path / "missing.0"))
    with pytest.raises(IsADirectoryError):
        function(str(tmp_path))
    with pytest.raises(TypeError):
        function(3.5)


def test_unpack_is_looked_up_at_each_use(write, monkeypatch):
    calls = []

    def spy(fmt, data):
        calls.append((fmt, data))
        raise ValueError("spied")

    monkeypatch.setattr(lumira, "unpack", spy)
    with pytest.raises(ValueError, match="spied"):
        lumira.isOpusFile(write(b"\x0a\x0a"))
    assert calls == [(">i", b"\x0a\x0a")]


# --- listing -------------------------------------------------------------------

def test_non_opus_file_is_refused_even_with_a_valid_directory(write):
    data = b"\0\0\0\0" + file_with_words([named_type("AB", param=DATA_PARAMS)])[4:]
    with pytest.raises(ValueError, match="^Can't process a non-Opus file$"):
        lumira.listContents(write(data))


def test_listing_order(write):
    words = [named_type(n, param=DATA_PARAMS) for n in ("AB", "SSC", "TR", "RSC")]
    assert lumira.listContents(write(file_with_words(words))) == [
        ("TR", "2D", "NONE"), ("AB", "2D", "NONE"), ("SSC", "2D", "NONE"), ("RSC", "2D", "NONE")]


@pytest.mark.parametrize("word, expected", [
    (4112, [("AB", "2D", "NONE")]),
    ((1 << 4) | (1 << 12) | (1 << 20) | (1 << 22), [("AB", "3D", "NONE")]),
    ((1 << 4) | (1 << 12) | (1 << 17) | (1 << 18), [("AB", "2D", "3DER")]),
    (1044, [("SSC", "2D", "NONE")]),
    (1048, [("RSC", "2D", "NONE")]),
    (block_type(param=1, data=1, sample=0), []),
    (block_type(param=0, data=4), []),
    (block_type(param=1, data=4, extend=EXTENDED_DIRECTORY), [("AB", "2D", "NONE")]),
    (block_type(param=1, data=4, extend=ANNOTATION), [("AB", "2D", "NONE")]),
    (4112 | (1 << 26) | (1 << 31), [("AB", "2D", "NONE")]),
    (-1, []),  # paramType 63
    (-1 ^ (62 << 4) ^ (127 << 10) ^ (4 << 10), [("AB", "2D", "3DER")]),  # negative word, paramType 1, AB, extend 127
])
def test_block_type_words(write, word, expected):
    assert lumira.listContents(write(file_with_words([word]))) == expected


def test_every_type_and_sample_code(write):
    words = [block_type(param=param, data=data, sample=sample, deriv=data % 4, extend=(0, 10, 11, 127)[sample])
             for data in range(128) for sample in range(4) for param in (0, 1, 2)]
    assert lumira.listContents(write(file_with_words(words))) == expected_listing(words)


@pytest.mark.parametrize("bit", range(32))
def test_each_bit_of_the_word(write, bit):
    words = [4112 ^ (1 << bit), 1044 ^ (1 << bit)]
    assert lumira.listContents(write(file_with_words(words))) == expected_listing(words)


def test_duplicates_are_kept(write):
    word = named_type("SSC", param=DATA_PARAMS)
    assert lumira.listContents(write(file_with_words([word, word]))) == [("SSC", "2D", "NONE")] * 2


# --- the directory and its extension --------------------------------------------

def test_extended_entries_follow_the_first_directory(write):
    f = OpusFile()
    f.params(named_type("SSC", param=DATA_PARAMS), {}, extended=True)
    f.params(named_type("TR", param=DATA_PARAMS), {}, extended=True)
    f.params(named_type("RSC", param=DATA_PARAMS), {})
    f.params(named_type("AB", param=DATA_PARAMS), {})
    assert lumira.listContents(write(f.build())) == [
        ("TR", "2D", "NONE"), ("AB", "2D", "NONE"), ("RSC", "2D", "NONE"), ("SSC", "2D", "NONE")]


def extended_file(markers, entries, count=None):
    """Header, first directory with `markers` (offsets of marker entries) and
    one AB entry, then an extended directory at byte 100."""
    first = [directory_entry(block_type(extend=EXTENDED_DIRECTORY), 0, offset) for offset in markers]
    first.append(directory_entry(named_type("AB", param=DATA_PARAMS)))
    data = bytearray(header(dir_size=len(first)) + b"".join(first))
    data.extend(bytes(100 - len(data)))
    data += struct.pack("<qq", len(entries) if count is None else count, 12345)
    for word in entries:
        data += struct.pack("<qqqq", word, 1, 2, 3)
    return bytes(data)


@pytest.mark.parametrize("markers, listed", [
    ([100], ["AB", "SSC"]),
    ([0], ["AB"]),            # a marker at offset 0 is ignored
    ([0, 100], ["AB", "SSC"]),
    ([100, 0], ["AB"]),        # only the last marker counts
    ([24, 100], ["AB", "SSC"]),
])
def test_extended_directory_markers(write, markers, listed):
    data = extended_file(markers, [named_type("SSC", param=DATA_PARAMS)])
    assert [t[0] for t in lumira.listContents(write(data))] == listed


def test_empty_extended_directory(write):
    assert lumira.listContents(write(extended_file([100], []))) == [("AB", "2D", "NONE")]


def test_64_bit_words_decode_like_32_bit_ones(write):
    word = named_type("RSC", param=DATA_PARAMS) | (0x7FFF << 40) | (1 << 63)
    assert lumira.listContents(write(extended_file([100], [word - (1 << 64)])))[1] == ("RSC", "2D", "NONE")


@pytest.mark.parametrize("dir_size", [0, -1, -(2**31)])
def test_no_directory_entries(write, dir_size):
    data = header(dir_size=dir_size) + directory_entry(named_type("AB", param=DATA_PARAMS))
    assert lumira.listContents(write(data)) == []


def test_no_entries_means_no_extension(write):
    data = bytearray(extended_file([100], [named_type("SSC", param=DATA_PARAMS)]))
    data[20:24] = struct.pack("<i", 0)
    assert lumira.listContents(write(bytes(data))) == []


def test_negative_directory_offset_is_the_hosts_seek_error(write):
    with pytest.raises(OSError) as caught:
        lumira.listContents(write(header(offset_to_directory=-8, dir_size=1)))
    assert caught.value.errno == 22


def test_negative_extension_offset_is_the_hosts_seek_error(write):
    data = header(dir_size=1) + directory_entry(block_type(extend=EXTENDED_DIRECTORY), 0, -5)
    with pytest.raises(OSError):
        lumira.listContents(write(data))


# --- truncated files: short reads are reported and read as zero ---------------------

def contexts(reports):
    return [(r.context, str(r.error)) for r in reports]


def test_header_cut_after_magic(write, reports, capsys):
    assert lumira.listContents(write(MAGIC)) == []
    assert contexts(reports) == [("lumira.readDouble", "unpack requires a buffer of 8 bytes")] + \
        [("lumira.readInt", "unpack requires a buffer of 4 bytes")] * 3
    assert all(type(r.error) is struct.error for r in reports)
    assert capsys.readouterr().err.count("struct.error: unpack requires a buffer of") == 4


def test_directory_cut_inside_its_last_entry(write, reports):
    word = named_type("AB", param=DATA_PARAMS)
    data = header(dir_size=3) + directory_entry(word) + struct.pack("<i", word) + b"\1\0"
    assert lumira.listContents(write(data)) == [("AB", "2D", "NONE")] * 2
    assert contexts(reports) == [("lumira.readInt", "unpack requires a buffer of 4 bytes")] * 2


@pytest.mark.parametrize("claimed", [2**31 - 1, 1000])
def test_huge_directory_count_stops_at_the_end_of_the_file(write, reports, claimed):
    word = named_type("AB", param=DATA_PARAMS)
    data = header(dir_size=claimed) + directory_entry(word) + b"\0\0\0\0"
    assert len(data) == 40
    assert lumira.listContents(write(data)) == [("AB", "2D", "NONE")]
    assert len(reports) == 2  # the cut entry's two missing fields, nothing beyond


def test_huge_extended_count_stops_at_the_end_of_the_file(write, reports):
    data = extended_file([100], [named_type("SSC", param=DATA_PARAMS)], count=2**62)
    assert [t[0] for t in lumira.listContents(write(data))] == ["AB", "SSC"]
    assert reports == []


def test_reports_use_the_modules_unpack(write, reports, monkeypatch):
    import struct as host_struct

    seen = []

    def spy(fmt, data):
        seen.append(fmt)
        return host_struct.unpack(fmt, data)

    monkeypatch.setattr(lumira, "unpack", spy)
    lumira.listContents(write(MAGIC + b"\0" * 8))
    # Every field goes through it: the magic, the version, and the three cut-off counts it reports.
    assert seen == [">i", "<d", "<i", "<i", "<i"] and len(reports) == 3


def test_is_opus_file_rebinding_is_honoured(write, monkeypatch):
    path = write(b"\0" * 24)
    monkeypatch.setattr(lumira, "isOpusFile", lambda p: True)
    assert lumira.listContents(path) == []
    monkeypatch.setattr(lumira, "isOpusFile", lambda p: 0)
    with pytest.raises(ValueError, match="non-Opus"):
        lumira.listContents(write(header()))


def test_three_d_and_annotation_entries(write):
    f = OpusFile()
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), {})
    f.add(named_type("AB", param=DATA, dimension="3D"))
    f.add(block_type(extend=ANNOTATION, param=0))
    f.params(named_type("AB", param=DATA_PARAMS, deriv="1DER"), {})
    assert lumira.listContents(write(f.build())) == [("AB", "2D", "1DER"), ("AB", "3D", "NONE")]
