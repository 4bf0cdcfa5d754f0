# Removes what the install rules of CMakeLists.txt put below PREFIX (and $DESTDIR, as the
# install step honours it), and nothing else: the directories stay, being shared with other
# programs. Run by `make uninstall` as: cmake -DPREFIX=/usr/local -P cmake/uninstall.cmake
if(NOT DEFINED PREFIX)
  message(FATAL_ERROR "uninstall: PREFIX is not set")
endif()
foreach(installed bin/tarnwick sbin/mount.fuse.tarnwick share/man/man1/tarnwick.1)
  set(path "$ENV{DESTDIR}${PREFIX}/${installed}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing: ${path}")
    file(REMOVE "${path}")
  else()
    message(STATUS "Not installed: ${path}")
  endif()
endforeach()
