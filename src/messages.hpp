// Every fixed text and template the module raises or stores, in one place. It
// sits below every layer (element model, frame, classes) and includes nothing,
// so each layer can take its texts from here without reaching up.
#pragma once

namespace qgx::msg {

// Frame and conversion.
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr char kTakesPositional[] = "%s takes %zd positional arguments but %zd %s given";
inline constexpr char kTakesFromTo[] = "%s takes from %zd to %zd positional arguments but %zd %s given";
inline constexpr char kMultipleValues[] = "%s got multiple values for argument '%s'";
inline constexpr char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%U'";
inline constexpr char kMissingRequired[] = "%s missing %zd required positional %s: %s";
inline constexpr char kCannotConvert[] = "'%s' object cannot be converted to '%s'";
inline constexpr char kCannotConvertNamed[] = "'%U' object cannot be converted to '%s'";
inline constexpr char kFailedTypeName[] = "<failed to extract type name>";
inline constexpr char kArgumentWrap[] = "argument '%s': %U";
inline constexpr char kUnprintableNamed[] = "<unprintable %U object>";
inline constexpr char kUnprintable[] = "<unprintable object>";
inline constexpr char kNoBoolConversion[] = "object of type '%U' does not define a '__bool__' conversion";
inline constexpr char kNoConstructor[] = "No constructor defined for %s";
inline constexpr char kNoConstructorObject[] = "No constructor defined for %U";
inline constexpr char kUnknownTypeName[] = "<unknown>";
inline constexpr char kInitClassFailed[] = "An error occurred while initializing class %s";
inline constexpr char kSubinterpreters[] =
    "quillgramx: subinterpreters are not supported (the module can be imported only in the "
    "interpreter that imported it first)";
inline constexpr char kTextTooLong[] = "text too long: %zu bytes (the limit is 4294967295)";
inline constexpr char kNotBaseException[] = "exceptions must derive from BaseException";
// A C++ exception other than an allocation failure reached a Python entry point.
inline constexpr char kInternalException[] = "quillgramx: internal error (unexpected C++ exception)";

// Engines.
inline constexpr char kParseException[] = "ParseException at position %u: %s";
inline constexpr char kRecursionLimit[] =
    "ParseException at position %u: recursion limit exceeded (grammar nested deeper than %u levels)";
// The same bound reached through the stack margin of a thread with a small stack.
inline constexpr char kStackLimit[] =
    "ParseException at position %u: recursion limit exceeded (the thread's stack ran short)";

// Conversion of element arguments and operators.
inline constexpr char kUnsupportedElement[] = "Unsupported parser element type";
inline constexpr char kUnsupportedExpressionAt[] = "Unsupported expression type at index %zd";
inline constexpr char kUnsupportedPlus[] = "Unsupported operand type for +";
inline constexpr char kUnsupportedOr[] = "Unsupported operand type for |";

// Failure messages of the line, position and constant kinds.
inline constexpr char kNoMatchNever[] = "NoMatch will never match";
inline constexpr char kExpectedLineStart[] = "Expected start of line";
inline constexpr char kExpectedLineEnd[] = "Expected end of line";
inline constexpr char kExpectedStringStart[] = "Expected start of string";
inline constexpr char kExpectedStringEnd[] = "Expected end of string";
inline constexpr char kExpectedRestOfLine[] = "Expected rest of line";

// Literal family (Literal, Keyword, CaselessLiteral, CaselessKeyword, Char).
// The record messages; "{}" stands for the constructor's text.
inline constexpr char kExpectedLiteral[] = "Expected '{}'";
inline constexpr char kExpectedKeywordNamed[] = "Expected keyword '{}'";
inline constexpr char kExpectedCaselessLiteral[] = "Expected '{}' (caseless)";
inline constexpr char kExpectedCaselessKeyword[] = "Expected keyword '{}' (caseless)";
inline constexpr char kExpectedOneOf[] = "Expected one of '{}'";
// Keyword.parse_string's own failure, naming no keyword and no position.
inline constexpr char kExpectedKeyword[] = "Expected keyword";

// Word, Regex and QuotedString.
inline constexpr char kWordMessagePrefix[] = "Expected W:(";  // "Expected {}" around "W:({}...)"
inline constexpr char kWordMessageSuffix[] = "...)";
inline constexpr char kExpectedWord[] = "Expected word";
inline constexpr char kExpectedRegexMatch[] = "Expected regex match";
inline constexpr char kRegexMessagePrefix[] = "Expected match for /";  // "Expected match for /{}/"
inline constexpr char kRegexMessageSuffix[] = "/";
inline constexpr char kQuotedMessagePrefix[] = "Expected quoted string starting with '";  // "...'{}'"
inline constexpr char kQuotedMessageSuffix[] = "'";

// Combinators, operators and one_of.
inline constexpr char kNoMatchFound[] = "No match found";
inline constexpr char kExpectedAtLeastOne[] = "Expected at least one match";
inline constexpr char kNoProgressExactly[] = "No progress in Exactly";
inline constexpr char kSkipToNotFound[] = "SkipTo: target not found";
inline constexpr char kSuppressNoMatch[] = "Suppress: no match";
inline constexpr char kForwardNotInitialized[] = "Forward not initialized";
inline constexpr char kExpectedMatch[] = "Expected match";
inline constexpr char kNoMatchSuppressed[] = "No match (suppressed)";
inline constexpr char kOneOfNoWords[] = "one_of requires at least one string";
inline constexpr char kCountOutOfRange[] = "out of range integral type conversion attempted";
// The failure a combinator gives when entered past the depth bound.
inline constexpr char kRecursionLimitFailure[] = "recursion limit exceeded";
// The parse_string forms that report no position (And, MatchFirst, Suppress).
inline constexpr char kRecursionLimitNoPosition[] =
    "recursion limit exceeded (grammar nested deeper than %u levels)";
inline constexpr char kStackLimitNoPosition[] = "recursion limit exceeded (the thread's stack ran short)";

}  // namespace qgx::msg
