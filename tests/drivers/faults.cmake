# ---- The real binary under faults, bad input and long runs ----
# Included from tests/CMakeLists.txt. The drivers are Python (stdlib only)
# and share teclado_run.py beside them. They feed the simulated keypad, so
# they exist in sim builds only. Cases that stop, hang or drop parts of a
# server start one of their own under faults/, reached by its socket only;
# the others use the shared one and lock it.
if(NOT TECLADO_GPIO STREQUAL "sim")
  return()
endif()

set(faults_env
  TECLADO_TEST_WORK=${CMAKE_CURRENT_BINARY_DIR}/faults
  TECLADO_VERSION=${PROJECT_VERSION})

# faults_test(NAME SCRIPT CASE TIMEOUT [SHARED] [LABELS ...])
# Python's -B, here and for every driver: no __pycache__ in the source tree.
function(faults_test name script case timeout)
  cmake_parse_arguments(arg "SHARED" "" "LABELS" ${ARGN})
  add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} -B
    ${drivers}/${script} ${case} ${teclado_command})
  set(env ${faults_env})
  if(arg_SHARED)
    list(APPEND env MYSQL_UNIX_PORT=${db_socket})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED mariadb RESOURCE_LOCK mariadb)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout} ENVIRONMENT "${env}")
  if(arg_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${arg_LABELS}")
  endif()
endfunction()

faults_test(fault_server_outage faults.py outage 120)
faults_test(fault_hung_server_stopped faults.py hung-stopped 120)
faults_test(fault_hung_server_silent faults.py hung-silent 120)
faults_test(fault_hung_server_trickling faults.py hung-trickling 120)
faults_test(fault_server_refusing faults.py refusing 120)
faults_test(fault_table_dropped faults.py table-dropped 120)
faults_test(fault_killed_mid_burst faults.py killed 120 SHARED)
faults_test(fault_console_closed faults.py console-closed 60 SHARED)
faults_test(fault_stdout_closed faults.py stdout-closed 60 SHARED)
faults_test(keypad_bad_input keypad_input.py bad-input 60 SHARED)
faults_test(keypad_bouncing_contact keypad_input.py bounce 60 SHARED)
faults_test(keypad_arguments keypad_input.py arguments 60)

# Long runs: scripts/test.sh's soak stage (ctest -L soak); the default run
# leaves them out (-LE soak).
faults_test(soak_transitions soak.py soak 900 LABELS soak)
# memcheck would only see the emulator of a cross build.
if(NOT CMAKE_CROSSCOMPILING)
  faults_test(soak_memcheck soak.py memcheck 600 LABELS soak valgrind)
endif()

# The option file: the account it names is the one that stores the rows
# (least privilege: INSERT only; a wrong password stores nothing), TLS
# verified or refused, a host list with a dead first host, no password in
# clear, and a file the library would misread (or not a file, too large,
# open to others) stopping the program at start.
faults_test(least_privilege least_privilege.py insert-only 120)
faults_test(option_file_tls option_file.py tls 180)
faults_test(option_file_hosts option_file.py hosts 120 SHARED)
faults_test(option_file_cleartext option_file.py cleartext 120)
faults_test(option_file_refused option_file.py refused 60)
