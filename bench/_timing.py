"""Small timing helpers shared by the bench scripts (they measure, never assert)."""

import time


def per_call_ns(fn, *args, number=None, repeat=5, budget_s=0.08):
    """Best-of-`repeat` nanoseconds per call of fn(*args).

    With no `number`, the loop count is picked so one repeat takes about
    `budget_s` seconds.
    """
    if number is None:
        number = 1
        while True:
            start = time.perf_counter_ns()
            for _ in range(number):
                fn(*args)
            elapsed = time.perf_counter_ns() - start
            if elapsed >= budget_s * 1e9 / 10 or number >= 1 << 24:
                number = max(1, int(number * budget_s * 1e9 / max(elapsed, 1)))
                break
            number *= 4
    best = None
    for _ in range(repeat):
        start = time.perf_counter_ns()
        for _ in range(number):
            fn(*args)
        elapsed = (time.perf_counter_ns() - start) / number
        best = elapsed if best is None else min(best, elapsed)
    return best


def fmt_ns(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:9.3f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:9.3f} us"
    return f"{ns:9.1f} ns"


def header(title):
    print(f"\n### {title}")
