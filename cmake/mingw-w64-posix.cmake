# Cross-compiles for Windows with mingw-w64 and runs the tests under wine. With
# -DTARND_WINDOWS_QT=<folder> (an unpacked Qt for Windows, see README) the whole program is
# built; the native moc and rcc serve as its host tools.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
if(TARND_WINDOWS_QT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TARND_WINDOWS_QT})
  list(APPEND CMAKE_PREFIX_PATH ${TARND_WINDOWS_QT})
  set(QT_HOST_PATH /usr)
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
endif()
