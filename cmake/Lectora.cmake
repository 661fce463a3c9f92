# A file named *_windows.cpp is built for Windows only, *_posix.cpp for
# every other platform: the few places that differ say so in their names.
function(lectora_platform_filter list_var)
  if(WIN32)
    list(FILTER ${list_var} EXCLUDE REGEX "_posix\\.cpp$")
  else()
    list(FILTER ${list_var} EXCLUDE REGEX "_windows\\.cpp$")
  endif()
  set(${list_var} ${${list_var}} PARENT_SCOPE)
endfunction()

# Every folder builds one static library from the sources it holds; new files
# are picked up at the next build without touching the lists.
function(lectora_library name)
  cmake_parse_arguments(ARG "" "" "LINKS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h
       ${CMAKE_CURRENT_SOURCE_DIR}/*.ui)
  lectora_platform_filter(sources)
  foreach(ex IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ex}")
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LINKS})
  target_compile_options(${name} PRIVATE -Wall -Wextra)
endfunction()

# A Qt Test executable per tests/<folder>/tst_*.cpp, run by CTest offscreen.
function(lectora_test source)
  cmake_parse_arguments(ARG "" "" "LINKS;LABELS" ${ARGN})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${ARG_LINKS})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LECTORA_PROFILE="
    TIMEOUT 600
    LABELS "${ARG_LABELS}")
endfunction()
