// Reading one answer of the Flex Web Service (see reader.hpp).
#include "reader.hpp"
#include <cstddef>
#include <cstring>
#include <new>

namespace morbex::ibkr {
namespace {

constexpr std::size_t field_cap = 65536;   // the most text kept of one response field
constexpr std::size_t slice = 1 << 16;     // expat copies what it is given into its buffer: in cache-sized pieces

constexpr bool blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; }

// What the first line of an answer that is not XML looks like: IB's CSV
// quotes every field; its text format separates them with '|' or a tab.
Problem delimited(const char* line, std::size_t size) {
    const char* end = static_cast<const char*>(std::memchr(line, '\n', size));
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - line) : size;
    const std::string_view first(line, length);
    if (first.starts_with('"')) return Problem::csv;
    if (first.find_first_of("|\t") != std::string_view::npos) return Problem::text;
    if (first.find(',') != std::string_view::npos) return Problem::csv;
    return Problem::not_xml;
}

bool starts_html(const char* p, std::size_t size) {
    constexpr std::string_view doctype_html = "DOCTYPE html";
    if (size < doctype_html.size()) return false;
    for (std::size_t i = 0; i < doctype_html.size(); ++i) {
        const char ch = p[i];
        const char lower = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
        const char want = doctype_html[i];
        const char want_lower = want >= 'A' && want <= 'Z' ? static_cast<char>(want - 'A' + 'a') : want;
        if (lower != want_lower) return false;
    }
    return true;
}

// The callbacks: C functions expat calls in the middle of a parse. Nothing
// may unwind through expat's frames, so whatever is thrown is kept as the
// interpreter's error and the reader stops (as pyexpat does when a handler
// raises): no callback runs again, and parse() raises it once Parse returns.
template <class Body>
void guarded(void* reader, Body&& body) {
    auto* r = static_cast<Reader*>(reader);
    if (!boundary(false, [&] {
            body(r);
            return true;
        })) {
        r->stop();
    }
}

void on_start(void* reader, const XML_Char* name, const XML_Char** atts) {
    guarded(reader, [&](Reader* r) { r->start(name, atts); });
}

void on_end(void* reader, const XML_Char*) {
    guarded(reader, [&](Reader* r) { r->end(); });
}

void on_text(void* reader, const XML_Char* s, int len) {
    guarded(reader, [&](Reader* r) { r->text(s, len); });
}

}  // namespace

const ExpatApi* load_expat(Ref& capsule) {
    Ref module = check(PyImport_ImportModule("pyexpat"));
    capsule = getattr(module.get(), "expat_CAPI");
    const auto* api = static_cast<const ExpatApi*>(PyCapsule_GetPointer(capsule.get(), PyExpat_CAPSULE_NAME));
    if (api == nullptr) throw PyError{};
    // The table up to SetUserData, the last of its functions used here.
    constexpr std::size_t used = offsetof(ExpatApi, SetStartDoctypeDeclHandler);
    if (api->magic == nullptr || std::strcmp(api->magic, PyExpat_CAPI_MAGIC) != 0 || api->size < 0 ||
        static_cast<std::size_t>(api->size) < used || api->MAJOR_VERSION != 2) {
        raise(PyExc_ImportError, "the interpreter's pyexpat offers no expat table morbex.ibkr can use");
    }
    return api;
}

Reader::Reader(IbkrState& st, long long cap, bool positions)
    : api_(st.expat), cap_(cap), statement_reader_(st, positions) {
    // No namespace processing, expat's own allocator, the encoding as the
    // document declares it (UTF-8 when it does not).
    parser_ = api_->ParserCreate_MM(nullptr, nullptr, nullptr);
    if (parser_ == nullptr) throw std::bad_alloc();
    api_->SetUserData(parser_, this);
    api_->SetElementHandler(parser_, on_start, on_end);
    api_->SetCharacterDataHandler(parser_, on_text);
}

Reader::~Reader() { api_->ParserFree(parser_); }

void Reader::silence() {
    api_->SetElementHandler(parser_, nullptr, nullptr);
    api_->SetCharacterDataHandler(parser_, nullptr);
}

void Reader::stop() {
    failed_ = true;
    silence();
}

bool Reader::refuse(Problem problem, std::string detail) {
    if (problem_ == Problem::none) {
        problem_ = problem;
        detail_ = std::move(detail);
        silence();  // what is left of the piece expat has is not looked at
    }
    return false;
}

