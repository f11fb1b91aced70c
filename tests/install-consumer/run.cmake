# One step of the consumer tests (STEP): install a prefix, or build and run the consumer in it.
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc)
    message(FATAL_ERROR "failed (${rc}): ${ARGV}\n${out}\n${err}")
  endif()
endfunction()

string(REGEX MATCH "(static|shared)$" kind "${STEP}")
set(prefix ${WORK}/prefix-${kind})
include(GNUInstallDirs)

if(STEP STREQUAL "install-static")
  file(REMOVE_RECURSE ${prefix})
  run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})
  return()
endif()
if(STEP STREQUAL "install-shared")
  # The library alone, shared: no tests, tools or examples.
  file(REMOVE_RECURSE ${prefix} ${WORK}/shared-build)
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK}/shared-build -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DBUILD_SHARED_LIBS=ON -DKELVOR_BUILD_TESTS=OFF
    -DKELVOR_BUILD_EXAMPLES=OFF -DKELVOR_BUILD_TOOLS=OFF)
  run(${CMAKE_COMMAND} --build ${WORK}/shared-build)
  run(${CMAKE_COMMAND} --install ${WORK}/shared-build --prefix ${prefix})
  return()
endif()

set(build ${WORK}/consumer-${STEP})
file(REMOVE_RECURSE ${build})
file(MAKE_DIRECTORY ${build})
file(GLOB_RECURSE pc_files ${prefix}/*/kelvor-quorvel.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
get_filename_component(libdir ${pc_dir} DIRECTORY)

if(STEP MATCHES "^cmake-")
  run(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${build} -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${build})
else()
  # The way a Makefile would: flags from pkg-config, nothing else.
  set(static_flag "")
  if(kind STREQUAL "static")
    set(static_flag --static)
  endif()
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  execute_process(COMMAND pkg-config ${static_flag} --cflags --libs kelvor-quorvel
    OUTPUT_VARIABLE flags RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc)
    message(FATAL_ERROR "pkg-config failed")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(c++ -std=c++20 -Wall -Wextra -Werror ${CONSUMER_SOURCE}/main.cpp -o ${build}/consumer
    ${flags})
endif()
set(ENV{LD_LIBRARY_PATH} ${libdir})
run(${build}/consumer)
