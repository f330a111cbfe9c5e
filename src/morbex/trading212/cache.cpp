// The instrument and exchange lists: Trading 212 allows one request for the
// instruments (about 5 MB) per 50 s and one for the exchanges per 30 s, and
// both change little in a day. Each is kept in the broker while it is fresh,
// and on disk for the next login.
//
//     MAX_AGE = 24 * 60 * 60
//
//     def <list>(self, endpoint, attribute, file):
//         now = time.time()
//         held = getattr(self, attribute)                  # (list, time it was fetched) or None
//         if held is not None and fresh(now - held[1]):
//             return held[0]
//         path = os.path.join(self._cache, file) if self._cache is not None else None
//         if path is not None:
//             try:
//                 fetched = os.stat(path).st_mtime
//                 if fresh(now - fetched):
//                     with open(path, "rb") as f:
//                         data = json.loads(f.read())
//                     if isinstance(data, list):
//                         setattr(self, attribute, (data, fetched))
//                         return data
//             except (OSError, ValueError):
//                 pass                                      # missing or unreadable: fetched again
//         body = <GET endpoint, or a typed error>
//         data = <json.loads(body), a list>
//         if path is not None:
//             <body written to path atomically; a failure logged and left at that>
//         setattr(self, attribute, (data, now))
//         return data
//
// A cache written "in the future" by more than a few minutes is taken for
// stale: a clock set back would otherwise keep it for as long.
#include "handler.hpp"
#include "state.hpp"

