# How long a build takes, and nothing else: none of these settings changes what the programs do.
#
# Most of a compile here is spent reading the same large headers again (the standard library, Qt,
# the coroutine library, the JSON library, the test framework, the HTTP library: 130,000 to
# 200,000 lines behind every source file), and most of a link in writing debug information. So:
#
#   1. Each target with several source files parses its heavy third-party headers once, into a
#      precompiled header (kavor_precompile). Only headers that are not ours go in, so editing
#      one of our headers rebuilds what includes it and nothing more.
#   2. Links go through mold, or lld, when one is installed: several times faster than the
#      default linker on the large test programs.
#   3. KAVOR_DEBUG_INFO lowers the debug information of Debug builds (1 keeps function names and
#      line tables, enough for backtraces and sanitizer reports).
#   4. KAVOR_UNITY compiles the files of each target in batches, one compile per batch: the
#      headers a precompiled header leaves out, and the templates every file instantiates
#      again, are then compiled once per batch. For a build made once (CI); an edit recompiles
#      its whole batch, so developers leave it off.
#   5. ccache, when installed and no other launcher is given, keeps objects between builds; with
#      the sloppiness set here it also caches compiles that use a precompiled header.
#
# KAVOR_PCH=OFF builds every file on its own headers, which shows an include a file forgot.

option(KAVOR_PCH "Precompile the heavy third-party headers of each target" ON)
option(KAVOR_FAST_LINKER "Link with mold or lld when one is installed" ON)
option(KAVOR_UNITY "Compile each target's files in batches (for builds made once)" OFF)
option(KAVOR_CCACHE "Compile through ccache when it is installed" ON)
set(KAVOR_DEBUG_INFO "" CACHE STRING
    "Debug information level of Debug builds, 0 to 3 (empty: the compiler's default for -g)")

if(KAVOR_FAST_LINKER)
  include(CheckLinkerFlag)
  foreach(linker mold lld)
    check_linker_flag(CXX -fuse-ld=${linker} KAVOR_HAS_${linker})
    if(KAVOR_HAS_${linker})
      add_link_options(-fuse-ld=${linker})
      break()
    endif()
  endforeach()
endif()

if(NOT KAVOR_DEBUG_INFO STREQUAL "")
  # Comes after the -g of the Debug flags, and the last -g level given wins.
  add_compile_options($<$<CONFIG:Debug>:-g${KAVOR_DEBUG_INFO}>)
endif()

if(KAVOR_UNITY)
  set(CMAKE_UNITY_BUILD ON)
  # Files that share a batch share a translation unit; more per batch saves more headers but
  # leaves fewer batches than cores at the end of a target.
  set(CMAKE_UNITY_BUILD_BATCH_SIZE 8)
  # A batch includes each file like a header, and for headers GCC warns when a class member's
  # type sits in an anonymous namespace; inside one file that is the intent.
  add_compile_options(-Wno-subobject-linkage)
endif()

if(KAVOR_CCACHE)
  set(launcher "${CMAKE_CXX_COMPILER_LAUNCHER}")
  if(NOT launcher)
    find_program(KAVOR_CCACHE_PROGRAM ccache)
    set(launcher "${KAVOR_CCACHE_PROGRAM}")
  endif()
  if(launcher MATCHES "ccache$")
    set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env
        CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime ${launcher})
  endif()
endif()

# The header sets. A target may only take a set whose libraries it links (their include paths
# come with them).
set(KAVOR_PCH_STD
    <algorithm> <atomic> <chrono> <cstdint> <cstdio> <cstdlib> <cstring> <deque> <filesystem>
    <fstream> <functional> <map> <memory> <mutex> <optional> <set> <sstream> <string>
    <string_view> <thread> <unordered_map> <variant> <vector>)
set(KAVOR_PCH_QT
    <QByteArray> <QCoreApplication> <QDir> <QElapsedTimer> <QFile> <QFileInfo> <QObject>
    <QProcess> <QString> <QTemporaryDir> <QTimer> <QUrl> <QtConcurrent/QtConcurrentRun>
    <qcorofuture.h> <qcorotask.h> <qcorotimer.h>)
set(KAVOR_PCH_JSON <nlohmann/json.hpp>)
set(KAVOR_PCH_HTTP <httplib.h>)
set(KAVOR_PCH_GTEST <gtest/gtest.h>)
set(KAVOR_PCH_GMOCK <gmock/gmock.h>)
set(KAVOR_PCH_GUI <QApplication> <QWebEnginePage> <QWebEngineProfile> <QWebEngineView>)

# A precompiled header costs about as much as compiling one file, so a target with fewer
# files than this gains nothing from one. In unity batches each batch reads the headers once
# anyway, so the count is of batches: measured on a cold build, the header of a target of one or
# two batches cost 14-37 s and saved less than it cost.
set(KAVOR_PCH_MIN_SOURCES 3)

# kavor_precompile(<target> <set>...): precompiles the named header sets (STD QT JSON HTTP GTEST
# GMOCK GUI) for <target>'s own C++ files.
# kavor_precompile(<target> REUSE <other>): <target> compiles with <other>'s precompiled header
# and makes none of its own, whatever its number of files. For a target that links <other>
# (whose libraries its headers need) and is built with the same flags: the layers above
# common share common's, one compile for them all.
function(kavor_precompile target)
  if(NOT KAVOR_PCH)
    return()
  endif()
  if(ARGV1 STREQUAL "REUSE")
    get_target_property(other_headers ${ARGV2} PRECOMPILE_HEADERS)
    if(other_headers)
      target_precompile_headers(${target} REUSE_FROM ${ARGV2})
    endif()
    return()
  endif()
  get_target_property(sources ${target} SOURCES)
  list(FILTER sources INCLUDE REGEX "\\.cpp$")
  list(LENGTH sources count)
  if(CMAKE_UNITY_BUILD)
    math(EXPR count "(${count} + ${CMAKE_UNITY_BUILD_BATCH_SIZE} - 1) / ${CMAKE_UNITY_BUILD_BATCH_SIZE}")
  endif()
  if(count LESS KAVOR_PCH_MIN_SOURCES)
    return()
  endif()
  set(headers)
  foreach(name IN LISTS ARGN)
    if(NOT DEFINED KAVOR_PCH_${name})
      message(FATAL_ERROR "kavor_precompile: no header set named ${name}")
    endif()
    list(APPEND headers ${KAVOR_PCH_${name}})
  endforeach()
  target_precompile_headers(${target} PRIVATE ${headers})
endfunction()
