"""Makes degiro_sandbox importable whatever import mode pytest runs in, and imports
protobuf's C extension past its one import-time warning."""

import pathlib
import sys
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

# protobuf 4.25's upb types trip CPython 3.12's deprecation of heap types whose
# metaclass has a custom tp_new while being imported; the warning is attributed
# to importlib, so no module filter can name it.  Import it once here, ignoring
# exactly that message.
with warnings.catch_warnings():
    warnings.filterwarnings(
        "ignore",
        message=r"Type google\._upb\._message\.\w+ uses PyType_\w+ with a metaclass that has custom tp_new",
        category=DeprecationWarning,
    )
    import google.protobuf.descriptor  # noqa: F401
