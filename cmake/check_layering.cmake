# Checks that each layer includes only itself and the layers below it.
#
#   cmake -DVELQO_SOURCE_DIR=<source tree> -P cmake/check_layering.cmake
#
# A layer's files are src/<layer>/... and include/velqo/<layer>/...; a header belongs to layer K
# when it is included as "<K>/..." or "velqo/<K>/...", or when a relative include lands in one
# of K's directories. Headers outside every layer (velqo/export.hpp, the standard library,
# third-party libraries) may be included anywhere.

# Lowest first: each may include only the ones before it and itself.
set(layers platform core api v1/protocol v1/flows account)

if(NOT VELQO_SOURCE_DIR)
  get_filename_component(VELQO_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
endif()

# Sets <out> to the rank of the layer that owns <path> (relative to the source tree, or an
# include spelling), or to -1.
function(layer_of path out)
  set(rank -1)
  set(i 0)
  foreach(layer IN LISTS layers)
    if(path MATCHES "^(src/|include/velqo/|velqo/)?${layer}/")
      set(rank ${i})
    endif()
    math(EXPR i "${i} + 1")
  endforeach()
  set(${out} ${rank} PARENT_SCOPE)
endfunction()

set(violations "")
set(checked 0)
file(GLOB_RECURSE files RELATIVE "${VELQO_SOURCE_DIR}"
  "${VELQO_SOURCE_DIR}/src/*.hpp" "${VELQO_SOURCE_DIR}/src/*.h" "${VELQO_SOURCE_DIR}/src/*.cpp"
  "${VELQO_SOURCE_DIR}/include/velqo/*.hpp" "${VELQO_SOURCE_DIR}/include/velqo/*.h")
foreach(file IN LISTS files)
  layer_of("${file}" own)
  if(own LESS 0)
    continue()
  endif()
  list(GET layers ${own} own_name)
  math(EXPR checked "${checked} + 1")
  get_filename_component(dir "${VELQO_SOURCE_DIR}/${file}" DIRECTORY)
  file(STRINGS "${VELQO_SOURCE_DIR}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "include[ \t]*[<\"]([^>\"]+)[>\"]")
      continue()
    endif()
    set(included "${CMAKE_MATCH_1}")
    # A quoted include is looked up next to the including file first.
    set(target "${included}")
    if(line MATCHES "\"" AND (included MATCHES "^\\.\\.?/" OR EXISTS "${dir}/${included}"))
      get_filename_component(resolved "${dir}/${included}" ABSOLUTE)
      file(RELATIVE_PATH target "${VELQO_SOURCE_DIR}" "${resolved}")
    endif()
    layer_of("${target}" rank)
    if(rank GREATER own)
      list(GET layers ${rank} rank_name)
      list(APPEND violations
        "  ${file} (${own_name}) includes \"${included}\" from the higher layer ${rank_name}")
    endif()
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "check_layering: no layer files found under ${VELQO_SOURCE_DIR}")
endif()
if(violations)
  list(LENGTH violations count)
  list(JOIN violations "\n" text)
  message(FATAL_ERROR "check_layering: ${count} include(s) reach a higher layer "
    "(low to high: platform, core, api, v1/protocol, v1/flows, account):\n${text}")
endif()
message(STATUS "check_layering: ${checked} files include only their own and lower layers")
