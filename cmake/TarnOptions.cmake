# Settings shared by every target of the project itself (not by third-party
# code such as GoogleTest built from source for the Windows cross build).
add_library(tarn_options INTERFACE)
target_include_directories(tarn_options INTERFACE
    ${PROJECT_SOURCE_DIR}/src
    ${CMAKE_BINARY_DIR}/generated)
target_compile_options(tarn_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    # A wrong argument to a printf-style call (Log::write) is an error.
    -Werror=format)
if(WIN32)
  # Windows 7 API level and wide-character Win32 calls.
  target_compile_definitions(tarn_options INTERFACE
      _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE
      __USE_MINGW_ANSI_STDIO=1)
endif()
# The presets that CI builds (debug, windows) keep the code free of warnings.
option(TARN_WARNINGS_AS_ERRORS "Treat compiler warnings in the project's own code as errors" OFF)
if(TARN_WARNINGS_AS_ERRORS)
  target_compile_options(tarn_options INTERFACE -Werror)
endif()
find_package(Threads REQUIRED)
target_link_libraries(tarn_options INTERFACE Threads::Threads)

# tarn_library(name SOURCES ... [POSIX ...] [WIN ...] [LIBS ...])
# One static library per source folder; POSIX/WIN hold the platform halves.
function(tarn_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;POSIX;WIN;LIBS" ${ARGN})
  set(srcs ${ARG_SOURCES})
  if(WIN32)
    list(APPEND srcs ${ARG_WIN})
  else()
    list(APPEND srcs ${ARG_POSIX})
  endif()
  add_library(${name} STATIC ${srcs})
  target_link_libraries(${name} PUBLIC tarn_options ${ARG_LIBS})
endfunction()
