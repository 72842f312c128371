# Installation: the library, its header, a CMake package and a pkg-config file.
include(GNUInstallDirs)
