"""brisel: slab headers filled, packed with their checksum, and verified.

Each slab gets a header; some of its objects are allocated and a few freed
again in the free bitmap; the header is packed to its 16 bytes with a fresh
CRC-16.  A few stored headers are then damaged (one bit of the epoch), and
every header is read back into a checker and verified.  The plain-Python
header does the same with struct and a CRC table.
"""

import logging
import random
import struct

from ._common import clock, compare, report, rounds

NAME = "brisel"
MODULE = "korvane.memory.brisel"

logger = logging.getLogger(MODULE)


def _table():
    out = []
    for i in range(256):
        v = i
        for _ in range(8):
            v = (v >> 1) ^ 0xA001 if v & 1 else v >> 1
        out.append(v)
    return out


CRC_TABLE = _table()


def py_crc16(data):
    r = 0xFFFF
    for b in data:
        r = (r >> 8) ^ CRC_TABLE[(r ^ b) & 0xFF]
    return r


class PySlabHeader:
    def __init__(self, size_class_index, objects_per_slab):
        self.sci, self.flags, self.epoch, self.crc = size_class_index & 0xFF, 0, 0, 0
        self.n = objects_per_slab
        self.full = (1 << objects_per_slab) - 1 if objects_per_slab < 64 else 2**64 - 1
        self.bitmap = self.full

    def allocate(self, i):
        if 0 <= i < 64:
            self.bitmap &= ~(1 << i)
        self.flags |= 0x10
        self.epoch = (self.epoch + 1) & 0xFFFFFFFF

    def deallocate(self, i):
        if 0 <= i < 64:
            self.bitmap |= 1 << i
        self.epoch = (self.epoch + 1) & 0xFFFFFFFF
        if self.bitmap == self.full:
            self.flags &= ~0x10

    def pack(self):
        self.crc = py_crc16(struct.pack("<BBL", self.sci, self.flags, self.epoch))
        return struct.pack("<BBLHQ", self.sci, self.flags, self.epoch, self.crc, self.bitmap)

    def unpack(self, data):
        if len(data) != 16:
            raise ValueError("bad length")
        self.sci, self.flags, self.epoch, stored, self.bitmap = struct.unpack("<BBLHQ", data)
        computed = py_crc16(data[:6])
        if stored != computed:
            self.flags |= 0x80
            logger.warning(f"Header corruption detected: stored={stored:04x}, computed={computed:04x}")


def slab_workload(n_headers, seed=11):
    """Per slab: (size class, objects, indexes allocated, indexes freed);
    and the slabs whose stored header gets damaged (one in 50)."""
    rng = random.Random(seed)
    slabs = []
    for i in range(n_headers):
        objects = rng.choice((8, 16, 32, 64))
        allocated = rng.sample(range(objects), rng.randint(1, min(objects, 12)))
        freed = allocated[:rng.randint(0, len(allocated))]
        slabs.append((i % 40, objects, allocated, freed))
    damaged = sorted(rng.sample(range(n_headers), n_headers // 50))
    return slabs, damaged


def _damage(stored, damaged):
    stored = list(stored)
    for i in damaged:
        b = bytearray(stored[i])
        b[3] ^= 0x04
        stored[i] = bytes(b)
    return stored


def _native(data):
    from korvane.memory.brisel import FastSlabHeaderOps

    slabs, damaged = data
    times = {}
    t0 = clock()
    stored = []
    for sci, objects, allocated, freed in slabs:
        h = FastSlabHeaderOps(sci, objects)
        for j in allocated:
            h.py_allocate_object_at(j)
        for j in freed:
            h.py_deallocate_object_at(j)
        stored.append(h.pack_header())
    times["fill+pack"] = clock() - t0
    stored = _damage(stored, damaged)
    t0 = clock()
    checker = FastSlabHeaderOps(0, 64)
    flags = []
    for b in stored:
        checker.unpack_header(b)
        flags.append(checker.pack_header()[1])
    times["verify"] = clock() - t0
    return times, (stored, flags)


def _python(data):
    slabs, damaged = data
    times = {}
    t0 = clock()
    stored = []
    for sci, objects, allocated, freed in slabs:
        h = PySlabHeader(sci, objects)
        for j in allocated:
            h.allocate(j)
        for j in freed:
            h.deallocate(j)
        stored.append(h.pack())
    times["fill+pack"] = clock() - t0
    stored = _damage(stored, damaged)
    t0 = clock()
    checker = PySlabHeader(0, 64)
    flags = []
    for b in stored:
        checker.unpack(b)
        flags.append(checker.pack()[1])
    times["verify"] = clock() - t0
    return times, (stored, flags)


def run(quick=False):
    import korvane.memory.brisel  # noqa: F401  (a missing module is reported by the caller)

    n = 2_000 if quick else 10_000
    data = slab_workload(n)
    slabs, damaged = data
    # Damaged headers are logged as warnings; the tour counts them instead.
    level = logger.level
    logger.setLevel(logging.ERROR)
    try:
        native, python, res_native, res_python = compare(_native, _python, data, rounds=rounds(quick))
    finally:
        logger.setLevel(level)
    stored, flags = res_native
    detected = [i for i, f in enumerate(flags) if f & 0x80]
    free = sum(bin(struct.unpack_from("<Q", b, 8)[0]).count("1") for b in stored)
    result = {
        "headers": n,
        "object_operations": sum(len(a) + len(f) for _, _, a, f in slabs),
        "free_objects": free,
        "damaged": len(damaged),
        "corruption_detected": len(detected),
        "all_damage_found": detected == damaged,
    }
    workload = (f"{n} slab headers: objects allocated and freed in the bitmap, packed with CRC-16; "
                f"{len(damaged)} damaged in storage, all unpacked and verified")
    ops = {"fill+pack": n, "verify": n}
    return report(workload, result, res_native == res_python, ops, native, python)


def summary(result):
    r = result
    found = "all found" if r["all_damage_found"] else "NOT all found"
    return (f"{r['object_operations']} bitmap operations, {r['free_objects']} objects free; "
            f"{r['corruption_detected']} of {r['damaged']} damaged headers flagged ({found})")