namespace morbex::trading212 {
namespace {

constexpr double max_age = 24 * 60 * 60;
constexpr double clock_slack = 5 * 60;

bool fresh(double age) { return age > -clock_slack && age < max_age; }

struct List {
    const Endpoint& endpoint;
    const char* attribute;
    const char* file;
};

const List instruments_list{instrument_list, "_instruments", "instruments.json"};
const List exchanges_list{exchange_list, "_exchanges", "exchanges.json"};

double seconds_of(PyObject* number) {
    const double v = PyFloat_AsDouble(number);
    if (v == -1.0 && PyErr_Occurred()) throw PyError{};
    return v;
}

// The cached list at `path`, if fresh and readable: null otherwise, with no
// error set.
Ref cached(const Call& c, PyObject* path, double now, Ref& fetched) {
    Ref os = c.global("os");
    Ref json = c.global("json");
    try {
        Ref stat = call_method(os.get(), "stat", {path});
        fetched = getattr(stat.get(), "st_mtime");
        if (!fresh(now - seconds_of(fetched.get()))) return Ref();
        Ref open = c.global("open");
        Ref mode = str("rb");
        Ref file = call(open.get(), {path, mode.get()});
        Ref content;
        try {
            content = call_method(file.get(), "read");
        } catch (const PyError&) {
            Handler caught;
            call_method(file.get(), "close");
            caught.reraise();
        }
        call_method(file.get(), "close");
        Ref data = call_method(json.get(), "loads", {content.get()});
        return PyList_CheckExact(data.get()) ? data : Ref();
    } catch (const PyError&) {
        Handler caught;
        Ref os_error = c.global("OSError");
        Ref value_error = c.global("ValueError");
        if (!caught.matches(os_error.get()) && !caught.matches(value_error.get())) caught.reraise();
        return Ref();
    }
}

// A file written as pip writes one: a temporary file in the same folder,
// flushed and fsynced, then renamed over the target; removed on any failure.
//
//     fd, temporary = tempfile.mkstemp(prefix="." + file + ".", suffix=".tmp", dir=folder)
//     try:
//         try:
//             f = open(fd, "wb")
//         except BaseException:
//             os.close(fd)         # as tempfile does: the descriptor is no file's yet
//             raise
//         with f:
//             f.write(body); f.flush(); os.fsync(f.fileno())
//         os.replace(temporary, path)
//     except BaseException:
//         os.unlink(temporary)     # an OSError of its own ignored
//         raise
void write_atomically(const Call& c, PyObject* folder, const char* file, PyObject* path, PyObject* body) {
    Ref os = c.global("os");
    Ref tempfile = c.global("tempfile");
    Ref prefix = brokerage::message(".%s.", file), suffix = str(".tmp");
    Ref made = call_method(tempfile.get(), "mkstemp", {},
                           {{"prefix", prefix.get()}, {"suffix", suffix.get()}, {"dir", folder}});
    PyObject* fd = PyTuple_GET_ITEM(made.get(), 0);
    PyObject* temporary = PyTuple_GET_ITEM(made.get(), 1);
    try {
        Ref open = c.global("open");
        Ref mode = str("wb");
        Ref f;
        try {
            f = call(open.get(), {fd, mode.get()});
        } catch (const PyError&) {
            Handler caught;
            call_method(os.get(), "close", {fd});
            caught.reraise();
        }
        try {
            call_method(f.get(), "write", {body});
            call_method(f.get(), "flush");
            Ref number = call_method(f.get(), "fileno");
            call_method(os.get(), "fsync", {number.get()});
        } catch (const PyError&) {
            Handler caught;
            call_method(f.get(), "close");
            caught.reraise();
        }
        call_method(f.get(), "close");
        call_method(os.get(), "replace", {temporary, path});
    } catch (const PyError&) {
        Handler caught;
        try {
            call_method(os.get(), "unlink", {temporary});
        } catch (const PyError&) {
            Handler unlinked;
            Ref os_error = c.global("OSError");
            if (!unlinked.matches(os_error.get())) unlinked.reraise();
        }
        caught.reraise();
    }
}

// The body kept in the cache. The cache only saves requests: a folder that
// cannot be written costs a warning, not the read.
void keep(const Call& c, PyObject* folder, const List& list, PyObject* path, PyObject* body) {
    try {
        Ref os = c.global("os");
        call_method(os.get(), "makedirs", {folder}, {{"exist_ok", Py_True}});
        write_atomically(c, folder, list.file, path, body);
    } catch (const PyError&) {
        Handler caught;
        Ref os_error = c.global("OSError");
        if (!caught.matches(os_error.get())) caught.reraise();
        Ref reason;
        Ref strerror_name = intern("strerror");
        if (!lookup_attr(caught.exception(), strerror_name.get(), reason) || !PyUnicode_Check(reason.get())) {
            reason = check(PyType_GetName(Py_TYPE(caught.exception())));
        }
        Ref logging = c.global("logging");
        Ref logger = call_method(logging.get(), "getLogger", {str("morbex").get()});
        Ref text = str("Could not write %s of Trading 212 to the cache folder %s (%s)");
        Ref what = str(list.endpoint.what);
        call_method(logger.get(), "warning", {text.get(), what.get(), folder, reason.get()});
    }
}

Ref list_of(const Call& c, PyObject* self, const List& list) {
    Ref time = c.global("time");
    Ref now_number = call_method(time.get(), "time");
    const double now = seconds_of(now_number.get());
    Ref held = getattr(self, list.attribute);
    if (PyTuple_CheckExact(held.get()) && PyTuple_GET_SIZE(held.get()) == 2 &&
        fresh(now - seconds_of(PyTuple_GET_ITEM(held.get(), 1)))) {
        return Ref::borrow(PyTuple_GET_ITEM(held.get(), 0));
    }
    Ref session = session_of(c, self, list.endpoint.what);
    Ref folder = getattr(self, "_cache");
    Ref path;
    if (folder.get() != Py_None) {
        Ref os = c.global("os");
        Ref os_path = getattr(os.get(), "path");
        Ref file = str(list.file);
        path = call_method(os_path.get(), "join", {folder.get(), file.get()});
        Ref fetched;
        if (Ref data = cached(c, path.get(), now, fetched)) {
            Ref kept = check(PyTuple_Pack(2, data.get(), fetched.get()));
            setattr(self, list.attribute, kept.get());
            return data;
        }
    }
    Ref base_url = getattr(self, "_base_url");
    Ref body = fetch(c, session.get(), base_url.get(), list.endpoint, false);
    Ref data = decoded(c, body.get(), list.endpoint, false);
    if (path) keep(c, folder.get(), list, path.get(), body.get());
    Ref kept = check(PyTuple_Pack(2, data.get(), now_number.get()));
    setattr(self, list.attribute, kept.get());
    return data;
}

}  // namespace

Ref instruments(const Call& c, PyObject* self) { return list_of(c, self, instruments_list); }

Ref exchanges(const Call& c, PyObject* self) { return list_of(c, self, exchanges_list); }

}  // namespace morbex::trading212
