"""Many callers at once: brokers in their own threads through one sandbox,
harmonic_mean alongside. Every wait is bounded, so a deadlock fails the test
instead of hanging the run."""

import random
import threading
import time
from collections import Counter
from pathlib import Path

from degiro_sandbox import INT_ACCOUNT, PASSWORD, USERNAME, Sandbox

from morbex.broker import AuthenticationMethods, authenticate, logout
from morbex.brokers import Brokers
from morbex.compiled import harmonic_mean

EXPECTED = (Path(__file__).resolve().parent / "data" / "demo_holdings.json").read_text().rstrip("\n")
LOGIN = AuthenticationMethods.USERNAME_PASSWORD
BROKER_THREADS = 8
MEAN_THREADS = 2
TIMEOUT = 60.0  # seconds for the whole run; it takes one or two
MEAN_LISTS = 300


def one_session(**extra):
    broker = authenticate(Brokers.DEGIRO, LOGIN, username=USERNAME, password=PASSWORD, **extra)
    assert broker.int_account == INT_ACCOUNT
    assert broker.get_current_stock_holdings() == EXPECTED
    assert logout(broker, LOGIN) is None


def broker_worker(start):
    start.wait()
    one_session(int_account=INT_ACCOUNT)
    one_session()  # learns the account number: two logins, one logout more


def expression(nums):
    return len(nums) / sum(1 / x for x in nums)


def mean_worker(start, seed):
    generator = random.Random(seed)
    start.wait()
    for _ in range(MEAN_LISTS):
        size = generator.choice((1, 2, 10, 1000))
        nums = [generator.choice((generator.uniform(1e-3, 1e3), generator.randint(1, 2**70))) for _ in range(size)]
        assert harmonic_mean(nums) == expression(nums), nums
    return MEAN_LISTS


def run_threads(targets):
    """Runs each (target, args) in its own thread; returns the errors raised
    and the threads still running after the timeout."""
    errors, results = [], []

    def guarded(target, args):
        try:
            results.append(target(*args))
        except BaseException as error:  # reported by the test, not lost in the thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=pair, daemon=True) for pair in targets]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + TIMEOUT
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    return errors, [t for t in threads if t.is_alive()], results


def test_brokers_and_harmonic_mean_in_parallel():
    start = threading.Barrier(BROKER_THREADS + MEAN_THREADS, timeout=TIMEOUT)
    with Sandbox() as sb, sb.pointed_connector():
        targets = [(broker_worker, (start,))] * BROKER_THREADS
        targets += [(mean_worker, (start, seed)) for seed in range(MEAN_THREADS)]
        errors, stuck, results = run_threads(targets)

        assert errors == [] and stuck == []
        assert Counter(results) == {None: BROKER_THREADS, MEAN_LISTS: MEAN_THREADS}
        # Each broker thread: one session with the account number, one that
        # reads it first; every one of them closed.
        assert len(sb.sessions) == 2 * BROKER_THREADS
        assert Counter(s.state for s in sb.sessions) == {"closed": 2 * BROKER_THREADS}
        assert Counter(r.endpoint for r in sb.requests) == {
            "login": 2 * BROKER_THREADS,
            "client_details": BROKER_THREADS,
            "update": 2 * BROKER_THREADS,
            "products_info": 2 * BROKER_THREADS,
            "products_config": 2 * BROKER_THREADS,
            "logout": 2 * BROKER_THREADS,
        }
        assert all(r.status == 200 for r in sb.requests)
