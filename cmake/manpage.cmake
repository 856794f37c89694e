# Prepares one manual page for installing:
#   cmake -DMODE=page|text -DIN=x.1 -DOUT=file -DOS="name version" [-DGZIP=gzip] [-DMANDOC=mandoc] -P manpage.cmake
# page: the mdoc source with the footer named, gzipped when GZIP is given.
#       A blank .Os is what mdoc pages carry; groff, which shows most pages
#       on Linux, fills it in as "BSD".
# text: the page rendered for a Windows user: plain characters, CRLF line ends.
#
# What holds only on Linux and macOS (the udev rule, the serial drivers,
# signals, /dev) stands between the comment lines '.\" unix-only {' and
# '.\" }', and a Windows user does not get it; what holds only on Windows
# stands between '.\" windows-only {' and '.\" }', and only a Windows user
# gets it.
cmake_minimum_required(VERSION 3.25)

# Drops every part between '.\" KIND {' and '.\" }' from the page in PAGE_VAR.
function(drop_parts page_var kind)
  set(page "${${page_var}}")
  set(open_mark "\n.\\\" ${kind} {\n")
  set(close_mark "\n.\\\" }\n")
  string(LENGTH "${close_mark}" mark_length)
  string(FIND "${page}" "${open_mark}" start)
  while(start GREATER -1)
    string(SUBSTRING "${page}" 0 ${start} before)
    string(SUBSTRING "${page}" ${start} -1 rest)
    string(FIND "${rest}" "${close_mark}" end)
    if(end EQUAL -1)
      message(FATAL_ERROR "${IN}: a ${kind} part that does not end")
    endif()
    math(EXPR end "${end} + ${mark_length} - 1")
    string(SUBSTRING "${rest}" ${end} -1 after)
    set(page "${before}${after}")
    string(FIND "${page}" "${open_mark}" start)
  endwhile()
  set(${page_var} "${page}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "page")
  file(READ ${IN} page)
  drop_parts(page windows-only)
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
  file(READ ${IN} page)
  drop_parts(page unix-only)
  file(WRITE ${OUT}.mdoc "${page}")
  execute_process(COMMAND ${MANDOC} -T ascii -I "os=${OS}" ${OUT}.mdoc
                  OUTPUT_VARIABLE text COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${OUT}.mdoc)
  # The terminal form prints bold and underlined letters twice with a
  # backspace between; Notepad would show the backspaces.
  string(ASCII 8 backspace)
  string(REGEX REPLACE ".${backspace}" "" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${OUT} "${text}")
else()
  message(FATAL_ERROR "MODE must be page or text")
endif()
