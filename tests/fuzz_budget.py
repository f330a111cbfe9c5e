"""How many examples a property test runs: its own count under the default
profile, scaled with the profile's max_examples otherwise, so that
`pytest --hypothesis-profile=long` fuzzes every property longer (explicit
@settings would otherwise pin the count)."""

from hypothesis import settings

DEFAULT_EXAMPLES = 100  # hypothesis's own default profile


def examples(count):
    return max(1, count * settings.default.max_examples // DEFAULT_EXAMPLES)
