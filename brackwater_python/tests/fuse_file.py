"""One regular file on a file system in user space, served from this process
over /dev/fuse: the real kernel path of a file system that can answer an
open with EINTR (as one does when a signal interrupts the request), which no
local file system does to an open that does not block."""

import contextlib
import ctypes
import errno
import os
import struct
import threading

import pytest

IN_HEADER = struct.Struct("<IIQQIIIHH")
OUT_HEADER = struct.Struct("<IiQ")
ATTR = struct.Struct("<QQQQQQIIIIIIIIII")
LOOKUP, FORGET, GETATTR, OPEN, READ, WRITE, RELEASE, FLUSH, INIT, INTERRUPT, BATCH_FORGET = (
    1, 2, 3, 14, 15, 16, 18, 25, 26, 36, 42)
NO_REPLY = (FORGET, INTERRUPT, BATCH_FORGET)
ROOT, FILE = 1, 2
NAME = "log"
MAX_WRITE = 128 << 10
MNT_DETACH = 2


class FuseFile:
    def __init__(self, mountpoint, failing_opens, signal_opener, name):
        self.name = name
        self.path = mountpoint / name
        self.data = bytearray()
        self.failing_opens = failing_opens  # opens still to be answered with EINTR
        self.signal_opener = signal_opener  # sent to the opener first, as if it had interrupted the open
        self.opens_failed = 0
        self._fd = -1

    def _attr(self, node):
        if node == ROOT:
            return ATTR.pack(ROOT, 0, 0, 0, 0, 0, 0, 0, 0, 0o40755, 2, 0, 0, 0, 4096, 0)
        return ATTR.pack(FILE, len(self.data), (len(self.data) + 511) // 512, 0, 0, 0, 0, 0, 0, 0o100666, 1, 0, 0,
                         0, 4096, 0)

    def _answer(self, opcode, node, pid, body):
        """(error, reply body) for one request from process `pid`."""
        if opcode == INIT:
            major, minor = struct.unpack_from("<II", body)
            return 0, struct.pack("<IIIIHHIIHHI7I", 7, min(minor, 31), 0, 0, 1, 1, MAX_WRITE, 1, 0, 0, 0,
                                  *[0] * 7)
        if opcode == LOOKUP:
            if node != ROOT or body.rstrip(b"\0") != self.name.encode():
                return -errno.ENOENT, b""
            return 0, struct.pack("<QQQQII", FILE, 0, 0, 0, 0, 0) + self._attr(FILE)
        if opcode == GETATTR:
            return 0, struct.pack("<QII", 0, 0, 0) + self._attr(node)
        if opcode == OPEN:
            if self.failing_opens > 0:
                self.failing_opens -= 1
                self.opens_failed += 1
                if self.signal_opener is not None:
                    os.kill(pid, self.signal_opener)
                return -errno.EINTR, b""
            return 0, struct.pack("<QIi", 1, 0, 0)
        if opcode == READ:
            _, offset, size = struct.unpack_from("<QQI", body)
            return 0, bytes(self.data[offset:offset + size])
        if opcode == WRITE:
            _, offset, size = struct.unpack_from("<QQI", body)
            chunk = body[40:40 + size]
            self.data[offset:offset + len(chunk)] = chunk
            return 0, struct.pack("<II", len(chunk), 0)
        if opcode in (FLUSH, RELEASE):
            return 0, b""
        return -errno.ENOSYS, b""

    def _serve(self):
        while True:
            try:
                request = os.read(self._fd, MAX_WRITE + 4096)
            except OSError as e:
                if e.errno in (errno.EINTR, errno.ENOENT):  # ENOENT: a request its caller gave up on
                    continue
                return  # ENODEV: unmounted
            _, opcode, unique, node, _, _, pid, _, _ = IN_HEADER.unpack_from(request)
            if opcode in NO_REPLY:
                continue
            error, reply = self._answer(opcode, node, pid, request[IN_HEADER.size:])
            try:
                os.write(self._fd, OUT_HEADER.pack(OUT_HEADER.size + len(reply), error, unique) + reply)
            except OSError:
                pass  # the request was interrupted and is gone

    @contextlib.contextmanager
    def mounted(self):
        libc = ctypes.CDLL(None, use_errno=True)
        try:
            self._fd = os.open("/dev/fuse", os.O_RDWR | os.O_CLOEXEC)
        except OSError as e:
            pytest.skip(f"no /dev/fuse: {e}")
        mountpoint = bytes(self.path.parent)
        os.makedirs(mountpoint, exist_ok=True)
        options = f"fd={self._fd},rootmode=40000,user_id=0,group_id=0".encode()
        if libc.mount(b"fusefile", mountpoint, b"fuse", 0, options) != 0:
            os.close(self._fd)
            pytest.skip(f"cannot mount a file system in user space: {os.strerror(ctypes.get_errno())}")
        server = threading.Thread(target=self._serve, daemon=True)
        server.start()
        try:
            yield self
        finally:
            libc.umount2(mountpoint, MNT_DETACH)  # ends the connection: the server's read fails
            server.join(timeout=10)
            os.close(self._fd)


def fuse_file(mountpoint, failing_opens=0, signal_opener=None, name=NAME):
    """A context manager that mounts the file system at `mountpoint` and
    gives the FuseFile, named `name` there; its first `failing_opens` opens
    fail with EINTR, after `signal_opener` (a signal number) is sent to the
    opener."""
    return FuseFile(mountpoint, failing_opens, signal_opener, name).mounted()
