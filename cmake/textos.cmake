# The console lines and the public defaults for the Python drivers and the
# bench, made from the texts the program prints them with: src/console.h's
# lines "constexpr const char *NAME = "...";" and config.h's defaults
# (BANCO_*), read as written, one per line. Their C escapes (\n) read the
# same in Python.
#   ${PROJECT_BINARY_DIR}/python/textos.py  for the drivers (PYTHONPATH)
set(textos_fontes ${PROJECT_SOURCE_DIR}/src/console.h ${PROJECT_BINARY_DIR}/config.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/console.h)

set(textos_py "\"\"\"The console lines and the public defaults, made by CMake from\nsrc/console.h and config.h (cmake/textos.cmake): change those, not this file.\"\"\"\n")
set(textos_nomes)
foreach(fonte IN LISTS textos_fontes)
  file(STRINGS ${fonte} linhas REGEX "^constexpr ")
  foreach(linha IN LISTS linhas)
    if(linha MATCHES "^constexpr const char \\*([A-Z_]+) = (\"[^\"]*\");$")
      string(APPEND textos_py "${CMAKE_MATCH_1} = ${CMAKE_MATCH_2}\n")
      list(APPEND textos_nomes ${CMAKE_MATCH_1})
    elseif(linha MATCHES "^constexpr unsigned int (BANCO_[A-Z_]+) = ([0-9]+);$")
      string(APPEND textos_py "${CMAKE_MATCH_1} = ${CMAKE_MATCH_2}\n")
      list(APPEND textos_nomes ${CMAKE_MATCH_1})
    endif()
  endforeach()
endforeach()
foreach(nome LINHA_DE_INICIO LINHA_CONECTADO BANCO_SENHA BANCO_LIMITE_CONEXAO_S)
  if(NOT nome IN_LIST textos_nomes)
    message(FATAL_ERROR "cmake/textos.cmake: no ${nome} read from ${textos_fontes}: "
      "keep one constexpr per line, as written there")
  endif()
endforeach()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/python/textos.py CONTENT "${textos_py}" @ONLY)
