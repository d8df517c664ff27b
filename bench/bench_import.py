"""Import time of _tidemark: fresh interpreters importing it against ones
that do nothing, plus the interpreter's own -X importtime line for it."""

import statistics
import subprocess
import sys
import time

from _timing import header

RUNS = 20


def wall_ms(args):
    samples = []
    for _ in range(RUNS):
        start = time.perf_counter()
        subprocess.run([sys.executable, *args], check=True, capture_output=True)
        samples.append((time.perf_counter() - start) * 1e3)
    return statistics.median(samples)


def importtime_line():
    """Median self and cumulative microseconds reported for _tidemark."""
    selfs, cumuls, raw = [], [], ""
    for _ in range(RUNS):
        err = subprocess.run([sys.executable, "-X", "importtime", "-c", "import _tidemark"],
                             check=True, capture_output=True, text=True).stderr
        for line in err.splitlines():
            # "import time:      self |  cumulative | name"
            parts = [p.strip() for p in line.removeprefix("import time:").split("|")]
            if len(parts) == 3 and parts[2] == "_tidemark":
                selfs.append(int(parts[0]))
                cumuls.append(int(parts[1]))
                raw = line
    return statistics.median(selfs), statistics.median(cumuls), raw


def main():
    header(f"import _tidemark in a fresh interpreter (median of {RUNS})")
    base = wall_ms(["-c", "pass"])
    imp = wall_ms(["-c", "import _tidemark"])
    print(f"  {'python -c pass':<34}{base:10.2f} ms")
    label = 'python -c "import _tidemark"'
    print(f"  {label:<34}{imp:10.2f} ms")
    print(f"  difference {imp - base:.2f} ms, ratio {imp / base:.2f}x")
    self_us, cumul_us, raw = importtime_line()
    print(f"  -X importtime, one run: {raw.strip()}")
    print(f"  -X importtime _tidemark: self {self_us:.0f} us, cumulative {cumul_us:.0f} us (median)")


if __name__ == "__main__":
    main()
