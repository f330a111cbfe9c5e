// The records' keys as text and as Python objects.
#include "records.hpp"
#include "ops.hpp"

namespace morbex::brokerage {

const char* const position_key_texts[position_size] = {
#define MORBEX_TEXT(name) #name,
    MORBEX_HOLDING_KEYS(MORBEX_TEXT) MORBEX_POSITION_VALUE_KEYS(MORBEX_TEXT)
#undef MORBEX_TEXT
};

const char* const cash_key_texts[cash_size] = {
#define MORBEX_TEXT(name) #name,
    MORBEX_CASH_BALANCE_KEYS(MORBEX_TEXT)
#undef MORBEX_TEXT
};

void RecordKeys::make() {
    for (std::size_t i = 0; i < position_size; ++i) position[i] = intern(position_key_texts[i]).release();
    for (std::size_t i = 0; i < cash_size; ++i) cash[i] = intern(cash_key_texts[i]).release();
}

Ref key_tuple(const char* const* texts, std::size_t count) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), intern(texts[i]).release());
    }
    return tuple;
}

}  // namespace morbex::brokerage
