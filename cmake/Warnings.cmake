# Applied per target with morvale_warnings(<target>) so that third-party code is not affected.
function(morvale_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Woverloaded-virtual -Wconversion -Wnull-dereference
    -Wformat=2 -Wimplicit-fallthrough)
  # clang's -Wconversion also flags sign changes, which gcc's does not for C++; the clang builds
  # (ThreadSanitizer, fuzzing) check what the main gcc build checks.
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wno-sign-conversion)
  endif()
  if(MORVALE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# A GoogleTest executable for one module, registered with CTest.
function(morvale_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  morvale_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} test_support GTest::gtest GTest::gtest_main)
  # Compiled in rather than passed through the environment: ctest's discovered tests take one variable.
  target_compile_definitions(${name} PRIVATE MORVALE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 1500 LABELS ${name}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# One static library per subsystem: every .cpp beside its CMakeLists, headers included as "<folder>/x.h".
function(morvale_module name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  morvale_warnings(${name})
endfunction()
