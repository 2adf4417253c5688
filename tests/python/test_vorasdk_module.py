"""_VoraSDK as a module: argument and result conversion, records, typed
arrays, StringVector, constants, and the NumPy arguments with their size
checks. Calls for camera NONE, which never exists, return the library's
missing-object results: that tells a call from a refusal (an exception)."""
import subprocess
import sys

import numpy as np
import pytest

import VoraSDK as V
import _VoraSDK as M
from conftest import child_env

CLOUD = 0x023000B9
NONE = 99


def cloud_record(width, height, payload=None, unit=10):
    info = V.PhotoInfoCSharp()
    info.pixel_format, info.pixel_width, info.pixel_height = CLOUD, width, height
    info.payload_size = 6 * width * height if payload is None else payload
    info.cloud_unit = unit
    return info


def raw_cloud(width, height):
    """x = i, y = -i, z = 1000 + i for point i, little-endian 16-bit."""
    i = np.arange(width * height)
    return np.stack([i, -i, 1000 + i], axis=1).astype("<i2").tobytes()


def error_of(call, *args):
    with pytest.raises(Exception) as caught:
        call(*args)
    return type(caught.value), str(caught.value)


def test_arguments_are_converted_by_parameter_type():
    assert error_of(V.SetMaxBufferLength, 0, 0, -1)[0] is OverflowError
    assert error_of(V.GetBlockRate, 0, 70000) == (
        OverflowError, "in method 'GetBlockRate', argument 2 of type 'unsigned short'")
    assert error_of(V.CameraConnect, 2**31)[0] is OverflowError
    assert error_of(V.SaveXmlToLocal, 0, "dir") == (TypeError, "in method 'SaveXmlToLocal', argument 2 of type 'char *'")
    assert V.SaveXmlToLocal(NONE, b"dir") == -99  # bytes reach the library
    assert error_of(V.Convert3DPointFromCharToFloatCSharp, NONE, None, b"", np.zeros(3, np.float32)) == (
        ValueError, "invalid null reference in method 'Convert3DPointFromCharToFloatCSharp', "
                    "argument 2 of type 'PhotoInfoCSharp &'")
    assert error_of(M.DiscoverCamera, 1)[0] is TypeError
    assert error_of(M.GetBlockRate, 0)[0] is TypeError
    with pytest.raises(TypeError):
        M.GetBlockRate(index=0, channel=0)


def test_results_keep_their_types():
    assert V.CameraIP(NONE) == b"0.0.0.0" and V.SDKVersion(NONE) == b""
    assert V.GetTimestampValue(NONE) == 2**64 - 99
    assert V.WhetherIsSameSegment(NONE) is False
    assert V.GetPacketResendRatio(NONE, 0) == -98.0 and V.GetBlockRate(NONE, 0) == -98.0
    assert V.GetBlockTimeout(NONE, 0) == -99 and V.FlushBuffer(NONE, 0) is None


def test_records_start_zero_filled():
    record = M.new_PhotoInfo()
    assert M.PhotoInfo_pixel_get(record) is None and M.PhotoInfo_pixel_width_get(record) == 0
    M.delete_PhotoInfo(record)
    for name in ("PhotoInfo", "PhotoInfoCSharp", "RoiPoint", "StatisticsData", "StatisticsDataCSharp",
                 "DiscoveryInfo", "CameraParameter", "InstanceDevice", "PacketInfo", "RecvDataBuff",
                 "RecvDataTemp", "DiscoverCmdPack", "ForceIpCmdPack", "ForceIpRebootCmdPack", "WriteRegCmdPack",
                 "ReadRegCmdPack", "ReadMemCmdPack", "WriteMemCmdPack", "PacketResendCmdPack"):
        cls = getattr(V, name)
        for field in (f for f in dir(cls) if isinstance(getattr(cls, f), property) and f != "thisown"):
            value = getattr(cls(), field)
            assert value in (0, b"", b"\0", None) or "Swig Object" in repr(value) or "proxy" in repr(value), (name, field)


def test_fixed_character_arrays_are_padded_and_bounded():
    d = V.DiscoveryInfo()
    d.device_model_name = b"\xff" * 31
    d.device_vendor_name = b"abc"
    raw = V.cdata(d.this, 468)
    assert raw[18:50] == b"abc" + bytes(29) and raw[50:81] == b"\xff" * 31
    d.device_vendor_name = b"ab\0cd"
    assert d.device_vendor_name == b"ab"
    # No room for the terminator: refused, and the next field is untouched.
    assert error_of(setattr, d, "device_vendor_name", b"x" * 32)[0] is TypeError
    assert d.device_model_name == b"\xff" * 31
    # A field the library filled to the last byte reads back without running on.
    V.memmove(d.this, bytes(18) + b"v" * 32 + b"m" * 32)
    assert d.device_vendor_name == b"v" * 32


