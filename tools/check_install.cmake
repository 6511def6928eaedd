# Installs the build into a fresh PREFIX and checks what lands there: both programs, which run
# and print VERSION, both manual pages, which man renders without a warning, the documents, and
# the Python module when it is built.
# Usage: cmake -DBUILD=<build dir> -DPREFIX=<empty dir to use> -DVERSION=<x.y.z> -P check_install.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed with status ${status}")
endif()

foreach(program transitlm transitlm-model)
    execute_process(COMMAND ${PREFIX}/bin/${program} --version
                    OUTPUT_VARIABLE out RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT out STREQUAL "transitlm ${VERSION}\n")
        message(FATAL_ERROR "${PREFIX}/bin/${program} --version: status ${status}, '${out}'")
    endif()
    set(page ${PREFIX}/share/man/man1/${program}.1)
    execute_process(COMMAND man --warnings -l ${page}
                    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
    string(TOUPPER "${program}" title)
    if(NOT status EQUAL 0 OR NOT err STREQUAL "" OR NOT out MATCHES "^${title}\\(1\\)"
       OR NOT out MATCHES "transitlm ${VERSION}")
        message(FATAL_ERROR "man -l ${page}: status ${status}, '${err}'")
    endif()
endforeach()

foreach(doc README.md LICENSE CHANGELOG.md)
    if(NOT EXISTS ${PREFIX}/share/doc/transitlm/${doc})
        message(FATAL_ERROR "${doc} is not installed in ${PREFIX}/share/doc/transitlm")
    endif()
endforeach()
# The Python module, when built: the environment names the interpreter and the module's
# directory under the prefix, where the interpreter must import it from.
if(DEFINED ENV{TRANSITLM_PYTHON})
    execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${PREFIX}/$ENV{TRANSITLM_PYTHON_DIR}
                            $ENV{TRANSITLM_PYTHON} -c "import transitlm; print(transitlm.__file__)"
                    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT out MATCHES "^${PREFIX}/$ENV{TRANSITLM_PYTHON_DIR}/transitlm")
        message(FATAL_ERROR "import transitlm from ${PREFIX}: status ${status}, '${out}${err}'")
    endif()
endif()
file(REMOVE_RECURSE ${PREFIX})
