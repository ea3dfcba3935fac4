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

if(BUILD_SHARED_LIBS)
  set(VELQO_PC_CFLAGS "")
  set(VELQO_PC_PRIVATE_LIBS "")
else()
  set(VELQO_PC_CFLAGS "-DVELQO_STATIC")
  set(VELQO_PC_PRIVATE_LIBS "-lpthread")
endif()
configure_file(cmake/velqo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velqo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velqo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
