// The broker-independent layer (its parts are in the files beside this one).
#include "brokerage.hpp"
