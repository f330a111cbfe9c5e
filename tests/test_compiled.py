"""morbex.compiled.harmonic_mean behaves as `len(nums) / sum(1 / x for x in nums)`."""
import gc
import inspect
import math
import struct
import sys
from decimal import Decimal, DivisionByZero
from fractions import Fraction

import pytest

from morbex.compiled import harmonic_mean


def expression(nums):
    return len(nums) / sum(1 / x for x in nums)


def fingerprint(value):
    """Type and exact value; floats by bit pattern (so -0.0 != 0.0), any NaN as one."""
    if type(value) is float:
        return float, "nan" if math.isnan(value) else struct.pack("<d", value).hex()
    return type(value), repr(value)


def outcome(function, nums):
    try:
        return "returned", fingerprint(function(nums))
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return "raised", type(error), str(error)


class Half:
    """Not a number, but 1 can be divided by it."""

    def __rtruediv__(self, other):
        return 0.5


class OwnFloat(float):
    def __rtruediv__(self, other):
        return 0.5


class OwnInt(int):
    def __rtruediv__(self, other):
        return 0.5


@pytest.mark.parametrize(
    "nums, expected",
    [
        ([1, 2, 4], 1.7142857142857142),
        ([2.0, 2.0], 2.0),
        ([5], 5.0),
        ([1, 2], 1.3333333333333333),
        ([0.5, 0.25], 0.3333333333333333),
        ([-2, -2], -2.0),
        ([True], 1.0),
        ([True, 3], 1.5),
        ([Fraction(1), Fraction(3)], Fraction(3, 2)),
        ([Decimal(2), Decimal(2)], Decimal(2)),
        ([1.0, Fraction(1, 2)], 2 / 3),
        ([2, Half()], 2.0),
        ([2.0, OwnFloat(4.0)], 2.0),  # subclasses divide their own way
        ([2, OwnInt(4)], 2.0),
        ([1e-100, 1.0, -1e-100], 3.0),  # sum's compensation keeps the 1.0 a plain sum loses
        ([1e-320], 0.0),  # 1 / 1e-320 overflows to inf without an error
        ([math.inf, 1], 2.0),
        ([math.nan, 1.0], math.nan),
        ([2**53 + 3, 2**60 + 7], 1.7874752009408488e16),
        ([3**40], 1.2157665459056929e19),  # beyond 64 bits: the interpreter's division
        ([-(2**63)], -9.223372036854776e18),
    ],
)
def test_results(nums, expected):
    before = list(nums)
    result = harmonic_mean(nums)
    assert fingerprint(result) == fingerprint(expected)
    assert fingerprint(result) == fingerprint(expression(nums))
    assert nums == before


@pytest.mark.parametrize(
    "nums, error, text",
    [
        ([], ZeroDivisionError, "division by zero"),
        ([3, 0], ZeroDivisionError, "division by zero"),
        ([1.5, False], ZeroDivisionError, "division by zero"),
        ([1, -1], ZeroDivisionError, "float division by zero"),
        ([0.0], ZeroDivisionError, "float division by zero"),
        ([2, -0.0], ZeroDivisionError, "float division by zero"),
        ([math.inf], ZeroDivisionError, "float division by zero"),
        ([math.inf, -math.inf], ZeroDivisionError, "float division by zero"),
        ([Decimal(0)], DivisionByZero, "[<class 'decimal.DivisionByZero'>]"),
        ([1.0, "a"], TypeError, "unsupported operand type(s) for /: 'int' and 'str'"),
        ([None], TypeError, "unsupported operand type(s) for /: 'int' and 'NoneType'"),
        ([[1]], TypeError, "unsupported operand type(s) for /: 'int' and 'list'"),
        ([1.5, Decimal(2)], TypeError, "unsupported operand type(s) for +: 'float' and 'decimal.Decimal'"),
        (["a", 0], TypeError, "unsupported operand type(s) for /: 'int' and 'str'"),  # first failure wins
        ([0, "a"], ZeroDivisionError, "division by zero"),
        ([3**40, 0.0], ZeroDivisionError, "float division by zero"),
    ],
)
def test_errors_are_the_expressions(nums, error, text):
    with pytest.raises(error) as raised:
        harmonic_mean(nums)
    assert str(raised.value) == text
    assert outcome(expression, nums) == ("raised", error, text)


class NumberList(list):
    pass


