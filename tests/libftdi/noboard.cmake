# Runs a program of the libftdi build with no board attached:
#   cmake -P noboard.cmake PROGRAM ARGS...
# libusb starts even on a machine without a USB bus, so this is the real
# path up to ftdi_usb_open_desc. A board plugged in makes it fail.
set(command)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 3 ${last})
  list(APPEND command "${CMAKE_ARGV${i}}")
endforeach()

# chipburn opens its image before the board.
file(WRITE noboard-image.bin "0123456789abcdef")
execute_process(COMMAND ${command} INPUT_FILE /dev/null
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)

set(expected_err "Can't initialize USB controller.\nError.\n")
if(NOT status STREQUAL "1" OR NOT out STREQUAL "" OR NOT err STREQUAL expected_err)
  message(FATAL_ERROR "${command}\n"
          "expected: exit 1, stdout empty, stderr [${expected_err}]\n"
          "got:      exit ${status}, stdout [${out}], stderr [${err}]")
endif()
