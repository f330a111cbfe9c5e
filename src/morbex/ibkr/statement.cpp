// A Flex statement's elements made into records as expat reads them.
//
//     <FlexQueryResponse queryName="..." type="AF">
//     <FlexStatements count="2">
//     <FlexStatement accountId="U1234567" toDate="20260504" ...>
//     <AccountInformation accountId="U1234567" currency="EUR" .../>     the account's base currency
//     <CashReport>
//     <CashReportCurrency currency="EUR" levelOfDetail="Currency" endingCash="4215.38" .../>
//     </CashReport>
//     <OpenPositions>
//     <OpenPosition assetCategory="STK" levelOfDetail="SUMMARY" symbol="AAPL" .../>
//     </OpenPositions>
//     </FlexStatement>
//     ...
//
// Kept: each open stock position (assetCategory STK, ETFs included; the
// SUMMARY row, not its LOT rows), in statement order over every account, and
// each currency's cash (levelOfDetail Currency, not the BASE_SUMMARY total;
// zero balances left out). An element is matched by its name and its
// attributes read as expat's C strings: a Python object is made only for a
// value a kept record holds, and the values that repeat from row to row
// (currencies, accounts, exchanges, dates) once each.
#include <cmath>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>
#include "exchanges.hpp"
#include "reader.hpp"
#include "values.hpp"
#include "yahoo.hpp"

