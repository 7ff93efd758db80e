# Chooses the Python 3.12 to build against (pyenv's 3.12 prefix when there is one) and finds
# it with FindPython3: interpreter, headers, shared runtime, and nothing else. Not a find
# module of its own: included once by the top-level CMakeLists.txt.
if(NOT Python3_EXECUTABLE AND NOT Python3_ROOT_DIR)
  find_program(TQ8_PYENV pyenv HINTS "$ENV{PYENV_ROOT}/bin" "$ENV{HOME}/.pyenv/bin" /root/.pyenv/bin)
  if(TQ8_PYENV)
    execute_process(COMMAND "${TQ8_PYENV}" versions --bare
                    OUTPUT_VARIABLE _tq8_versions ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" _tq8_versions "${_tq8_versions}")
    set(_tq8_pick "")
    foreach(_v IN LISTS _tq8_versions)
      if(_v MATCHES "^3\\.12\\.[0-9]+$")
        set(_tq8_pick "${_v}")
      endif()
    endforeach()
    if(_tq8_pick)
      execute_process(COMMAND ${CMAKE_COMMAND} -E env PYENV_VERSION=${_tq8_pick} "${TQ8_PYENV}" prefix
                      OUTPUT_VARIABLE _tq8_prefix ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(_tq8_prefix AND EXISTS "${_tq8_prefix}/bin/python3.12")
        message(STATUS "Using pyenv's Python ${_tq8_pick} at ${_tq8_prefix}")
        set(Python3_ROOT_DIR "${_tq8_prefix}")
        set(Python3_EXECUTABLE "${_tq8_prefix}/bin/python3.12")
      endif()
    endif()
  endif()
endif()
set(Python3_FIND_STRATEGY LOCATION)
set(Python3_FIND_VIRTUALENV STANDARD)
find_package(Python3 3.12 EXACT COMPONENTS Interpreter Development.Module Development.Embed)
if(NOT Python3_FOUND)
  message(FATAL_ERROR
    "Python 3.12 with its development files and shared runtime was not found. Install it "
    "(Debian/Ubuntu: python3.12-dev, or a pyenv build with --enable-shared) or point CMake at it "
    "with -DPython3_EXECUTABLE=/path/to/python3.12.")
endif()
if(NOT Python3_RUNTIME_LIBRARY_DIRS)
  get_filename_component(Python3_RUNTIME_LIBRARY_DIRS "${Python3_LIBRARIES}" DIRECTORY)
endif()
execute_process(COMMAND "${Python3_EXECUTABLE}" -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"
                OUTPUT_VARIABLE TQ8_EXT_SUFFIX OUTPUT_STRIP_TRAILING_WHITESPACE)
message(STATUS "Python ${Python3_VERSION}: ${Python3_EXECUTABLE}, runtime in ${Python3_RUNTIME_LIBRARY_DIRS}, suffix ${TQ8_EXT_SUFFIX}")
file(WRITE "${CMAKE_BINARY_DIR}/python3.12.path" "${Python3_EXECUTABLE}\n")
