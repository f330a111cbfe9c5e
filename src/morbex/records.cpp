// morbex.records: the keys of the records every broker gives, in their order.
//
//     HOLDING_KEYS = ("internal_id", "isin", ..., "quantity")        # the holdings text's objects
//     POSITION_KEYS = HOLDING_KEYS + ("mic", "price", ..., "unit_scale")   # get_positions()
//     CASH_BALANCE_KEYS = ("currency", "amount", "account", "as_of")     # get_cash_balances()
//
// The brokers make their records from the same list (records.hpp), so what
// Python code reads here is what every record holds.
#include "module.hpp"
#include "records.hpp"

namespace morbex::records {
namespace {

using namespace brokerage;

void module_body(Module& m) {
    m.bind("HOLDING_KEYS", key_tuple(position_key_texts, holding_size).get());
    m.bind("POSITION_KEYS", key_tuple(position_key_texts, position_size).get());
    m.bind("CASH_BALANCE_KEYS", key_tuple(cash_key_texts, cash_size).get());
}

}  // namespace
}  // namespace morbex::records

MORBEX_MODULE(records, morbex::records::module_body)
