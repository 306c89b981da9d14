// Every fixed text and template the module raises or stores, in one place.
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

// Engines.
inline constexpr char kParseException[] = "ParseException at position %u: %s";
inline constexpr char kRecursionLimit[] =
    "ParseException at position %u: recursion limit exceeded (grammar nested deeper than %u levels)";

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

// Word, Regex and QuotedString.

// Combinators, operators and one_of.

}  // namespace qgx::msg
