# Shared build settings: warnings, sanitizers and the helpers that every
# component's CMakeLists uses.

set(KORVANE_WARNINGS -Wall -Wextra -Wpedantic)

if(KORVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# korvane_warnings(target): the project's warning set, as errors in CI builds.
function(korvane_warnings target)
  target_compile_options(${target} PRIVATE ${KORVANE_WARNINGS})
endfunction()

# korvane_test(NAME name SOURCES ... LIBS ...): one GoogleTest program whose
# tests CTest discovers one by one.
function(korvane_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  korvane_warnings(${T_NAME})
  # Server applications run their classes in the host program.
  add_dependencies(${T_NAME} korvane-comhost)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${T_NAME} PRIVATE
    KORVANE_BINARY_DIR="${PROJECT_BINARY_DIR}"
    KORVANE_SINK_PATH="$<TARGET_FILE:Korvane>")
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# korvane_fuzz(NAME name SOURCES ... LIBS ... CORPUS dir): a libFuzzer target,
# built only in the fuzzing build, run briefly as a test.
set(KORVANE_FUZZ_SECONDS 5 CACHE STRING "How long each fuzz target runs as a test")

function(korvane_fuzz)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT KORVANE_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_include_directories(${F_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  set(work ${PROJECT_BINARY_DIR}/fuzz/${F_NAME})
  add_test(NAME fuzz.${F_NAME}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
            $<TARGET_FILE:${F_NAME}> -max_total_time=${KORVANE_FUZZ_SECONDS} -timeout=10
            -artifact_prefix=${work}/ ${work}/corpus ${F_CORPUS})
  file(MAKE_DIRECTORY ${work}/corpus)
  set_tests_properties(fuzz.${F_NAME} PROPERTIES TIMEOUT 300 LABELS fuzz)
endfunction()
