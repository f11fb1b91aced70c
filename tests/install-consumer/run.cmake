cmake_minimum_required(VERSION 3.25)
# One step of the consumer tests (STEP): install a prefix, build and run the consumer in it, or
# check one property of the package.
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc)
    message(FATAL_ERROR "failed (${rc}): ${ARGV}\n${out}\n${err}")
  endif()
endfunction()

function(pkg_config_flags pc_dir kind out_var)
  set(static_flag "")
  if(kind STREQUAL "static")
    set(static_flag --static)
  endif()
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  execute_process(COMMAND pkg-config ${static_flag} --cflags --libs kelvor-quorvel
    OUTPUT_VARIABLE flags ERROR_VARIABLE err RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc)
    message(FATAL_ERROR "pkg-config failed: ${err}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(${out_var} ${flags} PARENT_SCOPE)
endfunction()

string(REGEX MATCH "(static|shared)$" kind "${STEP}")
set(prefix ${WORK}/prefix-${kind})
include(GNUInstallDirs)

if(STEP MATCHES "^install-")
  # What the main build made, the kind's install component alone.
  file(REMOVE_RECURSE ${prefix})
  run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix} --component ${kind})
  if(kind STREQUAL "static")
    return()
  endif()
  # The package files as a distribution configures them, with an absolute libdir: configured
  # only, since nothing else of the library changes with the libdir.
  set(libdir ${prefix}/opt/lib64)
  set(configured ${WORK}/absolute-libdir)
  file(REMOVE_RECURSE ${configured})
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${configured} -G ${GENERATOR} -DBUILD_SHARED_LIBS=ON
    -DKELVOR_BUILD_TESTS=OFF -DKELVOR_BUILD_EXAMPLES=OFF -DKELVOR_BUILD_TOOLS=OFF
    -DCMAKE_INSTALL_PREFIX=${prefix} -DCMAKE_INSTALL_LIBDIR=${libdir})
  file(READ ${configured}/package-shared/kelvor-quorvel.pc pc)
  if(NOT pc MATCHES "\nlibdir=${libdir}\n")
    message(FATAL_ERROR "the .pc does not name the absolute libdir ${libdir}:\n${pc}")
  endif()
  # Dependencies by module, so pkg-config finds them wherever the distribution puts them.
  if(NOT pc MATCHES "\nRequires.private:[^\n]* sqlite3 " OR pc MATCHES "-lsqlite3")
    message(FATAL_ERROR "the .pc does not name its dependencies as modules:\n${pc}")
  endif()
  return()
endif()

set(build ${WORK}/consumer-${STEP})
file(REMOVE_RECURSE ${build})
file(MAKE_DIRECTORY ${build})