def test_numeric_array_fields_are_copied_whole():
    source = M.new_floatArray(20)
    for i in range(20):
        M.floatArray_setitem(source, i, i + 0.5)
    p = V.CameraParameter()
    p.Kc = source
    M.floatArray_setitem(source, 19, -1.0)
    assert [M.floatArray_getitem(p.Kc, i) for i in range(20)] == [i + 0.5 for i in range(20)]
    assert np.frombuffer(V.cdata(p.this, 4 * 104), np.float32)[20:].tolist() == [0.0] * 84
    M.delete_floatArray(source)
    assert error_of(setattr, p, "Kc", None) == (ValueError, "invalid null reference in variable 'Kc' of type 'float [20]'")


def test_pointer_and_embedded_fields():
    frame = V.PhotoInfo()
    frame.pixel = b"first"
    frame.pixel = b"sec\0ond"  # the old buffer is freed, the copy ends at the zero
    assert frame.pixel == b"sec"
    frame.roi.size_x = 7  # the embedded record refers into its owner
    region = V.RoiPoint()
    region.offset_y = 9
    frame.roi = region
    assert (frame.roi.size_x, frame.roi.offset_y) == (0, 9)
    command = V.ReadRegCmdPack()
    command.start, command.flag, command.command, command.length, command.req_id = 0x42, 1, 0x80, 4, 1
    command.register_addr = 0x0A00
    assert command.header.command == 0x80
    assert V.cdata(command.this, 12) == np.array([0x0142, 0x80, 4, 1, 0x0A00, 0], "<u2").tobytes()


def test_typed_arrays_cdata_and_string_vector():
    for kind, value in (("int", -5), ("unsignedint", 2**32 - 1), ("float", 0.25), ("longlong", -2**63)):
        array = getattr(M, f"new_{kind}Array")(3)
        assert getattr(M, f"{kind}Array_getitem")(array, 2) == 0
        getattr(M, f"{kind}Array_setitem")(array, 1, value)
        assert getattr(M, f"{kind}Array_getitem")(array, 1) == value
        getattr(M, f"delete_{kind}Array")(array)
    buffer = M.new_intArray(2)
    V.memmove(buffer, b"\x01\x00\x00\x00\x02")
    assert V.cdata(buffer, 5) == b"\x01\x00\x00\x00\x02" and V.cdata(buffer) == b"\x01"
    M.delete_intArray(buffer)
    names = V.StringVector()
    names.append(b"Width")
    names.push_back(b"Height")
    assert list(names) == [b"Width", b"Height"] and names[1] == b"Height" and len(names) == 2
    assert error_of(names.append, "Width")[0] is TypeError


def test_constants():
    expected = dict(IP_HEADER_LEN=20, UDP_HEADER_LEN=8, IMAGE_PACKET_HEADER_LEN=8, BLOCK_HEAD_LEN=44, GVCP_PORT=3956,
                    SORT_BY_IP=0, SORT_BY_SERIAL_NUMBER=1, PACK_START=0x42, DISCOVERY_CMD=2, FORCEIP_CMD=4,
                    READREG_CMD=0x80, WRITEREG_CMD=0x82, READMEM_CMD=0x84, WRITEMEM_CMD=0x86, PACKETRESEND_CMD=0x40,
                    Control_Channel_Privilage_Reg=0x0A00, GVCP_Capability_Reg=0x0934,
                    Number_of_Message_Channels_Reg=0x0900, Number_of_Stream_Channels_Reg=0x0904,
                    First_Url_Reg=0x0200, Second_Url_Reg=0x0400, Heartbeat_Timeout_Reg=0x0938,
                    Source_Port_Reg=0x0D1C, Stream_Channel_0_Port_Reg=0x0D00,
                    Stream_Channel_0_Destination_Address_Reg=0x0D18, Stream_Channel_Packet_Size_Reg=0x0D04,
                    Model_Adder=0x14, IP_Adder=0x064C, Mask_Adder=0x065C, Gate_Adder=0x066C,
                    RECIEVE_TIME_STATISTICS_LENGTH=1000, STREAM_CHANNEL_REG_STRIDE=0x40, SENSOR_REG_STRIDE=0x100)
    assert {name: getattr(M, name) for name in expected} == expected


def test_buffer_lengths_must_lie_within_the_bytes():
    info = V.PhotoInfoCSharp()
    assert error_of(V.CaptureCSharp, 0, 0, info, bytes(10), 11) == (
        ValueError, "in method 'CaptureCSharp', argument 5: length 11 is more than the 10 bytes given")
    assert V.CaptureCSharp(NONE, 0, info, bytes(10), 10) == -98
    assert error_of(V.Fusion3DToRGBCSharp, NONE, info, b"", 0, info, b"", 0, info, bytes(4), 5)[0] is ValueError


