// morbex.compiled: numeric helpers.
//
//     def harmonic_mean(nums: list) -> "float":     # nums must be exactly a list
//         return len(nums) / sum(1 / x for x in nums)
#include <climits>
#include <cmath>
#include <cstdint>
#include "error.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::compiled {

struct CompiledState : ModuleState {
    PyObject* reciprocals_type = nullptr;  // the iterator the interpreter's sum() walks

    template <class F>
    void visit(F&& f) {
        ModuleState::visit(f);
        f(reciprocals_type);
    }
};

namespace {

// ---------------------------------------------------------------------------
// The interpreter's way: `1 / x` for each item, fed to the built-in sum.

// Stands in for the generator expression `(1 / x for x in nums)`: walks the
// list as a list iterator does (index and length re-read at every step, since
// a user's __rtruediv__ may mutate the list) and divides with the
// interpreter's own arithmetic.
struct Reciprocals {
    PyObject_HEAD
    PyObject* list;  // NULL once exhausted
    Py_ssize_t index;
    PyObject* one;
};

// A StopIteration escaping a generator's body becomes a RuntimeError with
// the StopIteration as cause and context. Without this, sum() would take
// it for the end of the items and return a partial result.
void stop_iteration_to_runtime_error() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    PyObject* stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, Py_NewRef(stop));
    PyException_SetContext(error, stop);
    PyErr_SetRaisedException(error);
}

PyObject* reciprocals_next(PyObject* self) {
    auto* it = reinterpret_cast<Reciprocals*>(self);
    if (it->list == nullptr) return nullptr;
    if (it->index < PyList_GET_SIZE(it->list)) {
        PyObject* item = Py_NewRef(PyList_GET_ITEM(it->list, it->index));
        ++it->index;
        PyObject* reciprocal = PyNumber_TrueDivide(it->one, item);
        Py_DECREF(item);
        if (reciprocal == nullptr) stop_iteration_to_runtime_error();
        return reciprocal;
    }
    Py_CLEAR(it->list);
    return nullptr;
}

int reciprocals_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<Reciprocals*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->list);
    return 0;
}

int reciprocals_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Reciprocals*>(self)->list);
    return 0;
}

void reciprocals_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reciprocals_clear(self);
    Py_CLEAR(reinterpret_cast<Reciprocals*>(self)->one);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot reciprocals_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reciprocals_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reciprocals_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reciprocals_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reciprocals_next)},
    {0, nullptr},
};

PyType_Spec reciprocals_spec = {
    "morbex.compiled.reciprocals",
    sizeof(Reciprocals),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    reciprocals_slots,
};

Ref reciprocal_sum_by_interpreter(const Call& c, PyObject* nums) {
    auto* type = reinterpret_cast<PyTypeObject*>(state_of<CompiledState>(c).reciprocals_type);
    Ref iter = check(type->tp_alloc(type, 0));
    auto* it = reinterpret_cast<Reciprocals*>(iter.get());
    it->list = Py_NewRef(nums);
    it->index = 0;
    it->one = check(PyLong_FromLong(1)).release();
    Ref key = intern("sum");
    Ref sum = load_global(c.fn->builtins, c.fn->builtins, key.get());
    return call(sum.get(), {iter.get()});
}

// ---------------------------------------------------------------------------
// The same in C, for lists of exact floats and ints: no object per item.

enum class Reciprocal { ok, zero, needs_interpreter };

// 1 / v for an int, correctly rounded as the interpreter's int division is.
// Ints beyond 64 bits are left to the interpreter. Out of line: the float
// loop must not pay for this path's registers and calls.
[[gnu::noinline]] Reciprocal int_reciprocal(PyObject* item, double& out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) return Reciprocal::needs_interpreter;
    if (v == 0) return Reciprocal::zero;
    const unsigned long long m =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    if (m <= (1ULL << 53)) {
        out = 1.0 / static_cast<double>(v);  // both exact: one correctly rounded division
        return Reciprocal::ok;
    }
    // q = floor(2**(bits+54) / m) has 55 bits (m is not a power of two here,
    // or q is exactly 2**55); round it to 53 bits, half to even, with the
    // remainder as sticky bit.
    const int bits = 64 - __builtin_clzll(m);
    const unsigned __int128 numerator = static_cast<unsigned __int128>(1) << (bits + 54);
    const auto q = static_cast<unsigned long long>(numerator / m);
    const bool sticky = numerator % m != 0;
    unsigned long long kept = q >> 2;
    const unsigned dropped = static_cast<unsigned>(q & 3);
    if (dropped > 2 || (dropped == 2 && (sticky || (kept & 1)))) ++kept;
    const double magnitude = std::ldexp(static_cast<double>(kept), -(bits + 52));
    out = v < 0 ? -magnitude : magnitude;
    return Reciprocal::ok;
}

// Neumaier's compensated summation, operation for operation as sum() adds
// exact floats.
struct CompensatedSum {
    double total = 0.0;
    double compensation = 0.0;

