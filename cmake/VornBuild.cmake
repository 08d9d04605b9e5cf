# One function per kind of target, so that adding a component takes three lines.

set(VORN_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)
# g++ 12 at -O3 reports a bogus -Wrestrict overlap inside std::string concatenation
# (GCC bug 105329); keep it a warning there so that optimised builds still fail on real ones.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND VORN_WARNINGS -Wno-error=restrict)
endif()

# Library objects also go into the shared libraries (cmake/VornPackage.cmake).
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# vorn_library(<name> [HIDDEN] SOURCES <files...> DEPS <targets...>)
# A static library of one folder, whose headers are included relative to the project root;
# DEPS names the folders' libraries it builds on. HIDDEN compiles it with hidden visibility:
# only what api/Export.h marks leaves the shared library its objects go into. Every library
# waits for the layering check (scripts/check-layering.py).
function(vorn_library name)
  cmake_parse_arguments(ARG "HIDDEN" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    target_compile_options(${name} PRIVATE ${VORN_WARNINGS})
    if(ARG_HIDDEN)
      set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    endif()
    if(TARGET vorn_layering)
      add_dependencies(${name} vorn_layering)
    endif()
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# vorn_test(<name> SOURCES <files...> DEPS <targets...>)
# A GoogleTest binary registered with CTest; every test case runs as its own CTest test.
function(vorn_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} vorn_testsupport GTest::gmock GTest::gtest_main)
  target_compile_options(${name} PRIVATE ${VORN_WARNINGS})
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    # Tests run under an emulator, which keeps some process limits to itself.
    target_compile_definitions(${name} PRIVATE VORN_TEST_EMULATED=1)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# vorn_executable(<name> SOURCES <files...> DEPS <targets...>)
function(vorn_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_compile_options(${name} PRIVATE ${VORN_WARNINGS})
endfunction()

# vorn_benchmark(<name> SOURCES <files...> DEPS <targets...>)
function(vorn_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  target_compile_options(${name} PRIVATE ${VORN_WARNINGS})
  vorn_link_allocator(${name})
endfunction()

# vorn_link_allocator(<executable>): with VORN_TCMALLOC, the program allocates with TCMalloc. It
# is linked even though no symbol names it (it replaces malloc), so --as-needed must not drop it.
function(vorn_link_allocator name)
  if(VORN_TCMALLOC)
    target_link_libraries(${name} PRIVATE -Wl,--push-state,--no-as-needed ${VORN_TCMALLOC_LIBRARY} -Wl,--pop-state)
  endif()
endfunction()

include(GoogleTest)
