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
// attributes read as expat's C strings; a kept row's values are kept as
// text, and made into records only once the statement has ended, so a
// statement refused half-way (past the size cap, say) has cost no Python
// object, and its text a fraction of its size. A Python object is made only
// for a value a record holds, and the values that repeat from row to row
// (currencies, accounts, exchanges, dates) once each.
#include <array>
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

// The fields of an OpenPosition row that a record reads, and the attribute
// each is read from.
enum Field {
    f_accountId, f_currency, f_fxRateToBase, f_assetCategory, f_symbol, f_description, f_conid, f_isin,
    f_listingExchange, f_reportDate, f_position, f_markPrice, f_positionValue, f_costBasisPrice, f_levelOfDetail,
    f_toDate, f_endingCash,
    f_statement_date,  // its FlexStatement's toDate: no attribute of the row
    field_count
};

constexpr const char* attributes[f_statement_date] = {
    "accountId", "currency", "fxRateToBase", "assetCategory", "symbol", "description", "conid", "isin",
    "listingExchange", "reportDate", "position", "markPrice", "positionValue", "costBasisPrice", "levelOfDetail",
    "toDate", "endingCash",
};

// The field an attribute name stands for, or -1: first letters compared
// before the rest, so that the thirty-odd attributes of a row cost little each.
int field(const char* name) {
    for (int f = 0; f < f_statement_date; ++f) {
        if (attributes[f][0] == name[0] && std::strcmp(attributes[f] + 1, name + 1) == 0) return f;
    }
    return -1;
}

using Row = std::array<const char*, field_count>;

Row read_row(const char** atts) {
    Row row{};
    for (; atts[0] != nullptr; atts += 2) {
        if (const int f = field(atts[0]); f >= 0) row[f] = atts[1];
    }
    return row;
}

bool given(const char* v) { return v != nullptr && v[0] != '\0'; }

// Kept rows: each field's value as text, all in one buffer.
class Table {
public:
    void add(const Row& row) {
        for (const char* v : row) {
            if (v == nullptr) {
                at_.push_back(absent);
                continue;
            }
            at_.push_back(text_.size());
            text_.append(v, std::strlen(v) + 1);
        }
    }

    std::size_t size() const { return at_.size() / field_count; }

    // Row `i` as C strings; valid while the table is not added to.
    Row row(std::size_t i) const {
        Row out;
        for (std::size_t f = 0; f < field_count; ++f) {
            const std::size_t at = at_[i * field_count + f];
            out[f] = at == absent ? nullptr : text_.data() + at;
        }
        return out;
    }

private:
    static constexpr std::size_t absent = static_cast<std::size_t>(-1);
    std::string text_;
    std::vector<std::size_t> at_;
};

// A str of UTF-8 text as expat hands it; None for an empty or missing value
// (IB writes "" where it has nothing to say).
Ref text(const char* v) {
    if (!given(v)) return none();
    return check(PyUnicode_FromStringAndSize(v, static_cast<Py_ssize_t>(std::strlen(v))));
}

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
    if (length == 8 && digits(0, 8)) {
        return std::string(v, 4) + '-' + std::string(v + 4, 2) + '-' + std::string(v + 6, 2);
    }
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
    v.mic = text(row ? row->mic : nullptr);
    v.name = text(row ? row->name : nullptr);
    v.city = text(row ? row->city : nullptr);
    v.country = text(row ? row->country : nullptr);
    if (row != nullptr && row->suffix != nullptr && row->suffix[0] != '\0') v.suffix = str(row->suffix);
    return v;
}

}  // namespace

struct StatementReader::Parts {
    Parts(IbkrState& st, bool positions_wanted)
        : holding_records(st.keys.position, brokerage::holding_size),
          position_records(st.keys.position, brokerage::position_size),
          cash_records(st.keys.cash, brokerage::cash_size),
          positions_wanted(positions_wanted) {}

    // While the statement is read.
    Table position_rows, cash_rows;
    std::string statement_date;  // the current FlexStatement's toDate, as written
    std::vector<std::pair<std::string, std::string>> bases;  // account -> base currency
    bool open_positions = false, cash_report = false;

    // Once it has ended.
    brokerage::Records holding_records, position_records, cash_records;
    bool positions_wanted;
    Repeated<Ref> texts;  // currencies and account ids
    Repeated<Ref> dates;  // as written -> ISO; null when not a date read
    Repeated<Venue> venues;
    Repeated<std::pair<Ref, Ref>> units;  // currency -> (major_currency, unit_scale)

    void keep(Table& table, Row& row) {
        row[f_statement_date] = statement_date.empty() ? nullptr : statement_date.c_str();
        table.add(row);
    }

    void flex_statement(const char** atts) {
        const Row row = read_row(atts);
        statement_date = given(row[f_toDate]) ? row[f_toDate] : "";
    }

    void account_information(const char** atts) {
        const Row row = read_row(atts);
        if (!given(row[f_accountId]) || !given(row[f_currency]) || base_currency(row[f_accountId]) != nullptr) return;
        bases.emplace_back(row[f_accountId], row[f_currency]);
    }

    void cash_row(const char** atts) {
        Row row = read_row(atts);
        const char* currency = row[f_currency];
        if (!given(row[f_levelOfDetail]) || strcasecmp(row[f_levelOfDetail], "Currency") != 0 || !given(currency) ||
            std::strcmp(currency, "BASE_SUMMARY") == 0) {
            return;
        }
        keep(cash_rows, row);
    }

