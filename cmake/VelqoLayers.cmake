include(GNUInstallDirs)
set(VELQO_LAYERS "")

# velqo_add_layer(<name> <source dir> [lower layers...])
# Compiles every .cpp under <source dir> once into velqo_<name>_objects, and wraps
# those objects in the static library velqo_<name> (linked to its lower layers) for
# the tests, the benchmarks and the reference service. The installed library
# `velqo` is assembled from the same objects.
function(velqo_add_layer name dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  add_library(velqo_${name}_objects OBJECT ${sources})
  target_include_directories(velqo_${name}_objects
    PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_compile_definitions(velqo_${name}_objects
    PUBLIC $<$<NOT:$<BOOL:${BUILD_SHARED_LIBS}>>:VELQO_STATIC>
    PRIVATE VELQO_BUILDING_LIBRARY VELQO_LIBRARY_VERSION="${PROJECT_VERSION}")
  target_link_libraries(velqo_${name}_objects
    PRIVATE velqo_warnings OpenSSL::Crypto OpenSSL::SSL CURL::libcurl nlohmann_json::nlohmann_json
            Threads::Threads)

  add_library(velqo_${name} STATIC $<TARGET_OBJECTS:velqo_${name}_objects>)
  target_include_directories(velqo_${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_compile_definitions(velqo_${name} PUBLIC VELQO_STATIC)
  target_link_libraries(velqo_${name} PUBLIC OpenSSL::Crypto OpenSSL::SSL CURL::libcurl Threads::Threads)
  # ICU serves the platform layer alone; the layers above reach it through platform.
  if(name STREQUAL "platform")
    target_link_libraries(velqo_${name}_objects PRIVATE ICU::uc)
    target_link_libraries(velqo_${name} PUBLIC ICU::uc)
  endif()
  # Private headers of lower layers (src/) are visible to the layers above.
  foreach(lower IN LISTS ARGN)
    target_link_libraries(velqo_${name} PUBLIC velqo_${lower})
  endforeach()
  set(VELQO_LAYERS ${VELQO_LAYERS} ${name} PARENT_SCOPE)
endfunction()