@pytest.mark.parametrize(
    "argument, type_name",
    [((1, 2), "tuple"), (None, "NoneType"), (NumberList([1, 2]), "NumberList"), (iter([1]), "list_iterator"),
     ({1: 1}, "dict"), ("12", "str")],
)
def test_only_an_exact_list_is_accepted(argument, type_name):
    with pytest.raises(TypeError) as raised:
        harmonic_mean(argument)
    assert str(raised.value) == f"Argument 'nums' has incorrect type (expected list, got {type_name})"


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {}, "harmonic_mean() takes exactly 1 positional argument (0 given)"),
        (([1], [2]), {}, "harmonic_mean() takes exactly 1 positional argument (2 given)"),
        (([1],), {"nums": [1]}, "harmonic_mean() got multiple values for keyword argument 'nums'"),
        (([1],), {"x": 1}, "harmonic_mean() got an unexpected keyword argument 'x'"),
        ((), {"nums": [1], "x": 1}, "harmonic_mean() got an unexpected keyword argument 'x'"),
        ((), {"x": [1]}, "harmonic_mean() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_call_errors(args, kwargs, text):
    with pytest.raises(TypeError) as raised:
        harmonic_mean(*args, **kwargs)
    assert str(raised.value) == text


def test_function_attributes():
    assert harmonic_mean(nums=[1, 2, 4]) == harmonic_mean([1, 2, 4])
    assert str(inspect.signature(harmonic_mean)) == "(nums: 'list[float]') -> 'float'"
    assert harmonic_mean.__name__ == harmonic_mean.__qualname__ == "harmonic_mean"
    assert harmonic_mean.__module__ == "morbex.compiled"
    assert harmonic_mean.__doc__ is None
    assert harmonic_mean.__annotations__ == {"nums": "list[float]", "return": "float"}


class Raises:
    def __init__(self, error):
        self.error = error

    def __rtruediv__(self, other):
        raise self.error


class BadSum:
    """1 divides it, but the reciprocal cannot be added."""

    def __init__(self, error):
        self.error = error

    def __rtruediv__(self, other):
        return self

    def __radd__(self, other):
        raise self.error


def test_stop_iteration_from_a_division_is_a_runtime_error():
    results = []
    for function in (harmonic_mean, expression):
        stop = StopIteration("done")
        with pytest.raises(RuntimeError) as raised:
            function([1.0, 2, Raises(stop)])
        error = raised.value
        results.append((str(error), error.__cause__ is stop, error.__context__ is stop, error.__suppress_context__))
    assert results[0] == results[1] == ("generator raised StopIteration", True, True, True)


@pytest.mark.parametrize("make_item", [Raises, BadSum], ids=["division", "addition"])
@pytest.mark.parametrize("error_type", [StopIteration, ValueError, KeyboardInterrupt])
def test_exceptions_from_the_elements(make_item, error_type):
    # Only a StopIteration from the division is converted; one from the
    # addition is sum's own and passes through as it is.
    seen = []
    for function in (harmonic_mean, expression):
        error = error_type("x")
        with pytest.raises(BaseException) as raised:
            function([1.5, make_item(error)])
        seen.append((type(raised.value), raised.value is error))
    assert seen[0] == seen[1]


# Each mutation runs once, from the first division by the Mutator; the
# numbers before it send the fast path back to the interpreter's walk.
MUTATIONS = {
    "append": lambda nums: nums.append(4.0),
    "append zero": lambda nums: nums.append(0),
    "extend": lambda nums: nums.extend([1.0] * 100),
    "clear": lambda nums: nums.clear(),
    "shrink": lambda nums: nums.pop(),
    "shrink before": lambda nums: nums.pop(0),
    "replace later": lambda nums: nums.__setitem__(-1, "a"),
    "sort": lambda nums: nums.sort(key=id),
}


class Mutator:
    def __init__(self, nums, mutation):
        self.nums = nums
        self.mutation = mutation

    def __rtruediv__(self, other):
        if self.mutation is not None:
            mutation, self.mutation = self.mutation, None
            mutation(self.nums)
        return 0.25


@pytest.mark.parametrize("mutation", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_mutation_during_the_walk(mutation):
    outcomes = []
    for function in (harmonic_mean, expression):
        nums = [1.0, 2, 0.5]
        nums.append(Mutator(nums, mutation))
        nums += [3, 8.0]
        outcomes.append((outcome(function, nums), len(nums)))
        nums.clear()  # breaks the cycle through the Mutator
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize(
    "nums",
    [[1.0, 2, 4], [1.0, Fraction(1, 3)], [1, 0], [0.5, "a"], [], [3**40, 1.0], [1, -1]],
    ids=["fast", "interpreter", "zero", "type error", "empty", "big int", "zero sum"],
)
def test_keeps_no_reference_and_leaves_the_list_alone(nums):
    nums = [float(str(item)) if type(item) is float else item for item in nums]  # objects of this test only
    items = list(nums)
    gc.collect()
    item_counts = [sys.getrefcount(item) for item in items]
    count = sys.getrefcount(nums)
    for _ in range(3):
        try:
            harmonic_mean(nums)
        except (ZeroDivisionError, TypeError):
            pass
    assert sys.getrefcount(nums) == count
    assert [sys.getrefcount(item) for item in items] == item_counts
    assert len(nums) == len(items) and all(a is b for a, b in zip(nums, items))
