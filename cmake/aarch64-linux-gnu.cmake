# Cross-compiles for arm64 Linux with Debian's cross compiler. The arm64 headers and
# libraries (Highway, Python, GoogleTest) are the multiarch packages installed side
# by side with the native ones, under /usr/include/aarch64-linux-gnu and
# /usr/lib/aarch64-linux-gnu. The results run on arm64 only (or under emulation).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries, headers and CMake packages of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The build machine's interpreter reports its own extension suffix, so the arm64 one
# is given here, with the arm64 build of the same Python version's headers.
set(MIVO_CROSS_PYTHON_VERSION 3.14 CACHE STRING "Python version of the arm64 module")
string(REPLACE "." "" _mivo_py_nodot "${MIVO_CROSS_PYTHON_VERSION}")
set(MIVO_PYTHON_SOABI "cpython-${_mivo_py_nodot}-aarch64-linux-gnu" CACHE STRING
    "Extension suffix of the arm64 module")
set(Python_INCLUDE_DIR "/usr/include/python${MIVO_CROSS_PYTHON_VERSION}" CACHE PATH
    "Python headers (the arm64 configuration header comes through multiarch)")
