# The tools' libraries for another CMake project: find_package(tools CONFIG)
# gives the imported targets tools::lwp, tools::pipeline and tools::slurp,
# each carrying its include folder and what a link of it needs.
include(${CMAKE_CURRENT_LIST_DIR}/tools-targets.cmake)
