"""What `import morbex.broker` costs over importing what it needs of degiro_connector.

Each measurement is a fresh interpreter timing one import statement; the best of
many runs is kept for each, side by side.
"""
import statistics
import subprocess
import sys

CONNECTOR = (
    "import json, logging, time, functools, degiro_connector.trading.api, "
    "degiro_connector.trading.models.credentials, degiro_connector.trading.models.account"
)
MORBEX = "import morbex.broker"
RUNS = 30


def measure(statement):
    code = (
        "import time, warnings\n"
        "warnings.simplefilter('ignore')\n"
        "t = time.perf_counter()\n"
        f"{statement}\n"
        "print(time.perf_counter() - t)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    return float(out)


def main():
    connector, morbex = [], []
    for _ in range(RUNS):  # interleaved, so both see the same machine load
        connector.append(measure(CONNECTOR))
        morbex.append(measure(MORBEX))
    best_c, best_m = min(connector), min(morbex)
    med_c, med_m = statistics.median(connector), statistics.median(morbex)
    print(f"{'import':<40}{'best':>10}{'median':>10}")
    print(f"{'degiro_connector (what morbex uses)':<40}{best_c * 1e3:>8.1f}ms{med_c * 1e3:>8.1f}ms")
    print(f"{'morbex.broker (all of the above too)':<40}{best_m * 1e3:>8.1f}ms{med_m * 1e3:>8.1f}ms")
    added = best_m - best_c
    print(f"morbex adds {added * 1e3:.2f} ms (best) / {(med_m - med_c) * 1e3:.2f} ms (median)")
    print(f"{'PASS' if added < 0.005 else 'FAIL'}  morbex.broker adds < 5 ms over degiro_connector")


if __name__ == "__main__":
    main()