    // A running total soon outgrows each term, so the first branch is the
    // usual one: said so, clang keeps the branch instead of computing both
    // sides and selecting, which costs a fifth more per item.
    static void step(double& total, double& compensation, double x) {
        const double t = total + x;
        if (std::fabs(total) >= std::fabs(x)) [[likely]]
            compensation += (total - t) + x;
        else
            compensation += (x - t) + total;
        total = t;
    }
    void add(double x) { step(total, compensation, x); }
    // As sum() ends: keep the sign of a negative result, and never turn an
    // infinite or overflowed sum into a NaN.
    double value() const {
        return compensation != 0.0 && std::isfinite(compensation) ? total + compensation : total;
    }
};

constexpr Py_ssize_t prefetch_distance = 64;  // items; measured best of 16..256 at a million

// Adds 1 / x for the exact nonzero floats from items[i] on; returns the
// index of the first other item, or size. The hot loop: nothing in it calls
// out, so the running sums stay in registers rather than on the stack, where
// a store and reload would lengthen every addition's dependency chain. (Two
// scalars, not the struct: the compiler would keep that in one vector
// register and shuffle it at every step.)
[[gnu::noinline]] Py_ssize_t add_float_reciprocals(PyObject* const* items, Py_ssize_t i, Py_ssize_t size,
                                                  double& total_out, double& compensation_out) {
    double total = total_out;
    double compensation = compensation_out;
    for (; i < size; ++i) {
        // The float objects lie apart from the list's pointer array, and the
        // serial additions leave the processor too little lookahead to reach
        // them in time on long lists: ask for one well ahead (a prefetch
        // never faults, and costs nothing measurable on short lists).
        if (i + prefetch_distance < size) __builtin_prefetch(items[i + prefetch_distance]);
        PyObject* item = items[i];
        if (!PyFloat_CheckExact(item)) break;
        const double value = PyFloat_AS_DOUBLE(item);
        if (value == 0.0) [[unlikely]] break;
        CompensatedSum::step(total, compensation, 1.0 / value);
    }
    total_out = total;
    compensation_out = compensation;
    return i;
}

// sum(1 / x for x in nums) for a list of exact floats and ints, bit for bit
// as the built-in sum computes it: the int start 0 meets the first
// reciprocal, then Neumaier's steps take the rest. Returns false, with
// nothing raised, when some item needs the interpreter. A zero item is
// divided by the interpreter, so the ZeroDivisionError is its own.
//
// The first reciprocal takes the same step as the rest: from a zero total
// the step yields 0.0 + x and leaves the compensation zero, except for an
// infinite or NaN first reciprocal, where it makes the compensation NaN,
// which is never added and which any later item makes NaN in sum() too.
bool reciprocal_sum_in_c(PyObject* nums, PyObject* one, double& result) {
    const Py_ssize_t size = PyList_GET_SIZE(nums);
    PyObject* const* items = reinterpret_cast<PyListObject*>(nums)->ob_item;
    CompensatedSum sum;
    for (Py_ssize_t i = 0; (i = add_float_reciprocals(items, i, size, sum.total, sum.compensation)) < size; ++i) {
        PyObject* item = items[i];
        double x = 0.0;
        // An exact float ends a run only by being zero.
        const Reciprocal r = PyFloat_CheckExact(item) ? Reciprocal::zero
                             : PyLong_CheckExact(item) ? int_reciprocal(item, x)
                                                        : Reciprocal::needs_interpreter;
        if (r == Reciprocal::needs_interpreter) return false;
        if (r == Reciprocal::zero) {
            check(PyNumber_TrueDivide(one, item));  // raises
            return false;
        }
        sum.add(x);
    }
    result = sum.value();
    return size > 0;
}

// ---------------------------------------------------------------------------

Ref harmonic_mean(const Call& c) {
    PyObject* nums = c[0];
    if (!PyList_CheckExact(nums)) {
        raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "nums",
                     PyList_Type.tp_name, Py_TYPE(nums)->tp_name);
    }
    const Py_ssize_t n = PyList_GET_SIZE(nums);
    Ref one = check(PyLong_FromLong(1));
    Ref total;
    double sum;
    if (reciprocal_sum_in_c(nums, one.get(), sum)) {
        if (sum != 0.0) return check(PyFloat_FromDouble(static_cast<double>(n) / sum));
        total = check(PyFloat_FromDouble(sum));  // the division by zero is the interpreter's to report
    } else {
        total = reciprocal_sum_by_interpreter(c, nums);
    }
    Ref count = check(PyLong_FromSsize_t(n));
    return check(PyNumber_TrueDivide(count.get(), total.get()));
}

const FunctionSpec harmonic_mean_spec{
    .name = "harmonic_mean",
    .params = {"nums"},
    .annotations = {{{"nums", "list[float]"}, {"return", "float"}}},
    .body = harmonic_mean,
    .style = ArgStyle::Cython,
};

void module_body(Module& m) {
    m.state_as<CompiledState>().reciprocals_type = check(PyType_FromModuleAndSpec(m.object(), &reciprocals_spec, nullptr)).release();
    m.bind("harmonic_mean", m.def(harmonic_mean_spec).get());
}

}  // namespace
}  // namespace morbex::compiled

MORBEX_MODULE_STATE(compiled, morbex::compiled::CompiledState, morbex::compiled::module_body)
