"""Judges a valgrind memcheck log of the soak (scripts/dev memcheck).

Fails on any memory error (invalid read/write/free, uninitialised value,
mismatched free, overlap) and on any block definitely lost that morbex
allocated: one of its extension modules is on the allocation stack with no
Python code run in between. A block allocated while morbex was running
Python code (an import, a user's __rtruediv__) is that code's. Two kinds of
lost block are the interpreter's, whoever asked for them:

  interned strings  3.12 keeps them for the life of the process and does not
                    free them at exit (morbex interns its names once, at import)
  tracemalloc       its per-trace bookkeeping

Usage: python scripts/memcheck_verdict.py build/memcheck.log
"""

import re
import sys

ERROR = re.compile(
    r"^==\d+== (Invalid (read|write|free)|Conditional jump|Use of uninitialised|Syscall param|Mismatched free"
    r"|Source and destination overlap|Argument '.*' of function)",
    re.M,
)
LOST = re.compile(r"([\d,]+) (?:\([^)]*\) )?bytes in ([\d,]+) blocks are definitely lost")
OURS = re.compile(r"/morbex/\w+\.cpython-[^)]*\.so\)")
PYTHON_CODE = ("_PyEval_EvalFrameDefault", "marshal_loads")
THE_INTERPRETERS = ("PyUnicode_InternFromString", "PyUnicode_InternInPlace", "intern_common", "traceback_new")


def allocated_by_morbex(record):
    """The allocation stack, innermost first, reaches a morbex frame before
    any frame that runs Python code."""
    for frame in re.findall(r"(?:at|by) 0x[0-9A-Fa-f]+: (.*)", record):
        if OURS.search(frame):
            return True
        if frame.startswith(PYTHON_CODE):
            return False
    return False


def verdict(log):
    errors = ERROR.findall(log)
    ours, excused, elsewhere = [], 0, 0
    for record in re.split(r"\n==\d+== \n", log):
        if not LOST.search(record) or not OURS.search(record):
            continue
        if any(name in record for name in THE_INTERPRETERS):
            excused += 1
        elif allocated_by_morbex(record):
            ours.append(record)
        else:
            elsewhere += 1
    summary = re.search(r"definitely lost: .*", log)
    print(f"memory errors: {len(errors)}")
    print(f"{summary.group(0) if summary else 'no leak summary'} (the whole process)")
    print(f"definitely-lost records allocated by morbex: {len(ours)} (with morbex further up the stack: "
          f"{elsewhere} allocated by Python code it ran, {excused} interned strings or tracemalloc's own)")
    for record in ours[:5]:
        print(record)
    return 1 if errors or ours or not summary else 0


if __name__ == "__main__":
    with open(sys.argv[1]) as file:
        sys.exit(verdict(file.read()))
