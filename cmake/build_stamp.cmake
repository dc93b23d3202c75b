# The build stamp: one digest of everything that decides whether mivo_batch can read
# mivo's objects natively (compiler, standard library, flags, build type, sanitizers,
# interpreter ABI and the sources). Both modules carry it in an ELF note, so
# mivo_batch refuses a mivo of the same version from another build. It is made once per
# configure; both modules of one build directory always agree.

# The standard library as its own headers name it (cmake/stdlib_probe.cpp), compiled
# with the modules' build type and flags: its checking mode can follow the optimisation
# level.
function(mivo_stdlib_identity out_var)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  set(CMAKE_TRY_COMPILE_CONFIGURATION ${CMAKE_BUILD_TYPE})
  set(archive ${CMAKE_CURRENT_BINARY_DIR}/build_stamp/stdlib_probe.a)
  try_compile(built SOURCES ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/stdlib_probe.cpp
              COMPILE_DEFINITIONS ${MIVO_FLAGS} COPY_FILE ${archive} OUTPUT_VARIABLE log)
  if(built)
    file(STRINGS ${archive} found REGEX "MIVO_STDLIB\\[[^]]*\\]")
  endif()
  if(NOT found)
    message(FATAL_ERROR "cannot tell which C++ standard library this build uses:\n${log}")
  endif()
  string(REGEX REPLACE ".*MIVO_STDLIB\\[([^]]*)\\].*" "\\1" identity "${found}")
  set(${out_var} "${identity}" PARENT_SCOPE)
endfunction()

# Sets MIVO_BUILD_STAMP_DIR to a folder holding mivo_build_stamp.h (the stamp as
# MIVO_BUILD_STAMP) and build_stamp.txt (what went into it, for a reader who wants to
# know why two stamps differ).
function(mivo_build_stamp)
  mivo_stdlib_identity(stdlib)
  string(TOUPPER "${CMAKE_BUILD_TYPE}" config)
  list(JOIN MIVO_FLAGS " " mivo_flags)
  set(inputs
    "compiler ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} ${CMAKE_CXX_COMPILER_TARGET}"
    "processor ${CMAKE_SYSTEM_PROCESSOR}"
    "standard library ${stdlib}"
    "build type ${CMAKE_BUILD_TYPE}"
    "flags ${CMAKE_CXX_FLAGS} | ${CMAKE_CXX_FLAGS_${config}} | ${mivo_flags} | C++${CMAKE_CXX_STANDARD}"
    "link flags ${CMAKE_MODULE_LINKER_FLAGS} | ${CMAKE_MODULE_LINKER_FLAGS_${config}}"
    "sanitizers ${MIVO_SANITIZE}"
    "python ${Python_SOABI}")
  file(GLOB_RECURSE sources LIST_DIRECTORIES false RELATIVE ${PROJECT_SOURCE_DIR}
       ${PROJECT_SOURCE_DIR}/src/* ${PROJECT_SOURCE_DIR}/cmake/*)
  list(SORT sources)
  foreach(source CMakeLists.txt ${sources})
    file(SHA256 ${PROJECT_SOURCE_DIR}/${source} digest)
    list(APPEND inputs "source ${source} ${digest}")
  endforeach()
  list(JOIN inputs "\n" text)
  string(SHA256 stamp "${text}")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/build_stamp)
  # Written only when changed, so a configure that changes nothing rebuilds nothing.
  file(CONFIGURE OUTPUT ${dir}/mivo_build_stamp.h @ONLY
       CONTENT "// Generated at configure by cmake/build_stamp.cmake.\n#define MIVO_BUILD_STAMP \"@stamp@\"\n")
  file(CONFIGURE OUTPUT ${dir}/build_stamp.txt @ONLY CONTENT "@stamp@\n@text@\n")
  set(MIVO_BUILD_STAMP_DIR ${dir} PARENT_SCOPE)
endfunction()
