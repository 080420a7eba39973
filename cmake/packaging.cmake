# What a site gets: `cmake --install` rules and one CPack archive per target
# (scripts/package.sh makes both). Windows keeps the programs beside the DLLs,
# where Windows and eibhost look for them; Linux has bin/ and lib/, and eibhost
# looks in ../lib/. Nothing is linked against the libraries at load time, so
# the programs need no run path. Both carry the building scenario, the sessions
# and a README for the site.
if(QEL_WIN32)
  set(QEL_PACKAGE_TARGET windows-i686)
  set(QEL_PROGRAM_DIR .)
  set(QEL_LIBRARY_DIR .)
  set(CPACK_GENERATOR ZIP)
else()
  set(QEL_PACKAGE_TARGET linux-i386)
  set(QEL_PROGRAM_DIR bin)
  set(QEL_LIBRARY_DIR lib)
  set(CPACK_GENERATOR TGZ)
endif()

# A DLL's import library is for linking against it, which no site does.
install(TARGETS qeleib huxtor
        RUNTIME DESTINATION ${QEL_LIBRARY_DIR}
        LIBRARY DESTINATION ${QEL_LIBRARY_DIR}
        ARCHIVE DESTINATION lib COMPONENT import_libraries EXCLUDE_FROM_ALL)
install(TARGETS eibhost bcusim RUNTIME DESTINATION ${QEL_PROGRAM_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/tools/bcusim/scenarios/building.toml DESTINATION scenarios)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/tools/eibhost/examples/ DESTINATION examples FILES_MATCHING PATTERN "*.toml")
install(FILES ${CMAKE_SOURCE_DIR}/packaging/README-${QEL_PACKAGE_TARGET}.txt DESTINATION . RENAME README.txt)
if(QEL_WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/scripts/demo.cmd DESTINATION .)
endif()

set(CPACK_PACKAGE_NAME qeleib)
set(CPACK_PACKAGE_VENDOR qeleib)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME qeleib-${PROJECT_VERSION}-${QEL_PACKAGE_TARGET})
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
include(CPack)
