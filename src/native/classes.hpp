// Building a class as a `class` statement does: metaclass from the bases,
// namespace from __prepare__, body statements in order, metaclass call.
#pragma once
#include <Python.h>
#include <initializer_list>
#include "module.hpp"
#include "ref.hpp"

namespace morbex {

class ClassBody {
public:
    // `class name(base, ...):` with the bases named as in source (read at
    // module level). Sets __module__ and then __qualname__ in the namespace.
    ClassBody(const Module& module, const char* name, std::initializer_list<const char*> bases);

    // `def` in the body, under at most one decorator named as in source
    // (looked up like any name in a class body, before the function exists).
    void def(const FunctionSpec& spec, const char* decorator = nullptr);
    // `name = value` in the body.
    void assign(const char* name, PyObject* value);
    // The attributes the methods assign on `self` (Python 3.13 records them
    // in __static_attributes__).
    void static_attributes(std::initializer_list<const char*> names);
    // metaclass(name, bases, namespace).
    Ref create();

private:
    Ref lookup(const char* name) const;  // LOAD_NAME inside the body

    const Module& module_;
    Ref name_;
    Ref bases_;
    Ref metaclass_;
    Ref namespace_;
    Ref static_attributes_;
};

}  // namespace morbex
