#!/usr/bin/env python3
"""Drives the plug-in's C entry point from Python with ctypes (standard library only).

    python3 velmo_ctypes.py --library <libvelmo_image_tools.so.0> --photo <photo.jpg>

Sends "metadata" and "render" calls as standard-method-codec bytes, decodes the reply
envelopes and checks them; also sends two malformed calls and checks how they are answered.
Exits 0 when every check holds.
"""

import argparse
import ctypes
import os
import struct
import sys
import tempfile
import threading

# ---- The standard message codec: little-endian, sizes 0..253 in a byte, else 254 + uint16,
# else 255 + uint32; float64 values aligned to 8 from the start of the whole message.


def _put_size(out, n):
    if n < 254:
        out.append(n)
    elif n <= 0xFFFF:
        out.append(254)
        out += struct.pack("<H", n)
    else:
        out.append(255)
        out += struct.pack("<I", n)


def _put_value(out, value):
    if value is None:
        out.append(0)
    elif value is True:
        out.append(1)
    elif value is False:
        out.append(2)
    elif isinstance(value, int):
        if -(2**31) <= value < 2**31:
            out.append(3)
            out += struct.pack("<i", value)
        else:
            out.append(4)
            out += struct.pack("<q", value)
    elif isinstance(value, float):
        out.append(6)
        out += bytes(-len(out) % 8)
        out += struct.pack("<d", value)
    elif isinstance(value, str):
        data = value.encode("utf-8")
        out.append(7)
        _put_size(out, len(data))
        out += data
    elif isinstance(value, (list, tuple)):
        out.append(12)
        _put_size(out, len(value))
        for item in value:
            _put_value(out, item)
    elif isinstance(value, dict):
        out.append(13)
        _put_size(out, len(value))
        for key, item in value.items():
            _put_value(out, key)
            _put_value(out, item)
    else:
        raise TypeError(f"no codec type for {type(value).__name__}")


def encode_method_call(method, arguments):
    out = bytearray()
    _put_value(out, method)
    _put_value(out, arguments)
    return bytes(out)


class _Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("message ends early")
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk

    def size(self):
        n = self.take(1)[0]
        if n == 254:
            return struct.unpack("<H", self.take(2))[0]
        if n == 255:
            return struct.unpack("<I", self.take(4))[0]
        return n

    def value(self):
        tag = self.take(1)[0]
        if tag == 0:
            return None
        if tag in (1, 2):
            return tag == 1
        if tag == 3:
            return struct.unpack("<i", self.take(4))[0]
        if tag == 4:
            return struct.unpack("<q", self.take(8))[0]
        if tag == 6:
            self.take(-self.pos % 8)
            return struct.unpack("<d", self.take(8))[0]
        if tag in (5, 7):
            return self.take(self.size()).decode("utf-8")
        if tag == 12:
            return [self.value() for _ in range(self.size())]
        if tag == 13:
            return {self.value(): self.value() for _ in range(self.size())}
        raise ValueError(f"unexpected type tag {tag}")


def decode_envelope(data):
    """("ok", result), ("error", (code, message, details)) or ("notImplemented", None)."""
    if not data:
        return "notImplemented", None
    reader = _Reader(data)
    flag = reader.take(1)[0]
    if flag == 0:
        result = reader.value()
    elif flag == 1:
        result = (reader.value(), reader.value(), reader.value())
    else:
        raise ValueError(f"not a reply envelope: first byte {flag}")
    if reader.pos != len(data):
        raise ValueError("bytes left over after the envelope")
    return ("ok" if flag == 0 else "error"), result


# ---- The C entry point.

REPLY = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_uint8), ctypes.c_size_t, ctypes.c_void_p)


class Plugin:
    """One plug-in instance; call() sends a method call and waits for its reply."""

    def __init__(self, library_path):
        lib = ctypes.CDLL(library_path)
        lib.velmo_image_tools_version.restype = ctypes.c_char_p
        lib.velmo_plugin_create.restype = ctypes.c_void_p
        lib.velmo_plugin_handle.restype = ctypes.c_int
        lib.velmo_plugin_handle.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                            REPLY, ctypes.c_void_p]
        lib.velmo_plugin_destroy.argtypes = [ctypes.c_void_p]
        self.lib = lib
        self.version = lib.velmo_image_tools_version().decode()
        self.handle = lib.velmo_plugin_create()
        if not self.handle:
            raise RuntimeError("velmo_plugin_create failed")
        self.lock = threading.Lock()
        self.pending = {}  # call id -> [event, reply bytes]
        self.next_id = 1
        # Called on the instance's reply thread; ctypes takes the interpreter lock for it. The
        # reply bytes live only during the call, so they are copied.
        self.callback = REPLY(self._receive)

    def _receive(self, reply, length, user):
        data = ctypes.string_at(reply, length) if length else b""
        with self.lock:
            slot = self.pending.pop(user)
        slot[1] = data
        slot[0].set()

    def call_bytes(self, data, timeout=120):
        with self.lock:
            call_id = self.next_id
            self.next_id += 1
            slot = self.pending[call_id] = [threading.Event(), None]
        if self.lib.velmo_plugin_handle(self.handle, data, len(data), self.callback, call_id):
            raise RuntimeError("velmo_plugin_handle refused the call")
        if not slot[0].wait(timeout):
            raise TimeoutError("no reply")
        return slot[1]

    def call(self, method, arguments):
        return decode_envelope(self.call_bytes(encode_method_call(method, arguments)))

    def close(self):
        if self.handle:
            self.lib.velmo_plugin_destroy(self.handle)  # waits for every reply
            self.handle = None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", required=True)
    parser.add_argument("--photo", required=True)
    args = parser.parse_args()
    photo = os.path.abspath(args.photo)

    failures = []

    def check(condition, what):
        print(("ok   " if condition else "FAIL ") + what)
        if not condition:
            failures.append(what)

    plugin = Plugin(args.library)
    try:
        check(plugin.version.count(".") == 2, f"version {plugin.version}")

        kind, meta = plugin.call("metadata", {"path": photo})
        check(kind == "ok" and set(meta) == {"width", "height", "frames", "orientation"},
              f"metadata answers four integers: {meta}")
        check(kind == "ok" and meta["width"] > 0 and meta["height"] > 0 and meta["frames"] == 1,
              "metadata: a still image with a size")

        with tempfile.TemporaryDirectory() as out:
            destination = os.path.join(out, "photo")
            kind, result = plugin.call("render", {
                "path": photo, "destination": destination, "width": 640, "height": 480,
                "recipe": {"crop": [0.1, 0.1, 0.8, 0.8], "quarterTurns": 1},
                "maxFileBytes": 2_000_000})
            check(kind == "ok", f"render answers a file result: {result}")
            if kind == "ok":
                written = destination + ".jpg"
                check(result["path"] == written and os.path.exists(written),
                      f"render wrote {written}")
                check(result["mimeType"] == "image/jpeg"
                      and (result["width"], result["height"]) == (640, 480),
                      "render: a 640 x 480 JPEG")
                check(result["byteSize"] == os.path.getsize(written), "render: byteSize")

        kind, error = plugin.call("render", [photo])
        check(kind == "error" and error[0] == "PHOTO_ARGUMENTS",
              f"a list argument gets PHOTO_ARGUMENTS: {error}")
        check(plugin.call_bytes(b"\x0f") == b"", "bytes that are not a call get the empty reply")
        kind, _ = plugin.call("crop", {})
        check(kind == "notImplemented", "an unknown method is not implemented")
    finally:
        plugin.close()

    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
