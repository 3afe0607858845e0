# The extension module. It links neither libpython nor NumPy: interpreter
# functions resolve from the loading process, NumPy's API is taken at run
# time, and only PyInit_molvenar is exported.
find_package(Python 3.12 REQUIRED COMPONENTS Interpreter Development.Module)

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import numpy; print(numpy.get_include())"
  OUTPUT_VARIABLE MOLVENAR_NUMPY_INCLUDE
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE numpy_include_result)
if(NOT numpy_include_result EQUAL 0)
  message(FATAL_ERROR "NumPy's headers are needed to build molvenar (pip install 'numpy>=2')")
endif()

file(GLOB MOLVENAR_MODULE_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/module/*.cpp
     ${CMAKE_SOURCE_DIR}/numpy_bridge/*.cpp
     ${CMAKE_SOURCE_DIR}/errors/*.cpp)
list(REMOVE_ITEM MOLVENAR_MODULE_SOURCES ${CMAKE_SOURCE_DIR}/errors/fault_report.cpp)

Python_add_library(molvenar MODULE WITH_SOABI ${MOLVENAR_MODULE_SOURCES})
target_include_directories(molvenar PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(molvenar SYSTEM PRIVATE ${MOLVENAR_NUMPY_INCLUDE})
target_compile_options(molvenar PRIVATE ${MOLVENAR_CODE_OPTIONS})
target_link_libraries(molvenar PRIVATE molvenar_kernels)
target_link_options(molvenar PRIVATE
  -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/exports.map
  -Wl,--as-needed)
set_target_properties(molvenar PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/exports.map)

install(TARGETS molvenar LIBRARY DESTINATION .)