def test_feature_buffers_must_hold_what_their_sizes_promise():
    count = V.new_intArray(1)
    try:
        # Name slots of VORA_FEATURE_NAME_SIZE bytes each.
        assert M.VORA_FEATURE_NAME_SIZE == 256
        assert error_of(V.GetFeatureNames, NONE, b"", bytes(300), 2, count)[0] is ValueError
        assert error_of(V.GetFeatureCategories, NONE, bytes(255), 1, count)[0] is ValueError
        assert error_of(V.GetFeatureSelectors, NONE, b"X", bytes(10), -1, count)[0] is ValueError
        assert error_of(V.GetFeatureEntries, NONE, b"X", bytes(256), None, 2, count)[0] is ValueError
        assert V.GetFeatureNames(NONE, b"", bytes(512), 2, count) == -99
        # Texts cut to the size given, which must lie within the bytes.
        assert error_of(V.GetFeatureString, NONE, b"X", bytes(8), 9)[0] is ValueError
        assert error_of(V.GetFeatureError, bytes(8), 9)[0] is ValueError
        assert V.GetFeatureString(NONE, b"X", bytes(8), 8) == -99
        # Register bytes are bytes objects, their length their own.
        assert error_of(V.SetFeatureBytes, NONE, b"X", "text")[0] is TypeError
        assert V.SetFeatureBytes(NONE, b"X", bytes(4)) == -99
        # The interface's numbers, as module constants.
        assert (M.VORA_FEATURE_FLOAT, M.VORA_ACCESS_RW, M.VORA_ERR_FEATURE_RANGE) == (5, 4, -84)
    finally:
        V.delete_intArray(count)


@pytest.fixture
def camera_objects(camsim):
    """A camera table (no connection): what processing calls need."""
    assert V.DiscoverCamera() >= 1
    V.CreateCamera()
    yield 0
    V.DestroyCamera()


def test_numpy_points_in_place_or_through_a_temporary(camera_objects):
    info, data = cloud_record(4, 2), raw_cloud(4, 2)
    want = np.frombuffer(data, "<i2").astype(np.float32) / np.float32(10)
    points = np.zeros(24, np.float32)
    assert V.Convert3DPointFromCharToFloatCSharp(0, info, data, points) is None
    np.testing.assert_array_equal(points, want)
    backing = np.zeros(48, np.float32)
    V.Convert3DPointFromCharToFloatCSharp(0, info, data, backing[::2])  # strided: a temporary
    assert not backing.any()
    V.Convert3DPointFromCharToFloatCSharp(0, info, data, [0.0] * 24)  # a list: a temporary too
    with pytest.raises(TypeError, match="Cannot cast array data from dtype\\('float64'\\)"):
        V.Convert3DPointFromCharToFloatCSharp(0, info, data, np.zeros(24))
    assert error_of(V.Convert3DPointFromCharToFloatCSharp, 0, info, data, np.zeros((4, 6), np.float32)) == (
        TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions")


def test_numpy_arguments_too_small_for_the_frame_are_refused(camera_objects, tmp_path):
    info, data = cloud_record(4, 2), raw_cloud(4, 2)
    short = np.full(23, 7, np.float32)
    with pytest.raises(ValueError, match="argument 4: 23 floats given, the frame needs 24"):
        V.Convert3DPointFromCharToFloatCSharp(0, info, data, short)
    with pytest.raises(ValueError, match="argument 3: 47 bytes given, the frame's payload_size is 48"):
        V.Convert3DPointFromCharToFloatCSharp(0, info, data[:-1], np.zeros(24, np.float32))
    # The library clears 2 x payload_size bytes, more than the points when
    # the payload is larger than they are.
    with pytest.raises(ValueError, match="the frame needs 50"):
        V.Convert3DPointFromCharToFloatCSharp(0, cloud_record(4, 2, payload=100), data + bytes(52), short[:1])
    readonly = np.zeros(24, np.float32)
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        V.Convert3DPointFromCharToFloatCSharp(0, info, data, readonly)
    assert (short == 7).all()
    colour = V.PhotoInfoCSharp()
    with pytest.raises(ValueError, match="47 floats given, the frame needs 48"):
        V.FusionImageTo3DCSharp(0, colour, b"", 0, info, data, np.zeros(47, np.float32))
    path = tmp_path / "fused.txt"
    with pytest.raises(ValueError, match="the frame needs 48"):
        V.SavePointCloudWithImageToTxtCSharp(0, info, data, np.zeros(47, np.float32), bytes(path))
    assert not path.exists()
    assert V.SavePointCloudWithImageToTxtCSharp(0, info, data, np.ones(48, np.float32), bytes(path)) == 0
    assert path.exists()


@pytest.mark.parametrize("api, error", [(None, "AttributeError: _ARRAY_API not found"),
                                        (5, "RuntimeError: _ARRAY_API is not PyCapsule object")])
def test_import_checks_numpys_array_interface(api, error):
    script = ("import sys, types, numpy\n"
              "fake = types.ModuleType('numpy.core._multiarray_umath')\n"
              f"if {api!r} is not None: fake._ARRAY_API = {api!r}\n"
              "sys.modules['numpy.core._multiarray_umath'] = fake\n"
              "try:\n    import _VoraSDK\nexcept ImportError as e:\n    print('ImportError:', e)\n")
    done = subprocess.run([sys.executable, "-c", script], env=child_env(), capture_output=True, text=True)
    assert done.stdout.strip() == "ImportError: numpy.core.multiarray failed to import"
    assert error in done.stderr
