# The library itself: libkrzpapconfigu.so, made of one object library per subsystem folder so that
# each subsystem (and its tests) can be built on its own.
set(KRZPAP_AREAS core http html webconf discovery)
set(KRZPAP_OBJECTS)
foreach(area ${KRZPAP_AREAS})
  file(GLOB area_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${area}/*.cpp)
  add_library(krzpap_${area} OBJECT ${area_sources})
  target_compile_definitions(krzpap_${area} PRIVATE krzpapconfigu_EXPORTS)
  target_include_directories(krzpap_${area} PUBLIC ${KRZ_INCLUDE_DIRS})
  target_link_libraries(krzpap_${area} PUBLIC krznetlib krzsettings krzutil krzplatform
                        Boost::headers)
  list(APPEND KRZPAP_OBJECTS $<TARGET_OBJECTS:krzpap_${area}>)
endforeach()
krz_shared_library(krzpapconfigu SOURCES ${KRZPAP_OBJECTS}
  LIBS PUBLIC krznetlib krzsettings krzutil krzplatform Boost::headers Threads::Threads)
set_target_properties(krzpapconfigu PROPERTIES LINKER_LANGUAGE CXX)
