"""Ratios of korvane.jit.quendar's calls against the interpreter's floor and
against a pure-Python policy written the obvious way.

    PYTHONPATH=src python bench/quendar.py

The store hands out records through a builtin (dict.__getitem__), so that
its own work stays out of the figures.  Then Quendar at 1, 2 and 4 threads,
on one policy the threads share and on one per thread, as calls per
second.  Prints ratios and rates; asserts nothing.
"""
import time

from korvane._tour._common import THREAD_ROUNDS, best_per_call, gil_line, scaling_lines, shared_and_own
from korvane._tour.quendar import PyPolicy, Store
from korvane.jit import quendar as q

N = 40_000
REPEAT = 25


def best(stmts, ns):
    """Best time per call in ns of each statement, the statements taking
    turns so that a burst of load on the machine hits all of them alike."""
    return [t * 1e9 for t in best_per_call(stmts, ns, N, REPEAT)]


def main():
    # 5 compilations: the threshold keeps moving but stays inside the bounds.
    rec = q.FunctionMetrics(call_count=500, compile_count=5, avg_speedup=3.0, last_compiled=time.time())
    store = Store({"hot": rec, "cold": rec})
    policy, pypolicy = q.Quendar(), PyPolicy()
    policy.update("hot", store)
    pypolicy.update("hot", store)
    x = [1]
    ns = dict(policy=policy, py=pypolicy, store=store, x=x, isinstance=isinstance, int=int)

    floor1, floor2, learned, py_learned, unlearned, py_unlearned = best(
        ["len(x)", "isinstance(x, int)", "policy.get_threshold('hot')", "py.get_threshold('hot')",
         "policy.get_threshold('cold')", "py.get_threshold('cold')"], ns)
    floor2b, should, py_should, update, py_update = best(
        ["isinstance(x, int)", "policy.should_compile('hot', store)", "py.should_compile('hot', store)",
         "policy.update('hot', store)", "py.update('hot', store)"], ns)
    floor2 = min(floor2, floor2b)
    rows = [
        ("get_threshold (learned)", learned, floor1, py_learned),
        ("get_threshold (unlearned)", unlearned, floor1, py_unlearned),
        ("should_compile", should, floor2, py_should),
        ("update", update, floor2, py_update),
    ]
    print(f"floor: len(x) {floor1:.1f} ns, isinstance(x, int) {floor2:.1f} ns")
    print(f"{'call':28s} {'ns':>8s} {'x floor':>8s} {'pure-Python ns':>15s} {'speedup':>8s}")
    for name, ours, floor, pure in rows:
        print(f"{name:28s} {ours:8.1f} {ours / floor:8.2f} {pure:15.1f} {pure / ours:8.2f}")
    threads(store)


def threads(store):
    def decide(policy, calls):
        threshold, should = policy.get_threshold, policy.should_compile
        for _ in range(calls // 2):
            threshold("hot")
            should("hot", store)

    print(f"\nThreads ({gil_line()}): calls per second, best of {THREAD_ROUNDS} rounds; x: over one thread")
    rates = shared_and_own(q.Quendar, decide, 20_000)
    print("\n".join(scaling_lines("Quendar: get_threshold('hot') + should_compile('hot', store)", rates)))


if __name__ == "__main__":
    main()
