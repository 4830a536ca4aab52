# The module line, checked: every module uses only the modules to its right.
#
#   install -> widgets -> remotedata -> connection -> memdata -> messaging -> base
#   server  -> memdata, messaging, base
#   tools   -> remotedata and everything to its right
#
# Nothing uses install, server or tools. A module "uses" another when one of
# its sources includes a header of it ("memdata/..."), or when one of its
# CMakeLists.txt names a target of it (rda_memdata, rda_connection_core, ...).
# tests/, fuzz/ and bench/ are no modules: they may use anything.
#
#   cmake -DRDA_SOURCE_DIR=<tree> -P cmake/CheckModuleLine.cmake
#
# Prints each use against the line and fails when there is one.

cmake_minimum_required(VERSION 3.25)

if(NOT RDA_SOURCE_DIR)
  get_filename_component(RDA_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
endif()

set(line base messaging memdata connection remotedata widgets install)
set(allowed_server base messaging memdata)
set(allowed_tools base messaging memdata connection remotedata)

set(modules ${line} server tools)
foreach(m ${line})
  set(allowed_${m} "")
  foreach(below ${line})
    if(below STREQUAL m)
      break()
    endif()
    list(APPEND allowed_${m} ${below})
  endforeach()
endforeach()

# The module a name belongs to ("memdata", "connection_core" -> "connection"),
# or "" for anything else.
function(module_of name result)
  set(found "")
  foreach(m ${modules})
    if(name STREQUAL m OR name MATCHES "^${m}_")
      set(found ${m})
    endif()
  endforeach()
  set(${result} "${found}" PARENT_SCOPE)
endfunction()

set(violations 0)
set(checked 0)

# Counts one use of module `used` by module `m` (none when it is not another
# module) and reports it when `used` is not below `m`; `what` says where.
macro(check_use m used what)
  if(NOT "${used}" STREQUAL "" AND NOT "${used}" STREQUAL "${m}")
    math(EXPR checked "${checked} + 1")
    if(NOT "${used}" IN_LIST allowed_${m})
      message("${what}: ${used} is not below ${m} on the module line")
      math(EXPR violations "${violations} + 1")
    endif()
  endif()
endmacro()
foreach(m ${modules})
  if(NOT IS_DIRECTORY "${RDA_SOURCE_DIR}/${m}")
    continue()
  endif()
  file(GLOB_RECURSE sources RELATIVE "${RDA_SOURCE_DIR}"
       "${RDA_SOURCE_DIR}/${m}/*.h" "${RDA_SOURCE_DIR}/${m}/*.cpp")
  list(SORT sources)
  foreach(source ${sources})
    file(STRINGS "${RDA_SOURCE_DIR}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(include ${includes})
      if(NOT include MATCHES "\"([A-Za-z0-9_]+)/([^\"]*)\"")
        continue()
      endif()
      set(target_dir ${CMAKE_MATCH_1})
      set(header "${CMAKE_MATCH_1}/${CMAKE_MATCH_2}")
      module_of(${target_dir} used)
      check_use(${m} "${used}" "${source} includes ${header}")
    endforeach()
  endforeach()

  file(GLOB_RECURSE lists RELATIVE "${RDA_SOURCE_DIR}" "${RDA_SOURCE_DIR}/${m}/CMakeLists.txt")
  list(SORT lists)
  foreach(cmakelists ${lists})
    file(STRINGS "${RDA_SOURCE_DIR}/${cmakelists}" lines)
    foreach(text ${lines})
      string(REGEX REPLACE "#.*" "" text "${text}")
      string(REGEX MATCHALL "rda_[a-z0-9_]+" names "${text}")
      foreach(name ${names})
        string(REGEX REPLACE "^rda_" "" bare ${name})
        module_of(${bare} used)
        check_use(${m} "${used}" "${cmakelists} links ${name}")
      endforeach()
    endforeach()
  endforeach()
endforeach()

if(violations GREATER 0)
  message(FATAL_ERROR "The module line is broken in ${violations} place(s); DESIGN.md, \"Dependency direction\", has the line.")
endif()
message("The module line holds: ${checked} uses of other modules, each below its user.")
