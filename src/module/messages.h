// The system's fixed texts: every argument, access and panic message a caller can see.
#pragma once

namespace qm::msg {

// Binding (printf formats: the display name first).
inline constexpr char kTakesPositionals[] = "%s takes %d positional arguments but %zd %s given";
inline constexpr char kTakesFromTo[] = "%s takes from %d to %d positional arguments but %zd %s given";
inline constexpr char kWas[] = "was";
inline constexpr char kWere[] = "were";
inline constexpr char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%S'";
inline constexpr char kMultipleValues[] = "%s got multiple values for argument '%s'";
inline constexpr char kMissingRequired[] = "%s missing %d required positional %s: %s";
inline constexpr char kArgument[] = "argument";
inline constexpr char kArguments[] = "arguments";

// Conversion.
inline constexpr char kNotInstance[] = "'%s' object is not an instance of '%s'";
inline constexpr char kNoneNotInstance[] = "'None' is not an instance of '%s'";
inline constexpr char kUnknownTypeName[] = "<failed to extract type name>";
inline constexpr char kProcessingNote[] = "while processing '%s'";
inline constexpr char kOutOfRange[] = "out of range integral type conversion attempted";
inline constexpr char kNoBoolConversion[] = "object of type '%U' does not define a '__bool__' conversion";
inline constexpr char kTupleLength[] = "expected tuple of length 2, but got tuple of length %zd";
inline constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";

// Access to instances and attributes.
inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr char kNoDeleter[] = "property has no deleter";

// Internal faults.
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr char kCapacityOverflow[] = "capacity overflow";
inline constexpr char kUnknownNativeException[] = "unknown native exception";
inline constexpr char kAllNotExtended[] = "could not append __name__ to __all__";
inline constexpr char kNoTypeObject[] = "could not create the type object of %s: %S";

}  // namespace qm::msg
