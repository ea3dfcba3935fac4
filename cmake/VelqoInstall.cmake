include(CMakePackageConfigHelpers)

install(TARGETS velqo EXPORT velqoTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/velqo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT velqoTargets NAMESPACE velqo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/velqo)

configure_package_config_file(cmake/velqoConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/velqoConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/velqo)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/velqoConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velqoConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/velqoConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/velqo)

# A static libvelqo.a needs OpenSSL, libcurl, ICU and threads when the host links, so for a
# static build they are in Requires and Libs, not only in the .private fields:
# `pkg-config --cflags --libs velqo` then links a host as it is (`--static` is not needed).
# libcurl goes in as a plain -lcurl: through its own .pc file `--static` would ask for the
# static dependencies of libcurl itself, which a host linking the shared libcurl does not have.
if(BUILD_SHARED_LIBS)
  set(VELQO_PC_CFLAGS "")
  set(VELQO_PC_REQUIRES "")
  set(VELQO_PC_LIBS "")
else()
  set(VELQO_PC_CFLAGS "-DVELQO_STATIC")
  set(VELQO_PC_REQUIRES "libssl libcrypto icu-uc")
  set(VELQO_PC_LIBS "-lcurl -pthread")
endif()
# The .pc file finds the prefix from its own place, so an install with `cmake --install
# --prefix` or a moved tree still points at the right directories.
set(VELQO_PC_PREFIX "\${pcfiledir}")
if(NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  file(RELATIVE_PATH pc_up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  set(VELQO_PC_PREFIX "\${pcfiledir}/${pc_up}")
  string(REGEX REPLACE "/$" "" VELQO_PC_PREFIX "${VELQO_PC_PREFIX}")
endif()
foreach(kind IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VELQO_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VELQO_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(cmake/velqo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velqo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velqo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
