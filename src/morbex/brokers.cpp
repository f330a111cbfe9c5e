// morbex.brokers: the brokers a caller can choose from.
//
//     from morbex.utils import BaseEnum
//
//     class Brokers(BaseEnum):
//         DEGIRO = "degiro"
//         TRADING212 = "trading212"
//         IBKR = "ibkr"
#include "classes.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::brokers {
namespace {

void module_body(Module& m) {
    m.from_import("morbex.utils", {"BaseEnum"});

    // Built through BaseEnum's metaclass: the assignment goes through the
    // enum namespace's __setitem__, which is what makes DEGIRO a member.
    ClassBody cls(m, "Brokers", {"BaseEnum"});
    cls.assign("DEGIRO", str("degiro").get());
    cls.assign("TRADING212", str("trading212").get());
    cls.assign("IBKR", str("ibkr").get());
    m.bind("Brokers", cls.create().get());
}

}  // namespace
}  // namespace morbex::brokers

MORBEX_MODULE(brokers, morbex::brokers::module_body)
