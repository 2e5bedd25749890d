"""Timing ratios of korvane.memory.brisel against the interpreter's floor (a
builtin call of the same shape) and against the same work in pure Python,
then the thread-safe classes at 1, 2 and 4 threads, on one object the
threads share and on one object per thread, as calls per second.
Prints ratios and rates only; never asserts times."""
import sys
import threading

from korvane._tour._common import THREAD_ROUNDS, best_per_call, gil_line, scaling_lines, shared_and_own
from korvane._tour.brisel import PySlabHeader
from korvane.memory.brisel import (FastBucketAllocator, FastSlabHeaderOps, FastStatsCollector, fast_align_size,
                                   fast_bitmap_operations)

# ---------------------------------------------------------------- pure Python


def py_align_size(size, alignment):
    if alignment <= 0 or alignment & (alignment - 1):
        raise ValueError("Alignment must be a power of 2")
    return (size + alignment - 1) & ~(alignment - 1)


def py_bitmap_operations(bitmap, index, operation):
    if operation == "is_set":
        return 0 <= index < 64 and bool(bitmap >> index & 1)
    if operation == "set":
        return bitmap | (1 << index) if 0 <= index < 64 else bitmap
    if operation == "clear":
        return bitmap & ~(1 << index) if 0 <= index < 64 else bitmap
    if operation == "find_first":
        return (bitmap & -bitmap).bit_length() - 1
    raise ValueError(f"Unknown operation: {operation}")


class PyBucketAllocator:
    def __init__(self, step=8, small=256, medium=4096):
        self.step, self.small, self.medium = step, small, medium
        self.lists = {k: [] for k in [*range(step, small + 1, step), *range(small + step, medium + 1, step)]}
        self.lock = threading.Lock()

    def bucket(self, size):
        if size <= self.small or size <= self.medium:
            return (size + self.step - 1) // self.step * self.step
        return -1

    def add_to_bucket(self, size, offset):
        b = self.bucket(size)
        if b <= 0 or b != size:
            return False
        with self.lock:
            lst = self.lists.get(b)
            if lst is None:
                return False
            lst.append(offset)
            return True

    def remove_from_bucket(self, size):
        b = self.bucket(size)
        if b <= 0:
            return None
        with self.lock:
            lst = self.lists.get(b)
            return lst.pop() if lst else None

    def find_best_fit_bucket(self, size, alignment):
        b = self.bucket(size)
        if b <= 0:
            return None
        mask = ~(alignment - 1)
        with self.lock:
            lst = self.lists.get(b)
            if lst:
                offset = lst.pop()
                if ((offset + alignment - 1) & mask) + size <= offset + b:
                    return offset
                lst.append(offset)
            for key in sorted(self.lists):
                if key > b:
                    lst = self.lists[key]
                    if lst:
                        offset = lst.pop()
                        if ((offset + alignment - 1) & mask) + size <= offset + key:
                            return offset
                        lst.append(offset)
        return None


class PyStatsCollector:
    def __init__(self):
        self.lock = threading.Lock()
        self.total = self.deallocs = self.bucketed = self.fallback = self.padding = 0

    def py_record_allocation(self, size, padding, is_bucketed):
        with self.lock:
            self.total += 1
            if is_bucketed:
                self.bucketed += 1
            else:
                self.fallback += 1
            self.padding += padding


