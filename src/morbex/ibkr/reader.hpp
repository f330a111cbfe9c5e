// Reading one answer of the Flex Web Service as it streams in, through expat:
// a FlexStatementResponse (SendRequest's answer, or an error code) or a
// statement (a FlexQueryResponse), whichever its root element says.
//
// Nothing IB would not send gets far: a document type declaration (how
// entity expansion gets in) is refused before expat sees it, so is an answer
// past the size cap, and an answer that does not start as XML is told for
// what it is (a query set to CSV or text).
#pragma once
#include <Python.h>
#include <cstddef>
#include <memory>
#include <string>
#include "expat.hpp"
#include "state.hpp"

namespace morbex::ibkr {

// Why an answer was refused.
enum class Problem {
    none,
    csv,        // the query delivers CSV
    text,       // the query delivers text (pipe or tab delimited)
    not_xml,    // something else that does not start as XML
    html,       // an HTML page
    doctype,    // a document type declaration
    too_large,  // more than the cap
    malformed,  // not well-formed: expat's error in the detail
    not_flex,   // well-formed, but neither a statement nor an answer of the service
    dates,      // dates in a format not read (the detail quotes one)
    quantity,   // a position whose quantity is not a number
};

// The fields of a FlexStatementResponse, as text.
struct Response {
    std::string status, error_code, error_message, reference_code, url;
};

// What a statement gives: its records, and which sections the query has.
struct Statement {
    Ref holdings;   // list of holding records (eleven keys)
    Ref positions;  // list of position records, or null when not asked for
    Ref cash;       // list of cash balance records
    bool open_positions = false, cash_report = false;
};

// The statement's elements as they start, and the records made of them once
// it has ended (statement.cpp).
class StatementReader {
public:
    StatementReader(IbkrState& st, bool positions);
    ~StatementReader();
    StatementReader(const StatementReader&) = delete;
    StatementReader& operator=(const StatementReader&) = delete;

    // An element of the statement has started.
    void start(const char* name, const char** atts);
    // The statement has ended: its records, or the problem that refuses it.
    Problem finish(Statement& out, std::string& detail);

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

class Reader {
public:
    enum class Kind { none, response, statement };

    // `cap`: the most bytes taken; `positions`: whether the position records
    // are made besides the holdings.
    Reader(IbkrState& st, long long cap, bool positions);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The next piece of the answer: false once it is refused (problem()).
    bool feed(const char* data, std::size_t size);
    // The end of the answer: false when refused.
    bool finish();

    Kind kind() const { return kind_; }
    Problem problem() const { return problem_; }
    const std::string& detail() const { return detail_; }
    Response& response() { return response_; }
    Statement& statement() { return statement_; }

    // expat's callbacks.
    void start(const char* name, const char** atts);
    void end();
    void text(const char* s, int len);
    // A callback has raised: the interpreter's error stays set, no callback
    // runs again, and the parse that called it raises it.
    void stop();

private:
    // No callback runs again (expat still reads what it holds).
    void silence();
    bool refuse(Problem problem, std::string detail = {});
    bool prolog(const char* data, std::size_t size);
    bool parse(const char* data, std::size_t size, bool final);

    const ExpatApi* api_;
    XML_Parser parser_ = nullptr;
    long long cap_;
    long long taken_ = 0;
    Kind kind_ = Kind::none;
    Problem problem_ = Problem::none;
    std::string detail_;
    bool failed_ = false;  // a callback raised (stop()): the interpreter's error is set
    int depth_ = 0;
    // The prolog scan: where it is until the root element starts.
    enum class Scan { between, open, bang, instruction, comment, done } scan_ = Scan::between;
    int seen_ = 0;  // in an instruction or comment: the closing characters seen so far
    Response response_;
    std::string* collect_ = nullptr;  // the response field whose text is arriving
    StatementReader statement_reader_;
    Statement statement_;
};

}  // namespace morbex::ibkr
