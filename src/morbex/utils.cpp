// morbex.utils: what the broker modules share.
//
//     from enum import StrEnum
//
//     class BaseEnum(StrEnum):
//         pass
//
//     def get_exchange_mic_to_suffix_dict():
//         return dict(MIC_SUFFIXES)   # exchange MIC -> ticker suffix ("" for none)
#include "classes.hpp"
#include "error.hpp"
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

struct MicSuffix {
    const char* mic;
    const char* suffix;
};

constexpr MicSuffix mic_suffixes[] = {
#include "mic_suffix_table.inc"
};

// Each call hands out a new dict the caller may change; it is copied from
// one built when the module loads.
Ref get_exchange_mic_to_suffix_dict(const Call& c) {
    return check(PyDict_Copy(state_of<UtilsState>(c).mic_suffixes));
}

const FunctionSpec get_exchange_mic_to_suffix_dict_spec{
    .name = "get_exchange_mic_to_suffix_dict",
    .body = get_exchange_mic_to_suffix_dict,
};

// Plain str keys: PyDict_SetItemString would intern each MIC, and interned
// strings stay for the life of the process.
Ref build_table() {
    Ref table = check(PyDict_New());
    for (const MicSuffix& row : mic_suffixes) {
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
}

}  // namespace
}  // namespace morbex::utils

MORBEX_MODULE_STATE(utils, morbex::utils::UtilsState, morbex::utils::module_body)
