// morbex.utils: what the broker modules share.
//
//     from enum import StrEnum
//
//     class BaseEnum(StrEnum):
//         pass
//
//     def get_exchange_mic_to_suffix_dict():
//         return dict(MIC_SUFFIXES)   # exchange MIC -> ticker suffix ("" for none)
//
//     def _exchange(by, code):       # the exchange table's row for a code, for tests
//         return EXCHANGES[by].get(code)   # (mic, suffix or None, name, city, country)
//
// MIC_SUFFIXES are the rows of the shared exchange table that have a Yahoo
// suffix, keyed by MIC.
#include <string_view>
#include "classes.hpp"
#include "error.hpp"
#include "exchanges.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::utils {

struct UtilsState : ModuleState {
    PyObject* mic_suffixes = nullptr;  // the dict each call copies

    template <class F>
    void visit(F&& f) {
        ModuleState::visit(f);
        f(mic_suffixes);
    }
};

namespace {

// Each call hands out a new dict the caller may change; it is copied from
// one built when the module loads.
Ref get_exchange_mic_to_suffix_dict(const Call& c) {
    return check(PyDict_Copy(state_of<UtilsState>(c).mic_suffixes));
}

const FunctionSpec get_exchange_mic_to_suffix_dict_spec{
    .name = "get_exchange_mic_to_suffix_dict",
    .body = get_exchange_mic_to_suffix_dict,
};

// The brokers call the table's lookups from C++; this lets tests reach them.
// Strings are decoded strictly, so a name the generator escaped wrongly fails
// here rather than reading as mojibake.
Ref _exchange(const Call& c) {
    PyObject* by = c[0];
    PyObject* code = c[1];
    if (!PyUnicode_Check(by) || !PyUnicode_Check(code)) raise(PyExc_TypeError, "by and code must be str");
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(code, &length);
    if (text == nullptr) throw PyError{};
    const std::string_view key(text, static_cast<std::size_t>(length));
    const brokerage::Exchange* row = nullptr;
    if (PyUnicode_CompareWithASCIIString(by, "mic") == 0) {
        row = brokerage::exchange_by_mic(key);
    } else if (PyUnicode_CompareWithASCIIString(by, "degiro") == 0) {
        row = brokerage::exchange_by_degiro(key);
    } else if (PyUnicode_CompareWithASCIIString(by, "trading212") == 0) {
        row = brokerage::exchange_by_trading212(key);
    } else if (PyUnicode_CompareWithASCIIString(by, "ibkr") == 0) {
        row = brokerage::exchange_by_ibkr(key);
    } else {
        raise_format(PyExc_ValueError, "no lookup by %R", by);
    }
    if (row == nullptr) return none();
    return check(Py_BuildValue("(szsss)", row->mic, row->suffix, row->name, row->city, row->country));
}

const FunctionSpec _exchange_spec{
    .name = "_exchange",
    .params = {"by", "code"},
    .body = _exchange,
};

// Plain str keys: PyDict_SetItemString would intern each MIC, and interned
// strings stay for the life of the process.
Ref build_table() {
    Ref table = check(PyDict_New());
    for (const brokerage::Exchange& row : brokerage::exchanges()) {
        if (row.suffix == nullptr) continue;  // a venue Yahoo's form is not mapped for
        Ref mic = str(row.mic);
        Ref suffix = str(row.suffix);
        check(PyDict_SetItem(table.get(), mic.get(), suffix.get()));
    }
    return table;
}

void module_body(Module& m) {
    m.from_import("enum", {"StrEnum"});

    // Members are str: they equal their plain values ("degiro" ==
    // Brokers.DEGIRO) and format as them, so messages show the value.
    ClassBody base_enum(m, "BaseEnum", {"StrEnum"});
    m.bind("BaseEnum", base_enum.create().get());

    m.state_as<UtilsState>().mic_suffixes = build_table().release();
    m.bind("get_exchange_mic_to_suffix_dict", m.def(get_exchange_mic_to_suffix_dict_spec).get());
    m.bind("_exchange", m.def(_exchange_spec).get());
}

}  // namespace
}  // namespace morbex::utils

MORBEX_MODULE_STATE(utils, morbex::utils::UtilsState, morbex::utils::module_body)
