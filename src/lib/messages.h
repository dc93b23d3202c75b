// Every text the frame shows: exception messages, the binding texts, diagnostics on
// stderr, and the names of its types and lookups.
//
// The binding texts follow the module's own conventions, which differ from the
// interpreter's: "arguments" stays plural and constructors are named
// "Class.__new__()". Docstrings and reprs stay beside the tables and slots that
// publish them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mivo::py {

// ---- type and class names -------------------------------------------------------

// The classes' full names carry no module part, so the interpreter reports them as
// `builtins.*` (their __module__ is "builtins"): reprs, type() and messages such as
// "cannot pickle 'builtins.QuantizedVector' object" show that prefix. Programs that
// already exist match those texts, so the names are part of the interface and stay;
// the classes are still reached as attributes of the module.
inline constexpr char kQuantizedVectorSpecName[] = "builtins.QuantizedVector";
inline constexpr char kRaBitQQuantizerSpecName[] = "builtins.RaBitQQuantizer";
inline constexpr char kTernaryVectorSpecName[] = "builtins.TernaryVector";
inline constexpr char kTernaryQuantizerSpecName[] = "builtins.TernaryQuantizer";
inline constexpr char kBufferHolderSpecName[] = "mivo.BufferHolder";
inline constexpr char kPanicName[] = "mivo.PanicException";

// The expected class in "... is not an instance of '<name>'".
inline constexpr char kQuantizedVectorName[] = "QuantizedVector";
inline constexpr char kTernaryVectorName[] = "TernaryVector";
inline constexpr char kSequenceName[] = "Sequence";
inline constexpr char kBoolName[] = "bool";

inline constexpr char kPanicDoc[] =
    "Raised when mivo meets a violated internal condition.\n\n"
    "It derives from BaseException, so `except Exception` does not catch it.";
inline constexpr char kBufferHolderDoc[] = "Owns the memory of an array returned by mivo.";

// ---- access to an object ----------------------------------------------------------

inline constexpr char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";

// ---- argument conversion ------------------------------------------------------------

inline constexpr char kNotContiguous[] = "The given array is not contiguous or is misaligned.";
inline constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr char kOutOfRange[] = "out of range integral type conversion attempted";
inline constexpr char kNumVectorsRequired[] =
    "num_vectors is required when vectors is not a 2D numpy array";
// Formatted by the interpreter: %U is the type's qualified name, %s the expected class.
inline constexpr char kNotInstanceFormat[] = "'%U' object is not an instance of '%s'";
// Formatted by the interpreter: %s is the parameter, %U the original message.
inline constexpr char kNamedArgumentFormat[] = "argument '%s': %U";

inline std::string none_not_instance(const char* expected) {
  return std::string("'None' is not an instance of '") + expected + "'";
}

inline std::string num_vectors_mismatch(uint64_t num_vectors, uint64_t rows) {
  return "num_vectors=" + std::to_string(num_vectors) +
         " does not match array shape[0]=" + std::to_string(rows);
}

inline std::string index_out_of_range(uint64_t index, uint64_t dimension) {
  return "index " + std::to_string(index) + " out of range for dimension " +
         std::to_string(dimension);
}

// ---- argument binding -----------------------------------------------------------------

// Formatted by the interpreter: %s is the callable, %U the name (%S for a key that
// is not a str).
inline constexpr char kUnexpectedKeywordFormat[] = "%s got an unexpected keyword argument '%U'";
inline constexpr char kUnexpectedKeyFormat[] = "%s got an unexpected keyword argument '%S'";

inline std::string too_many_positional(const char* callable, size_t required, size_t count,
                                       size_t given) {
  std::string text = std::string(callable) + " takes ";
  if (required == count) {
    text += std::to_string(count);
  } else {
    text += "from " + std::to_string(required) + " to " + std::to_string(count);
  }
  return text + " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was" : " were") + " given";
}

inline std::string multiple_values(const char* callable, const char* param) {
  return std::string(callable) + " got multiple values for argument '" + param + "'";
}

// `names` holds the `count` missing parameters in order.
inline std::string missing_required(const char* callable, const char* const* names, size_t count) {
  std::string text = std::string(callable) + " missing " + std::to_string(count) +
                     " required positional " + (count == 1 ? "argument" : "arguments") + ": ";
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += (count == 2) ? " and " : (i + 1 == count ? ", and " : ", ");
    text += std::string("'") + names[i] + "'";
  }
  return text;
}

// ---- one-time lookups ---------------------------------------------------------------------

inline constexpr char kSequenceLookup[] = "the Sequence type";
inline constexpr char kNumpyLookup[] = "NumPy's array interface";
inline constexpr char kCapsuleFailure[] = "Failed to access NumPy array API capsule";
inline constexpr char kVersionNotStr[] = "numpy.__version__ is not a str";
inline constexpr char kApiNotCapsule[] = "_ARRAY_API is not a capsule";
// Why a sub-interpreter finds no interface: it never imports NumPy itself.
inline constexpr char kNumpyOnlyInMain[] =
    "NumPy is loaded only by the main interpreter, and no call there has loaded it yet";

// ---- objects of one interpreter ----------------------------------------------------------

// Formatted by the interpreter: the key of a module object in a sub-interpreter's
// dictionary for extensions (%s is the object's name).
inline constexpr char kInterpreterKeyFormat[] = "mivo %s";

inline std::string lookup_reentered(const char* lookup) {
  return std::string("the lookup of ") + lookup +
         " is running on this thread; a call from code that it runs cannot wait for it";
}

// ---- the module --------------------------------------------------------------------------

inline constexpr char kNameNotStr[] = "a function's __name__ must be a str";

// ---- internal failures ------------------------------------------------------------------

// Formatted by the interpreter: the source file, its line and the message.
inline constexpr char kNoNativeValue[] = "an instance of a mivo class without its native value";
inline constexpr char kInternalFailureFormat[] = "mivo: internal failure at %s:%d: %s\n";
inline constexpr char kNestedPanicNotice[] =
    "mivo: a PanicException was raised by Python code run during a call:\n";
inline constexpr char kErrorWithoutException[] =
    "a Python error was signalled without an exception";
inline constexpr char kUnknownCppException[] = "unknown C++ exception";
inline constexpr char kUnknownError[] = "unknown error";
inline constexpr char kResultShapeDiffers[] = "a result's shape differs from its buffer's size";

// What could not be created, in "failed to create <what>: <error>".
inline constexpr char kWhatBytes[] = "bytes";
inline constexpr char kWhatList[] = "a list";
inline constexpr char kWhatInt[] = "an int";
inline constexpr char kWhatFloat[] = "a float";
inline constexpr char kWhatStr[] = "a str";
inline constexpr char kWhatInstance[] = "an instance";
inline constexpr char kWhatArray[] = "a NumPy array";
inline constexpr char kWhatHolder[] = "an array holder";
inline constexpr char kWhatHolderType[] = "the array holder type";

inline std::string failed_to_create(const char* what, const std::string& error) {
  return std::string("failed to create ") + what + ": " + error;
}

}  // namespace mivo::py
