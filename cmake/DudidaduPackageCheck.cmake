# Read by cpack for each package it makes. A .deb installs into /usr, and
# Debian keeps libraries there in the multiarch folder: the build's install
# rules must say so.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_DUDIDADU_LIBDIR STREQUAL CPACK_DUDIDADU_DEB_LIBDIR)
  message(FATAL_ERROR "The .deb installs into /usr, whose libraries live in /usr/${CPACK_DUDIDADU_DEB_LIBDIR}; "
    "this build installs them into ${CPACK_DUDIDADU_PREFIX}/${CPACK_DUDIDADU_LIBDIR}. Configure it for /usr "
    "(cmake -DCMAKE_INSTALL_PREFIX=/usr BUILD-DIR) and run cpack again.")
endif()
