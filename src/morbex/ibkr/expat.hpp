// expat, the XML parser the interpreter itself carries, through the table of
// functions pyexpat hands out in a capsule (as _elementtree uses it): no
// library of our own to link, and C callbacks that make no Python object for
// what they do not keep.
//
// pyexpat.h names expat's types and expects expat.h to have declared them;
// expat.h is not installed with the interpreter, so the few declarations it
// needs are spelled here as expat.h spells them (XML_Char is char: CPython's
// expat is built for UTF-8; XML_Size is unsigned long, the width of
// XML_LARGE_SIZE's unsigned long long on LP64). The table only grows at its
// end, its magic staying the same: a table shorter than the fields used here
// is refused, a longer one is fine.
#pragma once
#include <Python.h>
#include <cstddef>
#include <cstdint>
#include "ops.hpp"

extern "C" {
typedef char XML_Char;
typedef char XML_LChar;
typedef unsigned long XML_Size;
typedef unsigned char XML_Bool;
typedef struct XML_ParserStruct* XML_Parser;
// A fixed underlying type: every code expat returns is a value of the enum,
// not only the ones named here (C's enums are int-sized, so the ABI is the same).
enum XML_Status : int { XML_STATUS_ERROR = 0, XML_STATUS_OK = 1, XML_STATUS_SUSPENDED = 2 };
enum XML_Error : int { XML_ERROR_NONE = 0 };  // the other codes are only handed back to ErrorString
typedef struct {
    void* (*malloc_fcn)(std::size_t size);
    void* (*realloc_fcn)(void* ptr, std::size_t size);
    void (*free_fcn)(void* ptr);
} XML_Memory_Handling_Suite;
typedef struct {
    int map[256];
    void* data;
    int (*convert)(void* data, const char* s);
    void (*release)(void* data);
} XML_Encoding;
typedef void (*XML_StartElementHandler)(void* userData, const XML_Char* name, const XML_Char** atts);
typedef void (*XML_EndElementHandler)(void* userData, const XML_Char* name);
typedef void (*XML_CharacterDataHandler)(void* userData, const XML_Char* s, int len);
typedef void (*XML_CommentHandler)(void* userData, const XML_Char* data);
typedef void (*XML_DefaultHandler)(void* userData, const XML_Char* s, int len);
typedef void (*XML_StartNamespaceDeclHandler)(void* userData, const XML_Char* prefix, const XML_Char* uri);
typedef void (*XML_EndNamespaceDeclHandler)(void* userData, const XML_Char* prefix);
typedef void (*XML_ProcessingInstructionHandler)(void* userData, const XML_Char* target, const XML_Char* data);
typedef int (*XML_UnknownEncodingHandler)(void* encodingHandlerData, const XML_Char* name, XML_Encoding* info);
typedef void (*XML_StartDoctypeDeclHandler)(void* userData, const XML_Char* doctypeName, const XML_Char* sysid,
                                            const XML_Char* pubid, int has_internal_subset);
}

#include <pyexpat.h>

namespace morbex::ibkr {

using ExpatApi = struct PyExpat_CAPI;

// The table, from `pyexpat.expat_CAPI`, checked; `capsule` keeps it alive.
// ImportError when the interpreter's pyexpat does not offer one we can use.
const ExpatApi* load_expat(Ref& capsule);

}  // namespace morbex::ibkr
