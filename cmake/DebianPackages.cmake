# The Debian packages that `make package` builds with CPack, one per install
# component, split as Debian splits a project:
#
#   component    package              holds
#   programs     photo-toolkit        the three programs, their manual pages
#                                     and the codec module the library loads
#   development  photo-toolkit-dev    the headers, the static library, the CMake
#                                     package and the pkg-config file
#   python       python3-photocolour  the Python package photocolour
#
# Each install() rule names its component. The component "plain-install" is
# in no package: the licence and the samples' licences under share/doc/toolkit
# (each package carries the licence as Debian's copyright file, and the
# samples are not packaged) and the codec module beside the Python module
# (the package's module finds the programs' package's). What the programs'
# package holds besides the programs, the codec module, serves all three: the
# other two depend on it at exactly this version.

set(TOOLKIT_DEB_MAINTAINER "Photographic colour toolkit developers <photo-toolkit@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
# Debian revision: raised when the packaging changes but the toolkit does not.
set(TOOLKIT_DEB_REVISION 1)
# Until 0.1.0, one package, photo-toolkit, held everything; the development and
# Python packages take over its files.
set(single_package "photo-toolkit (<< 0.1.0-1)")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs development)
if(TOOLKIT_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_PACKAGE_NAME photo-toolkit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TOOLKIT_DEB_REVISION})
set(CPACK_PACKAGE_CONTACT ${TOOLKIT_DEB_MAINTAINER})
# The packages hold what the build was configured for: the library looks for
# its codec module in the configured <libdir>/toolkit. make package configures
# the prefix /usr; a build for /usr/local makes packages lintian refuses.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE photo-toolkit)
# Programs and the module stripped, as Debian ships them.
set(CPACK_STRIP_FILES ON)
# Control files owned by root with Debian's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Runtime dependencies of every ELF file, found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A component's CPACK_COMPONENT_<NAME>_DEPENDS becomes "package (= version)".
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Descriptions: the first line is the synopsis, the rest the long description.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME photo-toolkit)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION
    "compare photographs by colour appearance and CIE L*a*b* histograms
Programs for photographic colour research: perceptual-metrics compares two
photographs by the histograms of five colour-appearance attributes
(brightness, lightness, chroma, colourfulness, saturation), lab-compare by the
histograms of their CIE L*a*b* channels, and compare-pairs runs both over many
pairs into one table.

The package also holds the module through which the toolkit's library reads
images with OpenCV's codecs, for the programs, the Python module and programs
built with photo-toolkit-dev.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME photo-toolkit-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS programs)
# What a consumer's build needs: the dependencies toolkitConfig.cmake finds and
# toolkit.pc requires (OpenCV, libpng, libjpeg, Little CMS 2, libheif, and
# pkg-config for both).
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libopencv-dev, libpng-dev, libjpeg-dev, liblcms2-dev, libheif-dev, pkg-config")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_BREAKS ${single_package})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_REPLACES ${single_package})
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "colour-image toolkit for photographic research - development files
A C++17 library of colour-image operations built on OpenCV: colour-space
conversions, a CIE CAM02 appearance model, CAT02 chromatic adaptation, the
guided filter, optimal-transport colour transfer and exposure stacks.

This package holds the headers, the static library, the CMake package
(find_package(toolkit)) and the pkg-config file (toolkit).")

if(TOOLKIT_BUILD_PYTHON)
  # The native module's file name carries the interpreter's version (as
  # .cpython-311-x86_64-linux-gnu.so) in the directory all of Debian's python3
  # versions share, so it serves that version alone.
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  math(EXPR python_next_minor "${Python3_VERSION_MINOR} + 1")
  set(python_depends "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), \
python3 (<< ${Python3_VERSION_MAJOR}.${python_next_minor})")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-photocolour)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_COMPONENT_PYTHON_DEPENDS programs)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${python_depends}, python3-numpy")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_BREAKS ${single_package})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_REPLACES ${single_package})
  # Byte-compiles the module's Python files after installing and removes the
  # compiled files before removal, as Debian's Python packages do.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/python3-photocolour/postinst
                                                ${PROJECT_SOURCE_DIR}/cmake/debian/python3-photocolour/prerm)
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION
      "Python 3 module of the photographic colour toolkit
The module photocolour compares photographs as the programs of photo-toolkit
do, to the same figures, and offers the toolkit's colour conversions,
appearance model, guided filter, colour transfer and tone mapping on numpy
arrays.")
endif()

# Each package's copyright file and changelog, in /usr/share/doc/<package> as
# Debian wants them; a plain install leaves them out.
find_program(GZIP gzip REQUIRED)
set(changelog ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian
  COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
  COMMENT "Debian changelog")
add_custom_target(debian_changelog ALL DEPENDS ${changelog})
foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} name)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${name}_PACKAGE_NAME}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
