# cmake -DSOURCE=<header> -DTARGET=<copy> -P: the installed copy of a public header, its includes
# of the library's and the host libraries' headers spelled <krzpapconfigu/...>.
file(READ ${SOURCE} text)
string(REGEX REPLACE
  "#include \"((core|http|html|webconf|discovery|service|app|krzcompat|krzutil|krznetlib|krzsettings)/[A-Za-z0-9_]+\\.h)\""
  "#include <krzpapconfigu/\\1>" text "${text}")
if(text MATCHES "#include \"")
  # tests/package fails on it with the compiler's words; the build goes on.
  message(WARNING "${SOURCE} includes a header that is not installed")
endif()
file(WRITE ${TARGET} "${text}")
