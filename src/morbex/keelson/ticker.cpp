// Tickers with their exchange's suffix, as _get_ticker_with_suffix forms them:
// the ticker Yahoo Finance knows the product by.
//
//     def _get_ticker_with_suffix(self, ticker_name, exchange_mic, exchange_country,
//                                 exchange_mic_to_suffix_dict):
//         suffix = exchange_mic_to_suffix_dict.get(exchange_mic)
//         if isinstance(ticker_name, str):
//             ticker_name = <Yahoo's form of it>
//         if not suffix or exchange_country == "US":
//             return ticker_name
//         if suffix == "HK" and <ticker_name is ASCII digits>:
//             ticker_name = ticker_name.zfill(4)
//         return f"{ticker_name}.{suffix}"
// (Yahoo's form itself is the shared one: yahoo.hpp.)
#include "holdings.hpp"
#include "yahoo.hpp"

namespace morbex::keelson {

using brokerage::ticker_for;
using brokerage::yahoo_symbol;
// What _get_ticker_with_suffix appends for an exchange, worked out on plain
// data: `suffix` is left empty when the ticker stays bare. False when the
// data is not plain.
bool plain_suffix(PyObject* const* k, PyObject* mic, PyObject* country, PyObject* suffixes, Ref& suffix) {
    if (!PyDict_CheckExact(suffixes) || !(mic == Py_None || plain_key(mic)) || !plain_value(country)) return false;
    PyObject* found = lookup(suffixes, mic);  // .get(mic): None when missing, and None is falsy
    if (found != nullptr && !plain_value(found)) return false;
    const bool bare = found == nullptr || !truth(found) || eq(country, k[k_US]);
    suffix = bare ? Ref() : Ref::borrow(found);
    return true;
}

Ref get_ticker_with_suffix(const Call& c) {
    PyObject* const* k = names(c);
    PyObject* ticker_name = c[1];
    Ref suffix = check(PyObject_CallMethodOneArg(c[4], k[k_get], c[2]));
    if (!truth(suffix.get()) || eq(c[3], k[k_US])) return yahoo_symbol(ticker_name);
    return ticker_for(ticker_name, suffix.get());
}

}  // namespace morbex::keelson
