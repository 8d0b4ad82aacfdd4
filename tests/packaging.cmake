# The manual page, the bash completion, `cmake --install` and the Debian package.
fr2_add_test(test_packaging SOURCES test_packaging.cpp LABELS packaging TIMEOUT 300)
target_compile_definitions(test_packaging PRIVATE
  FR2_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  FR2_BUILD_DIR="${PROJECT_BINARY_DIR}"
  FR2_CMAKE_COMMAND="${CMAKE_COMMAND}")
if(TARGET fsrake2_man)
  add_dependencies(test_packaging fsrake2_man)  # the install test installs the compressed page
endif()

# Builds the package in a folder of its own, installs it with dpkg, checks it
# and removes it again. Needs root; the package is a plain release build, so
# the sanitizer configurations do not repeat it.
if(FR2_SANITIZE STREQUAL "")
  fr2_add_test(test_package_deb SOURCES test_package_deb.cpp LABELS root package TIMEOUT 1200)
  target_compile_definitions(test_package_deb PRIVATE
    FR2_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    FR2_CMAKE_COMMAND="${CMAKE_COMMAND}"
    FR2_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}"
    FR2_CMAKE_GENERATOR="${CMAKE_GENERATOR}"
    FR2_PROJECT_VERSION="${PROJECT_VERSION}")
endif()