    void position_row(const char** atts) {
        Row row = read_row(atts);
        // A row without a level is a summary; lots repeat it in parts.
        if (given(row[f_levelOfDetail]) && strcasecmp(row[f_levelOfDetail], "SUMMARY") != 0) return;
        if (!given(row[f_assetCategory]) || std::strcmp(row[f_assetCategory], "STK") != 0) return;
        keep(position_rows, row);
    }

    const char* base_currency(const char* account) const {
        for (const auto& [id, currency] : bases)
            if (id == account) return currency.c_str();
        return nullptr;
    }

    Ref repeated(const char* v) {
        if (!given(v)) return none();
        return texts.get(v, [](const char* k) { return text(k); });
    }

    // The ISO date of a row: its own, else its statement's. False when
    // neither is one morbex reads (`detail` then quotes it).
    bool date(const char* own, const char* statement, Ref& out, std::string& detail) {
        const char* v = given(own) ? own : statement;
        if (!given(v)) {
            detail = "(none)";
            return false;
        }
        out = dates.get(v, [](const char* k) {
            const std::string iso = iso_date(k);
            return iso.empty() ? Ref() : check(PyUnicode_FromStringAndSize(iso.data(), 10));
        });
        if (!out) detail = v;
        return static_cast<bool>(out);
    }

    Problem cash(const Row& row, PyObject* list, std::string& detail);
    Problem position(const Row& row, PyObject* holdings, PyObject* positions, std::string& detail);
};

Problem StatementReader::Parts::cash(const Row& row, PyObject* list, std::string& detail) {
    Ref amount = number(row[f_endingCash]);
    if (!amount || PyFloat_AS_DOUBLE(amount.get()) == 0.0) return Problem::none;
    Ref as_of;
    if (!date(row[f_toDate], row[f_statement_date], as_of, detail)) return Problem::dates;
    Ref currency = repeated(row[f_currency]), account = repeated(row[f_accountId]);
    PyObject* values[brokerage::cash_size];
    values[brokerage::cash_currency] = currency.get();
    values[brokerage::cash_amount] = amount.get();
    values[brokerage::cash_account] = account.get();
    values[brokerage::cash_as_of] = as_of.get();
    Ref record = cash_records.make(values);
    check(PyList_Append(list, record.get()));
    return Problem::none;
}

Problem StatementReader::Parts::position(const Row& row, PyObject* holdings, PyObject* positions,
                                         std::string& detail) {
    Ref quantity = number(row[f_position]);
    if (!quantity) {
        detail = row[f_position] != nullptr ? row[f_position] : "(none)";
        return Problem::quantity;
    }
    Ref as_of;
    if (!date(row[f_reportDate], row[f_statement_date], as_of, detail)) return Problem::dates;
    const Venue& v = venues.get(given(row[f_listingExchange]) ? row[f_listingExchange] : "", venue);
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
    check(PyList_Append(holdings, holding.get()));
    if (positions == nullptr) return Problem::none;

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
    Ref base = given(row[f_accountId]) ? repeated(base_currency(row[f_accountId])) : none();
    const auto& [major, scale] = units.get(given(row[f_currency]) ? row[f_currency] : "", [&](const char*) {
        std::pair<Ref, Ref> unit;
        brokerage::major_currency(currency.get(), unit.first, unit.second);
        return unit;
    });
    values[brokerage::key_mic] = v.mic.get();
    values[brokerage::key_price] = price.get();
    values[brokerage::key_value] = value.get();
    values[brokerage::key_average_price] = average_price.get();
    values[brokerage::key_base_currency] = base.get();
    values[brokerage::key_base_value] = base_value.get();
    values[brokerage::key_account] = account.get();
    values[brokerage::key_as_of] = as_of.get();
    values[brokerage::key_major_currency] = major.get();
    values[brokerage::key_unit_scale] = scale.get();
    Ref record = position_records.make(values);
    check(PyList_Append(positions, record.get()));
    return Problem::none;
}

StatementReader::StatementReader(IbkrState& st, bool positions) : parts_(new Parts(st, positions)) {}

StatementReader::~StatementReader() = default;

void StatementReader::start(const char* name, const char** atts) {
    Parts& p = *parts_;
    switch (name[0]) {
    case 'O':
        if (std::strcmp(name, "OpenPosition") == 0) {
            p.position_row(atts);
        } else if (std::strcmp(name, "OpenPositions") == 0) {
            p.open_positions = true;
        }
        break;
    case 'C':
        if (std::strcmp(name, "CashReportCurrency") == 0) {
            p.cash_row(atts);
        } else if (std::strcmp(name, "CashReport") == 0) {
            p.cash_report = true;
        }
        break;
    case 'A':
        if (std::strcmp(name, "AccountInformation") == 0) p.account_information(atts);
        break;
    case 'F':
        if (std::strcmp(name, "FlexStatement") == 0) p.flex_statement(atts);
        break;
    }
}

Problem StatementReader::finish(Statement& out, std::string& detail) {
    Parts& p = *parts_;
    Ref holdings = check(PyList_New(0));
    Ref positions = p.positions_wanted ? check(PyList_New(0)) : Ref();
    Ref cash = check(PyList_New(0));
    for (std::size_t i = 0; i < p.position_rows.size(); ++i) {
        const Problem problem = p.position(p.position_rows.row(i), holdings.get(), positions.get(), detail);
        if (problem != Problem::none) return problem;
    }
    for (std::size_t i = 0; i < p.cash_rows.size(); ++i) {
        if (Problem problem = p.cash(p.cash_rows.row(i), cash.get(), detail); problem != Problem::none) return problem;
    }
    out.holdings = holdings;
    out.positions = positions;
    out.cash = cash;
    out.open_positions = p.open_positions;
    out.cash_report = p.cash_report;
    return Problem::none;
}

}  // namespace morbex::ibkr
