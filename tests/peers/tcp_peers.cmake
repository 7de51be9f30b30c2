# tcp_peers: Debian's postfix (SMTP, plus an smtpd that refuses EHLO),
# dovecot (POP3), vsftpd (FTP, plus one with a multi-line banner) and nginx
# (HTTP) on 127.0.0.1 high ports. The ports are in
# <build>/testpeers/tcp/ports.env, read by tests/support/tcppeers.h; configs,
# state and logs in a directory of their own under /tmp (tcp-peers-start.sh).
# Needs root; without it the tests say they skipped.
set(VELKOR_TCP_PEER_DIR ${CMAKE_BINARY_DIR}/testpeers/tcp)
add_test(NAME tcp_peers_start
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/tcp-peers-start.sh ${VELKOR_TCP_PEER_DIR})
set_tests_properties(tcp_peers_start PROPERTIES FIXTURES_SETUP "tcp_peers;all_peers" TIMEOUT 120)
add_test(NAME tcp_peers_stop
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/tcp-peers-stop.sh ${VELKOR_TCP_PEER_DIR})
set_tests_properties(tcp_peers_stop PROPERTIES FIXTURES_CLEANUP "tcp_peers;all_peers" TIMEOUT 60)
target_compile_definitions(velkor_testsupport PRIVATE
                           VELKOR_TCP_PEERS_FILE="${VELKOR_TCP_PEER_DIR}/ports.env")
