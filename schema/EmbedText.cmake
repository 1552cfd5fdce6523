# Writes OUT, a C++ unit defining `const char* const SYMBOL` as the text of IN.
file(READ ${IN} text)
string(FIND "${text}" ")krz_embedded\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} holds the raw-string delimiter used to embed it")
endif()
file(WRITE ${OUT} "extern const char* const ${SYMBOL};\nconst char* const ${SYMBOL} = R\"krz_embedded(${text})krz_embedded\";\n")
