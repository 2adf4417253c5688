"""The pixel-format table through _VoraSDK: the header's codes and kinds as
module constants, PixelFormatInfo as a record, and the lookups by code, name
and position with the library's status codes."""
import re

import VoraSDK as V
from conftest import REPO

HEADER = REPO / "include" / "vora_pixel_format.h"


def header_constants(prefix):
    """NAME -> value of every `#define PREFIX... 0x...u` of the header, read on its own."""
    found = re.findall(r"^#define (" + prefix + r"\w+) (0x[0-9A-Fa-f]+|\d+)u?\b", HEADER.read_text(), re.M)
    return {name: int(value, 0) for name, value in found}


def test_the_module_has_every_code_and_kind_of_the_header():
    codes, kinds = header_constants("PIXEL_FORMAT_"), header_constants("PIXEL_KIND_")
    assert len(codes) == 15 and len(kinds) == 4
    assert {name: getattr(V, name) for name in codes} == codes
    assert {name: getattr(V, name) for name in kinds} == kinds


def test_every_listed_format_is_found_again_by_code_and_by_name():
    codes = set(header_constants("PIXEL_FORMAT_").values())
    listed = {}
    for position in range(V.GetPixelFormatCount()):
        info = V.PixelFormatInfo()
        assert V.GetPixelFormatInfoByIndex(position, info) == 0
        listed[info.pixel_format] = (info.name, info.bytes_per_pixel, info.kind)
    assert set(listed) == codes
    assert len({name for name, _, _ in listed.values()}) == len(codes)
    for code, (name, size, kind) in listed.items():
        by_code, by_name = V.PixelFormatInfo(), V.PixelFormatInfo()
        assert V.GetPixelFormatInfo(code, by_code) == 0 and V.GetPixelFormatInfoByName(name, by_name) == 0
        assert (by_code.pixel_format, by_code.name, by_code.bytes_per_pixel, by_code.kind) == (code, name, size, kind)
        assert (by_name.pixel_format, by_name.name) == (code, name)
    assert listed[V.PIXEL_FORMAT_COORD3D_ABC16] == (b"Coord3D_ABC16", 6, V.PIXEL_KIND_DEPTH)
    assert listed[V.PIXEL_FORMAT_YUV422_8] == (b"YUV422_8", 2, V.PIXEL_KIND_YUV)


def test_unknown_formats_are_refused_with_the_library_status():
    info = V.PixelFormatInfo()
    assert V.GetPixelFormatInfo(0, info) == -22
    assert V.GetPixelFormatInfoByName(b"mono8", info) == -22
    assert V.GetPixelFormatInfoByIndex(V.GetPixelFormatCount(), info) == -2
    assert V.GetPixelFormatInfo(V.PIXEL_FORMAT_RGB8, None) == -2
    assert V.VoraStatusText(-22) == b"unsupported pixel format"
