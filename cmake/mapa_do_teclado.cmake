# The keypad's key codes and wiring for the scripts and the Python tests,
# made from src/mapa_do_teclado.h, which the C and C++ code includes, so
# that each fact is written there only. Its lines are read as written: a
# row of four codes in braces per line, one wire "COLUNA(pin, bcm, ...)" or
# "LINHA(pin, bcm, ...)" per line.
#   ${PROJECT_BINARY_DIR}/python/mapa_do_teclado.py  for the drivers (PYTHONPATH)
#   ${PROJECT_BINARY_DIR}/mapa_do_teclado.sh         for the shell (sourced)
set(mapa_h ${PROJECT_SOURCE_DIR}/src/mapa_do_teclado.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${mapa_h})

# Whole, as a line ending in a backslash would join the next in a list.
file(READ ${mapa_h} mapa_texto)
string(REGEX MATCHALL "\n *\\{[0-9, ]+\\}," mapa_teclas "${mapa_texto}")
string(REGEX MATCHALL "[0-9]+" mapa_codigos "${mapa_teclas}")
string(REGEX MATCHALL "\n *(COLUNA|LINHA)\\([0-9]+, *[0-9]+," mapa_fios "${mapa_texto}")
set(mapa_COLUNA)
set(mapa_LINHA)
foreach(fio IN LISTS mapa_fios)
  string(REGEX MATCH "(COLUNA|LINHA)\\([0-9]+, *([0-9]+)," _ "${fio}")
  list(APPEND mapa_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()

list(LENGTH mapa_codigos n_codigos)
list(LENGTH mapa_COLUNA n_colunas)
list(LENGTH mapa_LINHA n_linhas)
if(NOT n_codigos EQUAL 16 OR NOT n_colunas EQUAL 4 OR NOT n_linhas EQUAL 4)
  message(FATAL_ERROR "${mapa_h}: read ${n_codigos} key codes, ${n_colunas} columns and "
    "${n_linhas} rows, not 16, 4 and 4: keep one row of codes and one wire per line")
endif()

list(JOIN mapa_codigos ", " mapa_codigos_py)
list(JOIN mapa_COLUNA ", " mapa_colunas_py)
list(JOIN mapa_LINHA ", " mapa_linhas_py)
list(JOIN mapa_codigos " " mapa_codigos_sh)
list(JOIN mapa_COLUNA " " mapa_colunas_sh)
list(JOIN mapa_LINHA " " mapa_linhas_sh)
configure_file(${CMAKE_CURRENT_LIST_DIR}/mapa_do_teclado.py.in
  ${PROJECT_BINARY_DIR}/python/mapa_do_teclado.py @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/mapa_do_teclado.sh.in
  ${PROJECT_BINARY_DIR}/mapa_do_teclado.sh @ONLY)
