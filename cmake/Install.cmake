# Headers, libraries, a CMake package (find_package(mfpsys) -> mfpsys::mfpsys)
# and a pkg-config file.
include(CMakePackageConfigHelpers)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/mfpsys
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# A board build installs no heap: clients link the board's own library.
if(TARGET mfpheap)
  set(MFPSYS_INSTALLED_HEAP mfpheap)
  set(MFPSYS_PC_LIBS "-L\${libdir} -lmfpsys")
  set(MFPSYS_PC_LIBS_PRIVATE "-lmfpheap -lpthread")
else()
  set(MFPSYS_INSTALLED_HEAP)
  set(MFPSYS_PC_LIBS "-L\${libdir} -lmfpsys -l${MFPSYS_HEAP_LIBRARY}")
  set(MFPSYS_PC_LIBS_PRIVATE "-lpthread")
endif()
install(TARGETS mfpsys ${MFPSYS_INSTALLED_HEAP} EXPORT mfpsysTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT mfpsysTargets NAMESPACE mfpsys::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mfpsys)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/mfpsysConfig.cmake.in
  ${PROJECT_BINARY_DIR}/mfpsysConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mfpsys)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/mfpsysConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/mfpsysConfig.cmake
              ${PROJECT_BINARY_DIR}/mfpsysConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mfpsys)
# Relocatable: the prefix is found from where the .pc file lies, so a tree
# installed with --prefix elsewhere than configured still resolves.
file(RELATIVE_PATH MFPSYS_PC_PREFIX_REL
     ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/mfpsys.pc.in
               ${PROJECT_BINARY_DIR}/mfpsys.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mfpsys.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
