# Installs the build into a scratch prefix, then configures, builds and runs a small C
# host against it with find_package(zykim), and checks the pkg-config file.
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/consumer -B ${WORK}/consumer -G Ninja
                -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_RPATH=${prefix}/lib
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer configure failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/consumer RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer build failed:\n${out}")
endif()
execute_process(COMMAND ${WORK}/consumer/consumer RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "2097152\n")
  message(FATAL_ERROR "consumer run gave ${rc}: ${out}")
endif()
file(GLOB pc ${prefix}/lib*/pkgconfig/zykim.pc ${prefix}/lib/*/pkgconfig/zykim.pc)
if(NOT pc)
  message(FATAL_ERROR "zykim.pc not installed")
endif()
file(READ ${pc} pctext)
if(NOT pctext MATCHES "Libs: -L[^\n]* -lzykim" OR NOT pctext MATCHES "Cflags: -I")
  message(FATAL_ERROR "zykim.pc lacks Libs/Cflags:\n${pctext}")
endif()
file(REMOVE_RECURSE ${WORK})
