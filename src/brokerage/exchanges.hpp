// The listing venues every broker's holdings name, from data/exchanges.tsv.
//
// Rows live in static storage for the life of the process; every pointer
// handed out stays valid. Strings are UTF-8. A lookup is a binary search over
// a sorted index built at compile time, and touches no Python object.
#pragma once
#include <span>
#include <string_view>

namespace morbex::brokerage {

struct Exchange {
    const char* mic;      // ISO 10383
    const char* suffix;   // Yahoo's ticker suffix without the dot; "" where tickers take
                          // none (US); nullptr where the table maps no Yahoo form
    const char* name;     // for display
    const char* city;
    const char* country;  // ISO 3166-1 alpha-2
};

// nullptr when the code names no row; codes match exactly (case included).
const Exchange* exchange_by_mic(std::string_view mic);
const Exchange* exchange_by_degiro(std::string_view mic_code);  // an exchange's "micCode"
const Exchange* exchange_by_trading212(std::string_view name);  // an exchange's "name"
const Exchange* exchange_by_ibkr(std::string_view code);        // a "listingExchange"

// Every row, in the data file's order.
std::span<const Exchange> exchanges();

}  // namespace morbex::brokerage
