// What every broker's positions say of value (see values.hpp).
#include "values.hpp"
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace morbex::brokerage {
namespace {

struct CurrencyUnit {
    std::string_view major;  // empty: the currency itself
    long scale = 1;
};

CurrencyUnit currency_unit(std::string_view currency) {
    // The codes exchanges and data vendors quote these listings in: LSE's
    // pence appear both as GBX and as GBp, Johannesburg's cents as ZAc or
    // ZAC, Tel Aviv's agorot as ILA.
    if (currency == "GBX" || currency == "GBp") return {"GBP", 100};
    if (currency == "ZAc" || currency == "ZAC") return {"ZAR", 100};
    if (currency == "ILA") return {"ILS", 100};
    return {};
}

}  // namespace

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

namespace {

// A finite, non-zero float's shortest repr as digits x 10^exponent; false
// when the digits would not fit (they always do: a repr has at most 17
// significant ones).
bool decimal_of(double x, std::uint64_t& digits, int& exponent) {
    char* text = PyOS_double_to_string(std::fabs(x), 'r', 0, 0, nullptr);
    if (text == nullptr) throw PyError{};
    digits = 0;
    exponent = 0;
    int count = 0;
    bool fraction = false, fits = true;
    const char* p = text;
    for (; *p != '\0' && *p != 'e'; ++p) {
        if (*p == '.') {
            fraction = true;
            continue;
        }
        if ((count > 0 || *p != '0') && ++count > 19) fits = false;
        digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
        if (fraction) --exponent;
    }
    if (*p == 'e') exponent += std::atoi(p + 1);
    PyMem_Free(text);
    return fits;
}

}  // namespace

Ref decimal_product(double a, double b) {
    const double plain = a * b;
    std::uint64_t da, db;
    int ea, eb;
    if (plain == 0.0 || !std::isfinite(plain) || !decimal_of(a, da, ea) || !decimal_of(b, db, eb)) {
        return check(PyFloat_FromDouble(plain));
    }
    // Two 17-digit numbers multiply to at most 34 digits: exact in 128 bits,
    // then rounded once by the interpreter's own correctly rounded strtod.
    unsigned __int128 product = static_cast<unsigned __int128>(da) * db;
    char digits[48];
    char* p = digits + sizeof digits;
    *--p = '\0';
    do {
        *--p = static_cast<char>('0' + static_cast<int>(product % 10));
        product /= 10;
    } while (product != 0);
    char text[64];
    std::snprintf(text, sizeof text, "%s%se%d", (a < 0) != (b < 0) ? "-" : "", p, ea + eb);
    const double value = PyOS_string_to_double(text, nullptr, nullptr);
    if (value == -1.0 && PyErr_Occurred()) throw PyError{};
    return check(PyFloat_FromDouble(value));
}

}  // namespace morbex::brokerage