if(STEP STREQUAL "embed")
  # The host leaves its build type empty and installs into its own prefix: the library must not
  # choose the build type for it, build its tests or tools, or install anything of its own.
  set(host_prefix ${WORK}/prefix-embed)
  file(REMOVE_RECURSE ${host_prefix})
  run(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE}/../embed -B ${build} -G ${GENERATOR}
    -DKELVOR_SOURCE_DIR=${SOURCE_DIR})
  file(STRINGS ${build}/CMakeCache.txt cache REGEX "^(CMAKE_BUILD_TYPE|KELVOR_[A-Z_]+):")
  foreach(expected "CMAKE_BUILD_TYPE:STRING=" "KELVOR_INSTALL:BOOL=OFF"
      "KELVOR_BUILD_TESTS:BOOL=OFF" "KELVOR_BUILD_TOOLS:BOOL=OFF" "KELVOR_BUILD_EXAMPLES:BOOL=OFF")
    if(NOT expected IN_LIST cache)
      message(FATAL_ERROR "embedded: expected ${expected} in the host's cache, found: ${cache}")
    endif()
  endforeach()
  run(${CMAKE_COMMAND} --build ${build})
  run(${build}/consumer)
  run(${CMAKE_COMMAND} --install ${build} --prefix ${host_prefix})
  file(GLOB_RECURSE installed RELATIVE ${host_prefix} ${host_prefix}/*)
  if(NOT installed STREQUAL "${CMAKE_INSTALL_BINDIR}/consumer")
    message(FATAL_ERROR "embedded: the host's install holds more than its program: ${installed}")
  endif()
  return()
endif()

file(GLOB_RECURSE pc_files ${prefix}/*/kelvor-quorvel.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
get_filename_component(libdir ${pc_dir} DIRECTORY)

if(STEP STREQUAL "abi-shared")
  # Every change of the exports shows as a diff of the list.
  set(library ${libdir}/libkelvor_quorvel.so)
  # Names only (addresses and kinds move with the build), in a fixed order.
  execute_process(COMMAND nm -D --defined-only --demangle ${library}
    COMMAND sed -E "s/^[0-9a-f]* [A-Za-z] //" COMMAND env LC_ALL=C sort
    OUTPUT_FILE ${build}/exported-symbols.txt RESULT_VARIABLE rc)
  file(READ ${build}/exported-symbols.txt names)
  string(REGEX MATCHALL "\n" lines "${names}")
  list(LENGTH lines count)
  if(rc OR count EQUAL 0)
    message(FATAL_ERROR "nm could not read ${library}")
  endif()
  # A function's own static or lambda leaks out with its class; no host can call it.
  string(REGEX MATCHALL "[^\n]*\\)::[^\n]*" locals "${names}")
  if(locals)
    message(FATAL_ERROR "the library exports what no host can call: ${locals}")
  endif()
  execute_process(COMMAND diff -u ${SYMBOLS} ${build}/exported-symbols.txt RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "the library exports ${count} symbols, not the list's: if the change is "
      "meant, copy ${build}/exported-symbols.txt to ${SYMBOLS} (and see the README's policy)")
  endif()
  return()
endif()
if(STEP MATCHES "^c-")
  # The way a C host's Makefile would: C11, warnings as errors, flags from pkg-config.
  pkg_config_flags(${pc_dir} ${kind} flags)
  run(cc -std=c11 -Wall -Wextra -Werror -pedantic ${CAPI_SOURCE}/capi_test.c
    -o ${build}/capi_test ${flags})
  set(ENV{LD_LIBRARY_PATH} ${libdir})
  run(${PYTHON} -B ${CAPI_SOURCE}/capi_check.py ${COLLECTOR} ${build}/capi_test)
  return()
endif()
if(STEP STREQUAL "python-shared")
  run(${PYTHON} -B ${CAPI_SOURCE}/ctypes_test.py ${COLLECTOR} ${libdir}/libkelvor_quorvel.so)
  return()
endif()
if(STEP STREQUAL "json-diagnostics-static")
  # A host whose nlohmann::json differs from the library's must stop at compile time, saying why.
  pkg_config_flags(${pc_dir} ${kind} flags)
  execute_process(COMMAND c++ -std=c++17 -DJSON_DIAGNOSTICS=1 -fsyntax-only
    ${CONSUMER_SOURCE}/main.cpp ${flags} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc)
    message(FATAL_ERROR "compiled with JSON_DIAGNOSTICS=1 against a library built without it")
  endif()
  if(NOT err MATCHES "#error \"KelvorQuorvel was built without JSON_DIAGNOSTICS")
    message(FATAL_ERROR "the compile failed without the library's message:\n${err}")
  endif()
  return()
endif()

if(STEP MATCHES "^cmake-")
  file(GLOB_RECURSE config_files ${prefix}/*/KelvorQuorvelConfig.cmake)
  list(GET config_files 0 config_file)
  get_filename_component(config_dir ${config_file} DIRECTORY)
  run(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${build} -G ${GENERATOR}
    -DKelvorQuorvel_DIR=${config_dir})
  # The package must leave a C++17 host on C++17.
  file(READ ${build}/compile_commands.json commands)
  if(NOT commands MATCHES "-std=c\\+\\+17" OR commands MATCHES "-std=c\\+\\+2")
    message(FATAL_ERROR "the consumer is not compiled as C++17:\n${commands}")
  endif()
  run(${CMAKE_COMMAND} --build ${build})
else()
  # The way a Makefile would: flags from pkg-config, nothing else.
  pkg_config_flags(${pc_dir} ${kind} flags)
  run(c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror ${CONSUMER_SOURCE}/main.cpp
    -o ${build}/consumer ${flags})
endif()
set(ENV{LD_LIBRARY_PATH} ${libdir})
run(${build}/consumer)
