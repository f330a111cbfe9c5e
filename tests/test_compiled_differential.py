"""harmonic_mean against the interpreter's own expression, bit for bit, on generated lists."""
import random
from decimal import Decimal
from fractions import Fraction

from hypothesis import given, settings
from hypothesis import strategies as st

from morbex.compiled import harmonic_mean
from fuzz_budget import examples
from test_compiled import expression, outcome


def signed(magnitudes):
    return st.tuples(st.booleans(), magnitudes).map(lambda pair: -pair[1] if pair[0] else pair[1])


def around(value, spread=2**12):
    return st.integers(value - spread, value + spread)


def near_tie(bits, quotient, below):
    """An int n of `bits` bits whose 1/n, scaled to 55 bits, is just above
    (quotient = 4j + 2) or just below (quotient = 4j + 1, remainder close to n)
    the midpoint between two doubles: where a rounding slip shows."""
    power = 1 << (bits + 54)
    if below:
        quotient = quotient // 4 * 4 + 1
        return -(-power // (quotient + 1))
    return power // (quotient // 4 * 4 + 2)


near_ties = st.builds(near_tie, st.integers(54, 64), st.integers(2**54 + 8, 2**55 - 8), st.booleans())

# Where an int's reciprocal changes method: exact doubles up to 2**53, 128-bit
# rounding up to the 64-bit limit, the interpreter beyond it.
wide_ints = signed(
    st.one_of(
        st.integers(0, 1000),
        around(2**53),
        st.integers(2**53, 2**64),
        st.integers(2**53, 2**64).map(lambda n: n | 1),
        around(2**63),
        around(2**64),
        st.integers(2**64, 2**1100),
        st.just(10**400),
        near_ties,
    )
)
floats = st.floats()  # every magnitude: subnormals, +-0.0, infinities, NaN
numbers = st.lists(st.one_of(floats, wide_ints), max_size=24)


class Float(float):
    pass


class Int(int):
    pass


class Reciprocal:
    """An element of its own type: 1 / it is whatever it says."""

    def __init__(self, value):
        self.value = value

    def __rtruediv__(self, other):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return f"Reciprocal({self.value!r})"


others = st.one_of(
    st.fractions(max_denominator=10**6),
    st.decimals(places=None),
    st.booleans(),
    floats.map(Float),
    wide_ints.map(Int),
    st.builds(Reciprocal, st.one_of(floats, st.fractions(), st.builds(ValueError, st.just("no")), st.builds(StopIteration))),
    st.sampled_from(["a", None, [1.0], ()]),
)


def check(nums):
    before = list(nums)
    assert outcome(harmonic_mean, nums) == outcome(expression, nums)
    assert len(nums) == len(before) and all(a is b for a, b in zip(nums, before))


@settings(max_examples=examples(2000), deadline=None)
@given(numbers)
def test_floats_and_ints(nums):
    check(nums)


@settings(max_examples=examples(500), deadline=None)
@given(st.lists(floats, min_size=1, max_size=200))
def test_long_float_lists(nums):
    check(nums)


@settings(max_examples=examples(1000), deadline=None)
@given(st.lists(st.one_of(floats, wide_ints, others), max_size=12))
def test_any_elements(nums):
    check(nums)


@settings(max_examples=examples(1000), deadline=None)
@given(signed(st.one_of(st.integers(2**53, 2**64), near_ties)), floats)
def test_int_reciprocals_exactly(n, x):
    # float(-n) divides 1 to within a few units of 1/n, so the sum is their
    # exact difference: any slip in 1/n changes the result.
    check([n, -float(n)])
    check([n])
    check([n, x])


def test_int_reciprocals_sampled():
    generator = random.Random(20240601)
    for _ in range(100_000):
        bits = generator.randint(54, 64)
        n = generator.randrange(1 << (bits - 1), 1 << bits)
        if generator.random() < 0.25:
            n = near_tie(bits, generator.randrange(2**54 + 8, 2**55 - 8), generator.random() < 0.5)
        if generator.random() < 0.5:
            n = -n
        nums = [n, -float(n)]
        assert outcome(harmonic_mean, nums) == outcome(expression, nums), n


def test_large_lists():
    generator = random.Random(7)
    for size in (1000, 100_000):
        nums = [generator.uniform(-1, 1) * 10.0 ** generator.randint(-300, 300) for _ in range(size)]
        nums[size // 2 :: 7] = [generator.randrange(1, 2**64) for _ in nums[size // 2 :: 7]]
        check(nums)
    assert harmonic_mean([Decimal(4)] * 1000) == Decimal(4)
    assert harmonic_mean([Fraction(1, 3)] * 1000) == Fraction(1, 3)
