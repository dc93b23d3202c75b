// Names the C++ standard library a build compiles against, with its version, ABI and
// checking mode, in a marked string that CMake reads out of the compiled object: it is
// only compiled, never run, so it works for a cross build too.
#include <version>

#define MIVO_PROBE_TEXT(x) #x
#define MIVO_PROBE_VALUE(x) MIVO_PROBE_TEXT(x)

#if defined(_LIBCPP_VERSION)
#define MIVO_PROBE_LIBRARY \
  "libc++ " MIVO_PROBE_VALUE(_LIBCPP_VERSION) " abi " MIVO_PROBE_VALUE(_LIBCPP_ABI_VERSION)
#elif defined(__GLIBCXX__)
#define MIVO_PROBE_LIBRARY \
  "libstdc++ " MIVO_PROBE_VALUE(__GLIBCXX__) " abi " MIVO_PROBE_VALUE(_GLIBCXX_USE_CXX11_ABI)
#else
#define MIVO_PROBE_LIBRARY "unknown"
#endif

// A checked standard library changes the layout of its containers and iterators.
#if defined(_GLIBCXX_DEBUG)
#define MIVO_PROBE_MODE " debug"
#elif defined(_GLIBCXX_ASSERTIONS)
#define MIVO_PROBE_MODE " assertions"
#elif defined(_LIBCPP_HARDENING_MODE)
#define MIVO_PROBE_MODE " hardening " MIVO_PROBE_VALUE(_LIBCPP_HARDENING_MODE)
#else
#define MIVO_PROBE_MODE ""
#endif

extern const char mivo_stdlib_probe[] = "MIVO_STDLIB[" MIVO_PROBE_LIBRARY MIVO_PROBE_MODE "]";