namespace morbex::ibkr {
namespace {

using brokerage::Key;

// The fields of an OpenPosition row that a record reads.
enum Field {
    f_accountId, f_currency, f_fxRateToBase, f_assetCategory, f_symbol, f_description, f_conid, f_isin,
    f_listingExchange, f_reportDate, f_position, f_markPrice, f_positionValue, f_costBasisPrice, f_levelOfDetail,
    f_toDate, f_endingCash, field_count
};

// The field an attribute name stands for, or -1: a switch on its first
// letter, so that the thirty-odd attributes of a row cost a compare or two each.
int field(const char* name) {
    auto is = [name](const char* want) { return std::strcmp(name + 1, want + 1) == 0; };
    switch (name[0]) {
    case 'a':
        if (is("accountId")) return f_accountId;
        if (is("assetCategory")) return f_assetCategory;
        break;
    case 'c':
        if (is("currency")) return f_currency;
        if (is("conid")) return f_conid;
        if (is("costBasisPrice")) return f_costBasisPrice;
        break;
    case 'd':
        if (is("description")) return f_description;
        break;
    case 'e':
        if (is("endingCash")) return f_endingCash;
        break;
    case 'f':
        if (is("fxRateToBase")) return f_fxRateToBase;
        break;
    case 'i':
        if (is("isin")) return f_isin;
        break;
    case 'l':
        if (is("listingExchange")) return f_listingExchange;
        if (is("levelOfDetail")) return f_levelOfDetail;
        break;
    case 'm':
        if (is("markPrice")) return f_markPrice;
        break;
    case 'p':
        if (is("position")) return f_position;
        if (is("positionValue")) return f_positionValue;
        break;
    case 'r':
        if (is("reportDate")) return f_reportDate;
        break;
    case 's':
        if (is("symbol")) return f_symbol;
        break;
    case 't':
        if (is("toDate")) return f_toDate;
        break;
    }
    return -1;
}

using Row = const char* [field_count];

void read_row(const char** atts, Row& row) {
    for (const char*& v : row) v = nullptr;
    for (; atts[0] != nullptr; atts += 2) {
        if (const int f = field(atts[0]); f >= 0) row[f] = atts[1];
    }
}

bool given(const char* v) { return v != nullptr && v[0] != '\0'; }

// A str of UTF-8 text as expat hands it; None for an empty or missing value
// (IB writes "" where it has nothing to say).
Ref text(const char* v) {
    if (!given(v)) return none();
    return check(PyUnicode_FromStringAndSize(v, static_cast<Py_ssize_t>(std::strlen(v))));
}

Ref text_or_none(const char* v) { return v != nullptr && v[0] != '\0' ? str(v) : none(); }

// A number as IB writes it ("-20", "3.2751", "0.7124"): the float, or null
// when there is none or it is not a finite number.
Ref number(const char* v) {
    if (!given(v)) return Ref();
    char* end = nullptr;
    const double x = PyOS_string_to_double(v, &end, nullptr);
    if (x == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
        PyErr_Clear();
        return Ref();
    }
    if (*end != '\0' || !std::isfinite(x)) return Ref();
    return check(PyFloat_FromDouble(x));
}

Ref or_none(Ref v) { return v ? std::move(v) : none(); }

// The conid, an int; a value that is not digits stays text.
Ref conid(const char* v) {
    const std::size_t length = v != nullptr ? std::strlen(v) : 0;
    bool digits = length > 0 && length <= 18;
    for (std::size_t i = 0; digits && i < length; ++i) digits = v[i] >= '0' && v[i] <= '9';
    if (!digits) return v != nullptr ? str(v) : str("");
    return check(PyLong_FromLongLong(std::strtoll(v, nullptr, 10)));
}

// A date as the query's Date Format writes it, yyyyMMdd (IB's default) or
// yyyy-MM-dd, in ISO form: "2026-05-04". Empty when it is neither.
std::string iso_date(const char* v) {
    auto digits = [v](std::size_t from, std::size_t count) {
        for (std::size_t i = from; i < from + count; ++i)
            if (v[i] < '0' || v[i] > '9') return false;
        return true;
    };
    const std::size_t length = std::strlen(v);
    if (length == 8 && digits(0, 8)) return std::string(v, 4) + '-' + std::string(v + 4, 2) + '-' + std::string(v + 6, 2);
    if (length == 10 && digits(0, 4) && v[4] == '-' && digits(5, 2) && v[7] == '-' && digits(8, 2)) return v;
    return {};
}

// Python objects for texts that repeat from row to row, made once each. A
// statement names a handful of currencies, accounts, exchanges and dates;
// past `limit` distinct ones (a statement made to defeat the cache) a text
// is simply made again each time.
template <class Value>
class Repeated {
public:
    template <class Make>
    const Value& get(const char* key, Make&& make) {
        for (auto& [k, v] : entries_)
            if (k == key) return v;
        if (entries_.size() < limit) return entries_.emplace_back(key, make(key)).second;
        spare_ = make(key);
        return spare_;
    }

private:
    static constexpr std::size_t limit = 64;
    std::vector<std::pair<std::string, Value>> entries_;
    Value spare_;
};

// A listing exchange, as the exchange table knows IB's code for it.
struct Venue {
    Ref code, mic, name, city, country;
    Ref suffix;  // Yahoo's suffix; null where tickers take none or none is mapped
};

Venue venue(const char* code) {
    Venue v;
    v.code = text(code);
    const brokerage::Exchange* row = code != nullptr ? brokerage::exchange_by_ibkr(code) : nullptr;
    v.mic = text_or_none(row ? row->mic : nullptr);
    v.name = text_or_none(row ? row->name : nullptr);
    v.city = text_or_none(row ? row->city : nullptr);
    v.country = text_or_none(row ? row->country : nullptr);
    if (row != nullptr && row->suffix != nullptr && row->suffix[0] != '\0') v.suffix = str(row->suffix);
    return v;
}

}  // namespace

struct StatementReader::Parts {
    Parts(IbkrState& st, bool positions_wanted)
        : holding_records(st.keys.position, brokerage::holding_size),
          position_records(st.keys.position, brokerage::position_size),
          cash_records(st.keys.cash, brokerage::cash_size),
          holdings(check(PyList_New(0))),
          positions(positions_wanted ? check(PyList_New(0)) : Ref()),
          cash(check(PyList_New(0))) {}

    brokerage::Records holding_records, position_records, cash_records;
    Ref holdings, positions, cash;
    bool open_positions = false, cash_report = false;
    Ref statement_date;  // the current FlexStatement's toDate, ISO; null when it has none
    Repeated<Ref> texts;  // currencies and account ids
    Repeated<Ref> dates;  // as written -> ISO; null when not a date read
    Repeated<Venue> venues;
    Repeated<std::pair<Ref, Ref>> units;  // currency -> (major_currency, unit_scale)
    std::vector<std::pair<std::string, Ref>> bases;  // account -> base currency
    std::vector<std::pair<Ref, std::string>> pending;  // positions read before their account's base currency

