// The exchange table: rows generated from data/exchanges.tsv at configure
// time, and one sorted index per kind of code, sorted by the compiler.
#include "exchanges.hpp"
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace morbex::brokerage {
namespace {

// A broker's code for a venue and the index of its row.
struct Code {
    std::string_view code;
    std::uint16_t row;
};

#include "exchange_table.inc"

constexpr bool before(const Code& a, const Code& b) { return a.code < b.code; }

template <std::size_t N>
constexpr std::array<Code, N> sorted(std::array<Code, N> codes) {
    std::sort(codes.begin(), codes.end(), before);
    return codes;
}

template <std::size_t N>
constexpr std::array<Code, N> sorted(const Code (&codes)[N]) {
    std::array<Code, N> copy{};
    std::copy(std::begin(codes), std::end(codes), copy.begin());
    return sorted(copy);
}

constexpr auto by_mic = [] {
    std::array<Code, std::size(rows)> codes{};
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = {rows[i].mic, static_cast<std::uint16_t>(i)};
    return sorted(codes);
}();
constexpr auto by_degiro = sorted(degiro_codes);
constexpr auto by_trading212 = sorted(trading212_codes);
constexpr auto by_ibkr = sorted(ibkr_codes);

// The generator refuses a code twice in one column; a hand-edited .inc
// would otherwise make a lookup's answer depend on the sort.
template <std::size_t N>
constexpr bool distinct(const std::array<Code, N>& codes) {
    return std::adjacent_find(codes.begin(), codes.end(),
                              [](const Code& a, const Code& b) { return a.code == b.code; }) == codes.end();
}
static_assert(distinct(by_mic) && distinct(by_degiro) && distinct(by_trading212) && distinct(by_ibkr));
static_assert(std::size(rows) <= UINT16_MAX);

const Exchange* find(std::span<const Code> index, std::string_view code) {
    const auto* it = std::lower_bound(index.data(), index.data() + index.size(), code,
                                      [](const Code& entry, std::string_view key) { return entry.code < key; });
    return it != index.data() + index.size() && it->code == code ? &rows[it->row] : nullptr;
}

}  // namespace

const Exchange* exchange_by_mic(std::string_view mic) { return find(by_mic, mic); }
const Exchange* exchange_by_degiro(std::string_view mic_code) { return find(by_degiro, mic_code); }
const Exchange* exchange_by_trading212(std::string_view name) { return find(by_trading212, name); }
const Exchange* exchange_by_ibkr(std::string_view code) { return find(by_ibkr, code); }

std::span<const Exchange> exchanges() { return rows; }

}  // namespace morbex::brokerage
