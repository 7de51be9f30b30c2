# icinga2: Debian's icinga2 in the foreground with a configuration of its
# own (icinga2-start.sh): the velkor CheckCommand from contrib/, a plugin
# directory holding a link to the built velkor-check, the checker, and the
# API on a loopback high port with a CA, certificate and user of its own.
# Its services check the tcp_peers fixture's daemons, so it needs that
# fixture; the API's port and credentials are in <build>/testpeers/icinga2/api.env.
# Needs root; without it the test says it skipped.
set(VELKOR_ICINGA2_DIR ${CMAKE_BINARY_DIR}/testpeers/icinga2)
add_test(NAME icinga2_start
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/icinga2-start.sh ${VELKOR_ICINGA2_DIR} $<TARGET_FILE:velkor-check>
                 ${PROJECT_SOURCE_DIR}/contrib/icinga2/velkor.conf ${CMAKE_BINARY_DIR}/testpeers/tcp/ports.env)
set_tests_properties(icinga2_start PROPERTIES FIXTURES_SETUP icinga2 FIXTURES_REQUIRED tcp_peers TIMEOUT 120)
add_test(NAME icinga2_stop COMMAND ${CMAKE_CURRENT_LIST_DIR}/icinga2-stop.sh ${VELKOR_ICINGA2_DIR})
set_tests_properties(icinga2_stop PROPERTIES FIXTURES_CLEANUP icinga2 TIMEOUT 60)