    Ref repeated(const char* v) {
        if (!given(v)) return none();
        return texts.get(v, [](const char* k) { return text(k); });
    }

    // The ISO date of a row: its own, else its statement's. False when
    // neither is one morbex reads (`detail` then quotes it).
    bool date(const char* v, Ref& out, std::string& detail) {
        if (given(v)) {
            out = dates.get(v, [](const char* k) {
                const std::string iso = iso_date(k);
                return iso.empty() ? Ref() : check(PyUnicode_FromStringAndSize(iso.data(), 10));
            });
            if (!out) detail = v;
            return static_cast<bool>(out);
        }
        out = statement_date;
        if (!out) detail = "(none)";
        return static_cast<bool>(out);
    }

    Ref base_currency(const char* account) {
        if (account != nullptr)
            for (auto& [id, currency] : bases)
                if (id == account) return currency;
        return Ref();
    }

    Problem flex_statement(const char** atts, std::string& detail);
    void account_information(const char** atts);
    Problem cash_row(const char** atts, std::string& detail);
    Problem position_row(const char** atts, std::string& detail);
};

Problem StatementReader::Parts::flex_statement(const char** atts, std::string& detail) {
    Row row;
    read_row(atts, row);
    statement_date = Ref();
    if (given(row[f_toDate]) && !date(row[f_toDate], statement_date, detail)) return Problem::dates;
    return Problem::none;
}

void StatementReader::Parts::account_information(const char** atts) {
    Row row;
    read_row(atts, row);
    if (!given(row[f_accountId]) || !given(row[f_currency]) || base_currency(row[f_accountId])) return;
    bases.emplace_back(row[f_accountId], repeated(row[f_currency]));
}

Problem StatementReader::Parts::cash_row(const char** atts, std::string& detail) {
    Row row;
    read_row(atts, row);
    const char* currency = row[f_currency];
    if (!given(row[f_levelOfDetail]) || strcasecmp(row[f_levelOfDetail], "Currency") != 0 || !given(currency) ||
        std::strcmp(currency, "BASE_SUMMARY") == 0) {
        return Problem::none;
    }
    Ref amount = number(row[f_endingCash]);
    if (!amount || PyFloat_AS_DOUBLE(amount.get()) == 0.0) return Problem::none;
    Ref as_of;
    if (!date(row[f_toDate], as_of, detail)) return Problem::dates;
    Ref currency_text = repeated(currency), account = repeated(row[f_accountId]);
    PyObject* values[brokerage::cash_size];
    values[brokerage::cash_currency] = currency_text.get();
    values[brokerage::cash_amount] = amount.get();
    values[brokerage::cash_account] = account.get();
    values[brokerage::cash_as_of] = as_of.get();
    Ref record = cash_records.make(values);
    check(PyList_Append(cash.get(), record.get()));
    return Problem::none;
}

Problem StatementReader::Parts::position_row(const char** atts, std::string& detail) {
    Row row;
    read_row(atts, row);
    // A row without a level is a summary; lots repeat it in parts.
    if (given(row[f_levelOfDetail]) && strcasecmp(row[f_levelOfDetail], "SUMMARY") != 0) return Problem::none;
    if (!given(row[f_assetCategory]) || std::strcmp(row[f_assetCategory], "STK") != 0) return Problem::none;

    Ref quantity = number(row[f_position]);
    if (!quantity) {
        detail = row[f_position] != nullptr ? row[f_position] : "(none)";
        return Problem::quantity;
    }
    Ref as_of;
    if (!date(row[f_reportDate], as_of, detail)) return Problem::dates;
    const char* exchange = given(row[f_listingExchange]) ? row[f_listingExchange] : "";
    const Venue& v = venues.get(exchange, venue);
    Ref id = conid(row[f_conid]);
    Ref isin = text(row[f_isin]);
    Ref ticker = text(row[f_symbol]);
    Ref ticker_suffix = ticker.get() == Py_None ? none() : brokerage::ticker_for(ticker.get(), v.suffix.get());
    Ref company = text(row[f_description]);
    Ref currency = repeated(row[f_currency]);

    PyObject* values[brokerage::position_size];
    values[brokerage::key_internal_id] = id.get();
    values[brokerage::key_isin] = isin.get();
    values[brokerage::key_ticker] = ticker.get();
    values[brokerage::key_ticker_suffix] = ticker_suffix.get();
    values[brokerage::key_company] = company.get();
    values[brokerage::key_exchange_id] = v.code.get();
    values[brokerage::key_exchange_name] = v.name.get();
    values[brokerage::key_exchange_city] = v.city.get();
    values[brokerage::key_exchange_country] = v.country.get();
    values[brokerage::key_currency] = currency.get();
    values[brokerage::key_quantity] = quantity.get();
    Ref holding = holding_records.make(values);
    check(PyList_Append(holdings.get(), holding.get()));
    if (!positions) return Problem::none;

    // What the position is worth, in its own currency (IB reports London
    // listings in pounds) and, through fxRateToBase, in the account's.
    Ref price = or_none(number(row[f_markPrice]));
    Ref value = number(row[f_positionValue]);
    Ref fx = number(row[f_fxRateToBase]);
    Ref base_value = value && fx ? check(PyFloat_FromDouble(PyFloat_AS_DOUBLE(value.get()) *
                                                            PyFloat_AS_DOUBLE(fx.get())))
                                 : none();
    value = or_none(std::move(value));
    Ref average_price = or_none(number(row[f_costBasisPrice]));
    Ref account = repeated(row[f_accountId]);
    Ref base = base_currency(row[f_accountId]);
    const auto& [major, scale] = units.get(given(row[f_currency]) ? row[f_currency] : "", [&](const char*) {
        std::pair<Ref, Ref> unit;
        brokerage::major_currency(currency.get(), unit.first, unit.second);
        return unit;
    });
    values[brokerage::key_mic] = v.mic.get();
    values[brokerage::key_price] = price.get();
    values[brokerage::key_value] = value.get();
    values[brokerage::key_average_price] = average_price.get();
    values[brokerage::key_base_currency] = base ? base.get() : Py_None;
    values[brokerage::key_base_value] = base_value.get();
    values[brokerage::key_account] = account.get();
    values[brokerage::key_as_of] = as_of.get();
    values[brokerage::key_major_currency] = major.get();
    values[brokerage::key_unit_scale] = scale.get();
    Ref position = position_records.make(values);
    check(PyList_Append(positions.get(), position.get()));
    // The query may list Account Information after Open Positions.
    if (!base && given(row[f_accountId])) pending.emplace_back(position, row[f_accountId]);
    return Problem::none;
}

StatementReader::StatementReader(IbkrState& st, bool positions) : parts_(new Parts(st, positions)) {}

StatementReader::~StatementReader() = default;

Problem StatementReader::start(const char* name, const char** atts, std::string& detail) {
    Parts& p = *parts_;
    switch (name[0]) {
    case 'O':
        if (std::strcmp(name, "OpenPosition") == 0) return p.position_row(atts, detail);
        if (std::strcmp(name, "OpenPositions") == 0) p.open_positions = true;
        break;
    case 'C':
        if (std::strcmp(name, "CashReportCurrency") == 0) return p.cash_row(atts, detail);
        if (std::strcmp(name, "CashReport") == 0) p.cash_report = true;
        break;
    case 'A':
        if (std::strcmp(name, "AccountInformation") == 0) p.account_information(atts);
        break;
    case 'F':
        if (std::strcmp(name, "FlexStatement") == 0) return p.flex_statement(atts, detail);
        break;
    }
    return Problem::none;
}

void StatementReader::finish(Statement& out) {
    Parts& p = *parts_;
    for (auto& [position, account] : p.pending) {
        if (Ref base = p.base_currency(account.c_str())) {
            check(PyDict_SetItem(position.get(), p.position_records.key(brokerage::key_base_currency), base.get()));
        }
    }
    out.holdings = p.holdings;
    out.positions = p.positions;
    out.cash = p.cash;
    out.open_positions = p.open_positions;
    out.cash_report = p.cash_report;
}

}  // namespace morbex::ibkr
