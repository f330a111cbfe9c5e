// morbex.minter: turns a broker name into a new, unauthenticated broker.
//
//     from morbex.pactum import BrokerBase
//     from morbex.keelson import BrokerDeGiro
//     from morbex.trading212 import BrokerTrading212
//     from morbex.ibkr import BrokerIBKR
//     from morbex.brokers import Brokers
//
//     class BrokerFactory:
//         @staticmethod
//         def create_broker(broker_name: "Brokers") -> "BrokerBase":
//             if broker_name == Brokers.DEGIRO:
//                 return BrokerDeGiro()
//             if broker_name == Brokers.TRADING212:
//                 return BrokerTrading212()
//             if broker_name == Brokers.IBKR:
//                 return BrokerIBKR()
//             raise ValueError(f"Unsupported broker: {broker_name}")
#include "classes.hpp"
#include "error.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::minter {
namespace {

Ref create_broker(const Call& c) {
    PyObject* broker_name = c[0];
    // Every name is read when the call runs, so a replaced module attribute
    // takes effect. The caller's object is on the left of `==`: its own
    // __eq__ is asked first, and a NotImplemented falls back to the member's.
    Ref brokers = c.global("Brokers");
    Ref degiro = getattr(brokers.get(), "DEGIRO");
    if (eq(broker_name, degiro.get())) {
        Ref broker_class = c.global("BrokerDeGiro");
        return call(broker_class.get());
    }
    Ref trading212 = getattr(brokers.get(), "TRADING212");
    if (eq(broker_name, trading212.get())) {
        Ref broker_class = c.global("BrokerTrading212");
        return call(broker_class.get());
    }
    Ref ibkr = getattr(brokers.get(), "IBKR");
    if (eq(broker_name, ibkr.get())) return call(c.global("BrokerIBKR").get());
    Ref value_error = c.global("ValueError");
    Ref text = format(broker_name);
    Ref message = check(PyUnicode_FromFormat("Unsupported broker: %U", text.get()));
    raise_new(value_error.get(), message.get());
}

const FunctionSpec create_broker_spec{
    .name = "create_broker",
    .params = {"broker_name"},
    .annotations = {{{"broker_name", "Brokers"}, {"return", "BrokerBase"}}},
    .body = create_broker,
};

void module_body(Module& m) {
    m.from_import("morbex.pactum", {"BrokerBase"});
    m.from_import("morbex.keelson", {"BrokerDeGiro"});
    m.from_import("morbex.trading212", {"BrokerTrading212"});
    m.from_import("morbex.ibkr", {"BrokerIBKR"});
    m.from_import("morbex.brokers", {"Brokers"});

    ClassBody cls(m, "BrokerFactory", {});
    cls.def(create_broker_spec, "staticmethod");
    m.bind("BrokerFactory", cls.create().get());
}

}  // namespace
}  // namespace morbex::minter

MORBEX_MODULE(minter, morbex::minter::module_body)
