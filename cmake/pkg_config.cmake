# grouptrace.pc, for projects built with make: `pkg-config --cflags --libs
# grouptrace` gives what compiling and linking the reader takes.
#
# The installed file finds its prefix from where it lies (${pcfiledir}), so it
# stays right when the install moves it (`cmake --install --prefix`, DESTDIR,
# an unpacked archive). Directories given as absolute paths stay absolute.
set(grouptrace_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${grouptrace_pc_dir}")
  set(GROUPTRACE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH grouptrace_pc_up "/root/${grouptrace_pc_dir}" "/root")
  string(REGEX REPLACE "/$" "" grouptrace_pc_up "${grouptrace_pc_up}")
  set(GROUPTRACE_PC_PREFIX "\${pcfiledir}/${grouptrace_pc_up}")
endif()
foreach(kind INCLUDEDIR LIBDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(GROUPTRACE_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(GROUPTRACE_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()

# An instrumented library links only into a program that brings the sanitizer
# runtimes. The C++ runtime needs no mention: the consumer links with a C++
# compiler. Of the C library the archive also takes the mutex functions, which
# C libraries before glibc 2.34 keep in libpthread; a shared library records that
# itself.
set(GROUPTRACE_PC_LIBS "")
if(GROUPTRACE_SANITIZE)
  set(GROUPTRACE_PC_LIBS " -fsanitize=address,undefined")
endif()
set(GROUPTRACE_PC_LIBS_PRIVATE "")
if(NOT BUILD_SHARED_LIBS)
  set(GROUPTRACE_PC_LIBS_PRIVATE "Libs.private: -pthread")
endif()

# The network reader's GraphML takes libxml2: a shared library records that
# itself, while a static one leaves it to whoever links it.
set(GROUPTRACE_PC_REQUIRES "")
if(GROUPTRACE_WITH_GRAPHML)
  if(BUILD_SHARED_LIBS)
    set(GROUPTRACE_PC_REQUIRES "Requires.private: libxml-2.0")
  else()
    set(GROUPTRACE_PC_REQUIRES "Requires: libxml-2.0")
  endif()
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/grouptrace.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/grouptrace.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/grouptrace.pc DESTINATION ${grouptrace_pc_dir})