def main():
    h, ph = FastSlabHeaderOps(3, 64), PySlabHeader(3, 64)
    data = h.pack_header()
    a, pa = FastBucketAllocator(), PyBucketAllocator()
    # A miss that scans every larger bucket up to 4096 and tries (and
    # rejects) the one offset kept there.
    scan, pscan = FastBucketAllocator(), PyBucketAllocator()
    scan.add_to_bucket(4096, 1)
    pscan.add_to_bucket(4096, 1)
    c, pc = FastStatsCollector(), PyStatsCollector()
    ns = dict(globals(), h=h, ph=ph, data=data, a=a, pa=pa, scan=scan, pscan=pscan, c=c, pc=pc,
              d={3: 1}, x=3, y=8, t=int, s="abc", p="b", bm=0xF0F0, op="set")
    n = 40_000
    rows = [
        # label, ours, pure Python, floor (same call shape), iterations
        ("fast_align_size(13, 8)", "fast_align_size(13, y)", "py_align_size(13, y)", "isinstance(x, t)", n),
        ("fast_bitmap_operations(bm, 3, 'set')", "fast_bitmap_operations(bm, x, 'set')",
         "py_bitmap_operations(bm, x, 'set')", "getattr(x, 'real', None)", n),
        ("fast_bitmap_operations(bm, 3, 'find_first')", "fast_bitmap_operations(bm, x, 'find_first')",
         "py_bitmap_operations(bm, x, 'find_first')", "getattr(x, 'real', None)", n),
        ("py_allocate_object_at + py_deallocate_object_at", "h.py_allocate_object_at(x); h.py_deallocate_object_at(x)",
         "ph.allocate(x); ph.deallocate(x)", "d.get(x); d.get(x)", n),
        ("pack_header()", "h.pack_header()", "ph.pack()", "x.bit_length()", n),
        ("unpack_header(data)", "h.unpack_header(data)", "ph.unpack(data)", "d.get(x)", n),
        ("add_to_bucket + remove_from_bucket", "a.add_to_bucket(64, 1000); a.remove_from_bucket(64)",
         "pa.add_to_bucket(64, 1000); pa.remove_from_bucket(64)", "d.get(x, y); d.get(x)", n),
        ("add_to_bucket + find_best_fit_bucket (own bucket hit)",
         "a.add_to_bucket(64, 1000); a.find_best_fit_bucket(64, 8)",
         "pa.add_to_bucket(64, 1000); pa.find_best_fit_bucket(64, 8)", "d.get(x, y); d.get(x, y)", n),
        ("add_to_bucket + find_best_fit_bucket (scan to 4096, hit)",
         "a.add_to_bucket(4096, 0); a.find_best_fit_bucket(64, 8)",
         "pa.add_to_bucket(4096, 0); pa.find_best_fit_bucket(64, 8)", "d.get(x, y); d.get(x, y)", 4_000),
        ("find_best_fit_bucket (scan to 4096, miss)", "scan.find_best_fit_bucket(64, 8192)",
         "pscan.find_best_fit_bucket(64, 8192)", "d.get(x, y)", 4_000),
        ("py_record_allocation(64, 8, True)", "c.py_record_allocation(64, y, True)",
         "pc.py_record_allocation(64, y, True)", "s.find(p, 0, x)", n),
    ]
    print(f"brisel on Python {sys.version.split()[0]}")
    print(f"{'operation':58} {'vs floor':>9} {'py/ours':>9}   floor")
    for label, ours, py, floor, number in rows:
        t_ours, t_py, t_floor = best_per_call([ours, py, floor], ns, number, rounds=5)
        print(f"{label:58} {t_ours / t_floor:8.2f}x {t_py / t_ours:8.1f}x   {floor}")
    print("vs floor: our time / the floor's; py/ours: pure Python's time / ours (higher is better)")
    threads()


THREAD_CALLS = 40_000  # calls of each thread in one run


def _buckets(a, calls):
    add, fit = a.add_to_bucket, a.find_best_fit_bucket
    for _ in range(calls // 2):
        add(64, 1000)
        fit(64, 8)


def _records(c, calls):
    record = c.py_record_allocation
    for _ in range(calls):
        record(64, 8, True)


def threads():
    print(f"\nThreads ({gil_line()}): calls per second, best of {THREAD_ROUNDS} rounds; x: over one thread")
    for label, make, work in [
        ("FastBucketAllocator: add_to_bucket(64, 1000) + find_best_fit_bucket(64, 8)", FastBucketAllocator, _buckets),
        ("FastStatsCollector: py_record_allocation(64, 8, True)", FastStatsCollector, _records),
    ]:
        print("\n".join(scaling_lines(label, shared_and_own(make, work, THREAD_CALLS))))


if __name__ == "__main__":
    main()
