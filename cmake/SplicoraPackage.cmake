# The Debian package: `cpack -G DEB` in the build folder. Dependencies come
# from the binaries (dpkg-shlibdeps) plus what is loaded at run time: LAME
# for MP3, and Qt's own Russian texts.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME splicora)
set(CPACK_PACKAGE_VENDOR "the Splicora developers")
set(CPACK_PACKAGE_CONTACT "${SPLICORA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "join AVI clips into one AVI file")
set(CPACK_PACKAGE_DESCRIPTION
  "Splicora joins several AVI clips into one AVI file. The clips are listed in
order in a window (or on the command line with splicora-cli); each is
inspected and checked against the first one. The join copies the streams as
they are, fast and without loss, or re-encodes the video with a chosen
compressor and converts the audio to MP3. English and Russian interface.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libmp3lame0, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)
