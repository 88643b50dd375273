# The library's two lists, src/native-methods.txt and src/entry-points.txt,
# are plain "Name number" lines (# starts a comment). Everything that needs
# one reads it through here.

# varnel_read_list(FILE NAMES_VAR NUMBERS_VAR): the names and numbers of
# FILE's rows, in order; the build is reconfigured when FILE changes.
function(varnel_read_list file names_var numbers_var)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  file(STRINGS "${file}" lines)
  set(names "")
  set(numbers "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*(#|$)")
      continue()
    endif()
    if(NOT line MATCHES "^[ \t]*([A-Za-z_][A-Za-z0-9_]*)[ \t]+([0-9]+)[ \t]*$")
      message(FATAL_ERROR "${file}: expected \"Name number\", got \"${line}\"")
    endif()
    list(APPEND names ${CMAKE_MATCH_1})
    list(APPEND numbers ${CMAKE_MATCH_2})
  endforeach()
  set(${names_var} ${names} PARENT_SCOPE)
  set(${numbers_var} ${numbers} PARENT_SCOPE)
endfunction()

# varnel_write_x_macro(FILE MACRO NAMES NUMBERS SOURCE): a header defining
# MACRO(X) as X(name, number) for each row.
function(varnel_write_x_macro file macro names numbers source)
  set(rows "")
  foreach(name number IN ZIP_LISTS names numbers)
    string(APPEND rows "    X(${name}, ${number}) \\\n")
  endforeach()
  file(CONFIGURE OUTPUT "${file}" CONTENT
    "// Made by CMake from ${source}.\n#pragma once\n#define ${macro}(X) \\\n${rows}\n" @ONLY)
endfunction()
