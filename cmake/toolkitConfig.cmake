include(CMakeFindDependencyMacro)
find_dependency(OpenCV 4 COMPONENTS core imgproc imgcodecs photo video)
find_dependency(OpenMP COMPONENTS CXX)
include("${CMAKE_CURRENT_LIST_DIR}/toolkitTargets.cmake")
