# The library itself: libkrzpapconfigu.so.
file(GLOB KRZPAP_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/core/*.cpp
  ${PROJECT_SOURCE_DIR}/http/*.cpp
  ${PROJECT_SOURCE_DIR}/html/*.cpp
  ${PROJECT_SOURCE_DIR}/webconf/*.cpp
  ${PROJECT_SOURCE_DIR}/discovery/*.cpp)
krz_shared_library(krzpapconfigu SOURCES ${KRZPAP_SOURCES}
  LIBS PUBLIC krznetlib krzsettings krzutil krzplatform Boost::headers)
