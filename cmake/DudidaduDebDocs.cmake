# Run by cpack after it has installed into its staging folder: a Debian
# package carries its licence as usr/share/doc/PACKAGE/copyright and its
# history as changelog.gz in Debian's format (the project's own CHANGELOG.md
# stays beside it).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(doc ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/${CPACK_DUDIDADU_DOCDIR})
if(NOT IS_DIRECTORY ${doc})
  message(FATAL_ERROR "no documentation folder ${doc} in the package")
endif()

file(READ ${CPACK_DUDIDADU_SOURCE_DIR}/LICENSE licence)
file(WRITE ${doc}/copyright "${CPACK_PACKAGE_NAME} ${CPACK_PACKAGE_VERSION}, by ${CPACK_PACKAGE_VENDOR}, under the MIT licence:

${licence}")
file(REMOVE ${doc}/LICENSE)

file(WRITE ${doc}/changelog "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}: see CHANGELOG.md beside this file.

 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${CPACK_DUDIDADU_DATE}
")
execute_process(COMMAND gzip -9n ${doc}/changelog RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip of ${doc}/changelog failed")
endif()
