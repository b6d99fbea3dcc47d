# One helper per kind of target, so each CMakeLists.txt stays a few lines long.
include_guard(GLOBAL)

# Warnings on our own code only (third-party headers come in as system includes); errors only
# where TARV_WERROR asks for them: the presets and so CI.
function(tarv_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                           $<$<BOOL:${TARV_WERROR}>:-Werror>)
endfunction()

# tarv_library(name SOURCES ... [DEPS ...]) -> static library tarv_<name>, headers under src/.
function(tarv_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(tarv_${name} STATIC ${ARG_SOURCES})
    target_include_directories(tarv_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tarv_${name} PUBLIC ${ARG_DEPS})
    tarv_warnings(tarv_${name})
endfunction()

# tarv_executable(name SOURCES ... [DEPS ...])
function(tarv_executable name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    tarv_warnings(${name})
endfunction()

# tarv_test(name SOURCES ... [DEPS ...]) -> GoogleTest executable, its cases registered with CTest.
function(tarv_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    tarv_warnings(${name})
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# tarv_benchmark(name SOURCES ... [DEPS ...]) -> Google Benchmark executable (not a test).
function(tarv_benchmark name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
    tarv_warnings(${name})
endfunction()

# tarv_fuzz(name SOURCES ... [DEPS ...]) -> libFuzzer target; only built by the fuzz preset.
function(tarv_fuzz name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    tarv_warnings(${name})
endfunction()