// The bytes before the root element, as IB sends them: blanks, an XML
// declaration, perhaps comments. A document type declaration is refused
// here, before expat reads it: IB's statements have none, and its entities
// are how a document expands to gigabytes (the billion laughs). The scan
// ends at the root element's '<'; it costs nothing after that.
bool Reader::prolog(const char* data, std::size_t size) {
    const bool first = taken_ == static_cast<long long>(size);
    std::size_t i = 0;
    if (first && size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) i = 3;  // a UTF-8 byte order mark
    for (; i < size && scan_ != Scan::done; ++i) {
        const char ch = data[i];
        switch (scan_) {
        case Scan::between:
            if (ch == '<') {
                scan_ = Scan::open;
            } else if (!blank(ch)) {
                return refuse(delimited(data + i, size - i));
            }
            break;
        case Scan::open:
            scan_ = ch == '?' ? Scan::instruction : ch == '!' ? Scan::bang : Scan::done;
            seen_ = 0;
            break;
        case Scan::bang:
            if (ch != '-') return refuse(starts_html(data + i, size - i) ? Problem::html : Problem::doctype);
            scan_ = Scan::comment;  // "<!-": expat checks the rest of the opening
            break;
        case Scan::instruction:  // up to "?>"
            if (ch == '>' && seen_ == 1) scan_ = Scan::between;
            seen_ = ch == '?' ? 1 : 0;
            break;
        case Scan::comment:  // up to "-->"; expat refuses a "--" inside
            if (ch == '>' && seen_ >= 2) scan_ = Scan::between;
            seen_ = ch == '-' ? seen_ + 1 : 0;
            break;
        case Scan::done:
            break;
        }
    }
    return true;
}

bool Reader::parse(const char* data, std::size_t size, bool final) {
    do {
        const std::size_t piece = size < slice ? size : slice;
        const bool last = final && piece == size;
        const XML_Status status = api_->Parse(parser_, data, static_cast<int>(piece), last ? 1 : 0);
        if (failed_) throw PyError{};
        if (problem_ != Problem::none) return false;
        if (status != XML_STATUS_OK) {
            const XML_Error code = api_->GetErrorCode(parser_);
            const char* text = api_->ErrorString(code);
            return refuse(Problem::malformed,
                          std::string(text != nullptr ? text : "not well-formed") + " at line " +
                              std::to_string(api_->GetErrorLineNumber(parser_)) + ", column " +
                              std::to_string(api_->GetErrorColumnNumber(parser_)));
        }
        data += piece;
        size -= piece;
    } while (size > 0);
    return true;
}

bool Reader::feed(const char* data, std::size_t size) {
    if (problem_ != Problem::none) return false;
    taken_ += static_cast<long long>(size);
    if (taken_ > cap_) return refuse(Problem::too_large);
    if (scan_ != Scan::done && !prolog(data, size)) return false;
    return size == 0 || parse(data, size, false);
}

bool Reader::finish() {
    if (problem_ != Problem::none) return false;
    if (taken_ == 0) return refuse(Problem::not_flex, "an empty answer");
    if (scan_ == Scan::between && kind_ == Kind::none) return refuse(Problem::not_xml);
    if (!parse("", 0, true)) return false;
    if (kind_ == Kind::none) return refuse(Problem::not_flex);
    if (kind_ == Kind::statement) {
        std::string detail;
        if (Problem p = statement_reader_.finish(statement_, detail); p != Problem::none) return refuse(p, detail);
    }
    for (std::string* field : {&response_.status, &response_.error_code, &response_.error_message,
                               &response_.reference_code, &response_.url}) {
        field->erase(0, field->find_first_not_of(" \t\r\n"));
        field->erase(field->find_last_not_of(" \t\r\n") + 1);
    }
    return true;
}

void Reader::start(const char* name, const char** atts) {
    ++depth_;
    if (depth_ == 1) {
        if (std::strcmp(name, "FlexQueryResponse") == 0) {
            kind_ = Kind::statement;
            // A statement's text between elements is only blanks.
            api_->SetCharacterDataHandler(parser_, nullptr);
        } else if (std::strcmp(name, "FlexStatementResponse") == 0) {
            kind_ = Kind::response;
        } else {
            refuse(Problem::not_flex, std::string("a document of <") + name + ">");
        }
    } else if (kind_ == Kind::statement) {
        statement_reader_.start(name, atts);
    } else if (kind_ == Kind::response && depth_ == 2) {
        collect_ = std::strcmp(name, "Status") == 0          ? &response_.status
                   : std::strcmp(name, "ErrorCode") == 0     ? &response_.error_code
                   : std::strcmp(name, "ErrorMessage") == 0  ? &response_.error_message
                   : std::strcmp(name, "ReferenceCode") == 0 ? &response_.reference_code
                   : std::strcmp(name, "Url") == 0           ? &response_.url
                                                             : nullptr;
    }
}

void Reader::end() {
    --depth_;
    collect_ = nullptr;
}

void Reader::text(const char* s, int len) {
    if (collect_ == nullptr || collect_->size() >= field_cap) return;
    collect_->append(s, static_cast<std::size_t>(len));
}

}  // namespace morbex::ibkr
