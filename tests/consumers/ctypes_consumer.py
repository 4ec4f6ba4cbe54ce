"""The library from Python through ctypes alone, as a lab's script would
call it: df_read of one example, then rss_compute of three into DIR/rss.dat
with the report in DIR/report.txt (check_consumer.cmake compares both with
the kelvorin tool's).

    python3 ctypes_consumer.py LIBRARY DIR A.dat B.dat C.dat
"""

import ctypes as C
import os
import sys


class Window(C.Structure):
    _fields_ = [("x", C.c_int16), ("y", C.c_int16), ("width", C.c_int16), ("height", C.c_int16)]


class IntMap(C.Structure):
    _fields_ = [("size", C.c_uint32), ("window", Window), ("matrix", C.POINTER(C.c_int32))]


class Request(C.Structure):
    _fields_ = [
        ("out_name", C.c_char_p),
        ("phase_res", C.c_int32),
        ("verbose", C.c_bool),
        ("names", C.POINTER(C.c_char_p)),
        ("count", C.c_int32),
        ("reserved", C.c_void_p * 8),
    ]


TEXT = C.CFUNCTYPE(None, C.c_void_p, C.c_char_p)


class Sink(C.Structure):
    _fields_ = [("context", C.c_void_p), ("report", TEXT), ("message", TEXT)]


HEADER_RECORD_BYTES = 4036  # df_hdr_t
CAMERA_WIDTH_OFFSET = 168  # its CameraWidth, a 16-bit number


def main(library, folder, *inputs):
    lib = C.CDLL(library)
    lib.df_read.argtypes = [C.c_char_p, C.c_void_p, C.c_void_p, C.c_void_p, C.POINTER(IntMap)]
    lib.df_read.restype = C.c_int32
    lib.int_map_free.argtypes = [C.POINTER(IntMap)]
    lib.rss_compute.argtypes = [C.POINTER(Request), C.POINTER(Sink)]
    lib.rss_compute.restype = C.c_int32
    lib.u_error_name.argtypes = [C.c_int32]
    lib.u_error_name.restype = C.c_char_p
    assert C.sizeof(Request) == 96, C.sizeof(Request)

    # One example's phase map and camera width.
    record = C.create_string_buffer(HEADER_RECORD_BYTES)
    phase = IntMap()
    code = lib.df_read(os.fsencode(inputs[0]), None, record, None, C.byref(phase))
    assert code == 0, lib.u_error_name(code)
    width = int.from_bytes(record.raw[CAMERA_WIDTH_OFFSET:CAMERA_WIDTH_OFFSET + 2],
                           sys.byteorder, signed=True)
    w = phase.window
    assert 0 <= w.x and w.x + w.width <= width, (w.x, w.width, width)
    valid = sum(1 for i in range(w.width * w.height) if phase.matrix[i] < 0x7FFFFFF8)
    assert valid > 0
    lib.int_map_free(C.byref(phase))
    assert not phase.matrix

    # The RSS of the three, its report and messages through the sink.
    report, messages = [], []
    sink = Sink(None, TEXT(lambda _, text: report.append(text)),
                TEXT(lambda _, text: messages.append(text)))
    names = (C.c_char_p * len(inputs))(*[os.fsencode(n) for n in inputs])
    out = os.path.join(folder, "rss.dat")
    request = Request(os.fsencode(out), -1, True, names, len(inputs))
    code = lib.rss_compute(C.byref(request), C.byref(sink))
    assert code == 0 and not messages, (lib.u_error_name(code), messages)
    with open(os.path.join(folder, "report.txt"), "wb") as f:
        f.write(b"".join(report))
    print(f"ctypes_consumer: read {os.path.basename(inputs[0])} ({valid} valid pixels), "
          f"RSS of {len(inputs)} files")


if __name__ == "__main__":
    main(*sys.argv[1:])
