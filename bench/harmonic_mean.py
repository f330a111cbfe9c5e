"""harmonic_mean against the Python it replaces, on lists of random floats.

Prints one table: the best of several timed runs per call, the speedup over
`len(xs) / sum(1 / x for x in xs)`, and the time relative to `sum(xs)`, the
interpreter's own tightest pass over the same float objects. Then PASS/FAIL
per target. Always exits 0: this measures, the tests judge.
"""
import random
import statistics
import sys
import timeit

from morbex.compiled import harmonic_mean

SIZES = (10, 1_000, 1_000_000)
BUDGET = 0.15  # seconds per timed run; min over the repeats
REPEATS = 7


def expression(xs):
    return len(xs) / sum(1 / x for x in xs)


CANDIDATES = {
    "harmonic_mean": harmonic_mean,
    "expression": expression,
    "statistics": statistics.harmonic_mean,
    "sum(xs)": sum,
}


def best_time(function, xs):
    """Seconds per call: the minimum over the repeats of a run sized to the budget."""
    timer = timeit.Timer("function(xs)", globals={"function": function, "xs": xs})  # no wrapper call timed
    one = min(timer.repeat(repeat=3, number=1))
    number = max(1, int(BUDGET / max(one, 1e-9)))
    repeats = REPEATS if one * number * REPEATS < 2.0 else 3
    return min(timer.repeat(repeat=repeats, number=number)) / number


def main():
    generator = random.Random(2024)
    times = {}
    print(f"CPython {sys.version.split()[0]}; seconds per call, best of several runs")
    print(f"{'n':>9}  {'harmonic_mean':>13}  {'expression':>11}  {'statistics':>11}  {'sum(xs)':>11}"
          f"  {'vs expr':>8}  {'vs sum':>7}")
    for size in SIZES:
        xs = [generator.uniform(1e-3, 1e3) for _ in range(size)]
        assert harmonic_mean(xs) == expression(xs)
        row = {name: best_time(function, xs) for name, function in CANDIDATES.items()}
        times[size] = row
        print(f"{size:>9}  {row['harmonic_mean']:>13.3e}  {row['expression']:>11.3e}  {row['statistics']:>11.3e}"
              f"  {row['sum(xs)']:>11.3e}  {row['expression'] / row['harmonic_mean']:>7.1f}x"
              f"  {row['harmonic_mean'] / row['sum(xs)']:>7.2f}")

    def speedup(size):
        return times[size]["expression"] / times[size]["harmonic_mean"]

    targets = [
        ("1 000 000: at least 25x the expression", speedup(1_000_000), speedup(1_000_000) >= 25),
        ("1 000 000: at most 0.5x sum(xs)", times[1_000_000]["harmonic_mean"] / times[1_000_000]["sum(xs)"],
         times[1_000_000]["harmonic_mean"] <= 0.5 * times[1_000_000]["sum(xs)"]),
        ("10: at least 10x the expression", speedup(10), speedup(10) >= 10),
    ]
    for text, value, passed in targets:
        print(f"{'PASS' if passed else 'FAIL'}  {text} ({value:.2f})")


if __name__ == "__main__":
    main()
