// What every broker's positions say of value (see values.hpp).
#include "values.hpp"
#include <chrono>
#include <cstdio>
#include <ctime>

namespace morbex::brokerage {

CurrencyUnit currency_unit(std::string_view currency) {
    // The codes exchanges and data vendors quote these listings in: LSE's
    // pence appear both as GBX and as GBp, Johannesburg's cents as ZAc or
    // ZAC, Tel Aviv's agorot as ILA.
    if (currency == "GBX" || currency == "GBp") return {"GBP", 100};
    if (currency == "ZAc" || currency == "ZAC") return {"ZAR", 100};
    if (currency == "ILA") return {"ILS", 100};
    return {};
}

void major_currency(PyObject* currency, Ref& major, Ref& scale) {
    CurrencyUnit unit;
    if (PyUnicode_Check(currency)) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(currency, &length);
        if (text == nullptr) throw PyError{};
        unit = currency_unit(std::string_view(text, static_cast<std::size_t>(length)));
    }
    major = unit.major.empty() ? Ref::borrow(currency)
                               : check(PyUnicode_FromStringAndSize(unit.major.data(),
                                                                   static_cast<Py_ssize_t>(unit.major.size())));
    scale = check(PyLong_FromLong(unit.scale));
}

Ref utc_now() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    const std::size_t size = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return check(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(size)));
}

}  // namespace morbex::brokerage
