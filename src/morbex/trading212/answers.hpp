// Reading Trading 212's decoded answers fast: fields of exact dicts, where
// dicts of one shape hold them, and the positions' tickers to find their
// instruments by.
//
// The answers are what json.loads made of them: exact dicts and lists of
// str, int, float, bool and None, reading which runs no Python code.
#pragma once
#include <Python.h>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>
#include "state.hpp"

namespace morbex::trading212 {

// dict.get(key) on an exact dict: borrowed, null when missing or None.
inline PyObject* field(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr && PyErr_Occurred()) throw PyError{};
    return found == Py_None ? nullptr : found;
}

// A JSON number: an int or a float, not a bool.
inline bool is_number(PyObject* v) { return v != nullptr && (PyFloat_CheckExact(v) || PyLong_CheckExact(v)); }

// A number as a double; false (no error set) for an int beyond a double's range.
inline bool as_double(PyObject* v, double& out) {
    out = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyLong_AsDouble(v);
    if (out == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyError{};
        PyErr_Clear();
        return false;
    }
    return true;
}

// The positions' tickers, so that one pass over the instrument list finds
// every held instrument: an open-addressing table by the str's own hash,
// the positions of one ticker chained. The list is walked in its order, which
// is the order its entries lie in memory; looking each position's entry up
// in an index of the list would visit them at random, a cache miss apiece.
// For the same reason the table keeps a copy of each ticker's text, not the
// position's str.
class Tickers {
public:
    static constexpr std::uint32_t none = UINT32_MAX;

    explicit Tickers(std::size_t count) : next_(count, none) {
        std::size_t size = 16;
        while (size < count + count / 2) size *= 2;
        slots_.resize(size);
        text_.reserve(count * 16);
    }

    void add(PyObject* ticker, std::uint32_t position) {
        const Py_hash_t hash = hash_of(ticker);
        Slot& slot = probe(ticker, hash);
        if (slot.first == none) {
            slot.hash = hash;
            slot.text = static_cast<std::uint32_t>(text_.size());
            const Text text{static_cast<std::uint32_t>(PyUnicode_GET_LENGTH(ticker) * PyUnicode_KIND(ticker)),
                            static_cast<std::uint8_t>(PyUnicode_KIND(ticker))};
            const std::size_t at = text_.size();
            text_.resize(at + sizeof text + text.size);
            std::memcpy(text_.data() + at, &text, sizeof text);
            std::memcpy(text_.data() + at + sizeof text, PyUnicode_DATA(ticker), text.size);
        }
        next_[position] = slot.first;  // a ticker's positions, last added first
        slot.first = position;
    }

    // A position holding `ticker` (then next() of each), or none.
    std::uint32_t find(PyObject* ticker) { return probe(ticker, hash_of(ticker)).first; }
    std::uint32_t next(std::uint32_t position) const { return next_[position]; }

private:
    struct Slot {
        Py_hash_t hash = 0;
        std::uint32_t first = none;
        std::uint32_t text = 0;  // where its Text is in text_, the bytes right after
    };
    struct Text {
        std::uint32_t size;
        std::uint8_t kind;
    };

    static Py_hash_t hash_of(PyObject* ticker) {
        const Py_hash_t hash = PyObject_Hash(ticker);  // kept in the str once made
        if (hash == -1) throw PyError{};
        return hash;
    }

    // A str's kind is the narrowest that holds it: equal text has equal kind and bytes.
    Slot& probe(PyObject* ticker, Py_hash_t hash) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
            Slot& slot = slots_[at];
            if (slot.first == none) return slot;
            if (slot.hash != hash) continue;
            Text text;
            std::memcpy(&text, text_.data() + slot.text, sizeof text);
            if (text.kind == PyUnicode_KIND(ticker) &&
                text.size == static_cast<std::size_t>(PyUnicode_GET_LENGTH(ticker)) * text.kind &&
                std::memcmp(text_.data() + slot.text + sizeof text, PyUnicode_DATA(ticker), text.size) == 0) {
                return slot;
            }
        }
    }

    std::vector<Slot> slots_;
    std::vector<std::uint32_t> next_;
    std::string text_;
};

// The field names as an answer's own dicts hold them. json.loads makes one
// str per distinct key of an answer and shares it among all its dicts; a
// lookup with that very object is settled by identity, no text compared.
// Any equal str finds the same entry: this only saves the comparison.
class Keys {
public:
    explicit Keys(PyObject* const* own) { std::copy(own, own + name_count, name_); }

    PyObject* operator[](Name n) const { return name_[n]; }

    // Takes the keys of `dict` (if an exact dict) for the names they spell.
    void learn(PyObject* dict) {
        if (dict == nullptr || !PyDict_CheckExact(dict)) return;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) continue;
            for (PyObject*& name : name_) {
                if (name != key && PyUnicode_Compare(name, key) == 0) {
                    held_.push_back(Ref::borrow(key));
                    name = key;
                    break;
                }
            }
        }
    }

private:
    PyObject* name_[name_count];  // borrowed from the module's state or held_
    std::vector<Ref> held_;
};

// Where dicts of one shape hold a field. json.loads gives each object of an
// answer its keys in the order of the text, so a field sits at the same place
// in every dict of a kind: it is read there (PyDict_Next) when the key found
// there is the very one expected, and looked up otherwise.
class Place {
public:
    explicit Place(PyObject* key = nullptr) : key_(key) {}

    // dict.get(key) of an exact dict: borrowed, null when missing or None.
    PyObject* in(PyObject* dict) {
        Py_ssize_t at = at_;
        PyObject *key, *value;
        if (at_ < 0 || !PyDict_Next(dict, &at, &key, &value) || key != key_) value = find(dict);
        return value == Py_None ? nullptr : value;
    }

private:
    PyObject* find(PyObject* dict) {
        Py_ssize_t at = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &at, &key, &value)) {
            if (key == key_) {
                at_ = at - 1;
                return value;
            }
        }
        return field(dict, key_);
    }

    PyObject* key_;
    Py_ssize_t at_ = -1;
};

}  // namespace morbex::trading212
