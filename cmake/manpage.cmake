# Prepares one manual page for installing:
#   cmake -DMODE=page|text -DIN=x.1 -DOUT=file -DOS="name version" [-DGZIP=gzip] [-DMANDOC=mandoc] -P manpage.cmake
# page: the mdoc source with the footer named, gzipped when GZIP is given.
#       A blank .Os is what mdoc pages carry; groff, which shows most pages
#       on Linux, fills it in as "BSD".
# text: the page rendered for a Windows user: plain characters, CRLF line ends.
cmake_minimum_required(VERSION 3.25)

if(MODE STREQUAL "page")
  file(READ ${IN} page)
  string(REGEX REPLACE "\n\\.Os\n" "\n.Os ${OS}\n" page "${page}")
  if(GZIP)
    file(WRITE ${OUT}.tmp "${page}")
    # -n: no name or time stamp inside, so the same page gives the same bytes.
    execute_process(COMMAND ${GZIP} -9 -n -c ${OUT}.tmp OUTPUT_FILE ${OUT} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${OUT}.tmp)
  else()
    file(WRITE ${OUT} "${page}")
  endif()
elseif(MODE STREQUAL "text")
  execute_process(COMMAND ${MANDOC} -T ascii -I "os=${OS}" ${IN}
                  OUTPUT_VARIABLE text COMMAND_ERROR_IS_FATAL ANY)
  # The terminal form prints bold and underlined letters twice with a
  # backspace between; Notepad would show the backspaces.
  string(ASCII 8 backspace)
  string(REGEX REPLACE ".${backspace}" "" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${OUT} "${text}")
else()
  message(FATAL_ERROR "MODE must be page or text")
endif()
