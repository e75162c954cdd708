# Shared compiler settings and the helpers every folder uses to declare its targets.

add_library(velmora_options INTERFACE)
target_compile_options(velmora_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
  -Wno-sign-conversion -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual)
if(VELMORA_WERROR)
  target_compile_options(velmora_options INTERFACE -Werror)
endif()
target_include_directories(velmora_options INTERFACE ${PROJECT_SOURCE_DIR})

if(VELMORA_SANITIZERS)
  add_compile_options(-fsanitize=${VELMORA_SANITIZERS} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VELMORA_SANITIZERS})
endif()
if(VELMORA_FUZZ)
  # Coverage feedback for the fuzzers in every library; the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# velmora_library(NAME SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
function(velmora_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC velmora_options ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
endfunction()

# velmora_test(NAME SOURCES ... LIBS ... [LABELS label]): one GoogleTest executable, each test its own
# ctest entry, labelled "unit" unless a label is given ("concurrent" tests also run under ThreadSanitizer).
function(velmora_test name)
  if(NOT VELMORA_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE velmora_options ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  # One label per test: gtest_discover_tests cannot pass a list through PROPERTIES.
  set(label unit)
  if(ARG_LABELS)
    list(GET ARG_LABELS 0 label)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label} TIMEOUT 120)
  if("concurrent" IN_LIST ARG_LABELS)
    set_property(GLOBAL APPEND PROPERTY VELMORA_CONCURRENT_TEST_TARGETS ${name})
  endif()
endfunction()

# Lists the test executables labelled "concurrent", which scripts/test also runs under
# ThreadSanitizer; call once at the end of the top-level CMakeLists.txt.
function(velmora_write_concurrent_test_list)
  get_property(targets GLOBAL PROPERTY VELMORA_CONCURRENT_TEST_TARGETS)
  list(JOIN targets " " text)
  file(WRITE ${CMAKE_BINARY_DIR}/concurrent-test-targets.txt "${text}\n")
endfunction()

# velmora_fuzz_target(NAME SOURCES ... LIBS ...): built only with VELMORA_FUZZ (clang).
function(velmora_fuzz_target name)
  if(NOT VELMORA_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE velmora_options ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY VELMORA_FUZZ_TARGETS ${name})
endfunction()

# velmora_benchmark(NAME SOURCES ... LIBS ...)
function(velmora_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE velmora_options ${ARG_LIBS} benchmark::benchmark)
endfunction()

# velmora_wayland_protocol_library(NAME FOLDER folder PROTOCOLS xml ... LIBS ...): the client code
# wayland-scanner generates for each protocol description, at build time, as one static library;
# its headers are included as "FOLDER/protocols/NAME-client.h".
function(velmora_wayland_protocol_library name)
  cmake_parse_arguments(ARG "" "FOLDER" "PROTOCOLS;LIBS" ${ARGN})
  pkg_get_variable(scanner wayland-scanner wayland_scanner)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/generated)
  file(MAKE_DIRECTORY ${generated}/${ARG_FOLDER}/protocols)
  set(sources)
  foreach(protocol ${ARG_PROTOCOLS})
    get_filename_component(base ${protocol} NAME_WE)
    set(header ${generated}/${ARG_FOLDER}/protocols/${base}-client.h)
    set(code ${generated}/${base}.c)
    add_custom_command(OUTPUT ${header} ${code}
      COMMAND ${scanner} client-header ${protocol} ${header}
      COMMAND ${scanner} private-code ${protocol} ${code}
      DEPENDS ${protocol}
      COMMENT "wayland-scanner ${base}")
    list(APPEND sources ${header} ${code})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} SYSTEM PUBLIC ${generated})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()
