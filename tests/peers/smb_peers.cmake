# smb_peers: a private smbd on 127.0.0.1 at a free high port, with the shares
# data, C$, ADMIN$, NINECHARS (nine characters, with a remark) and plain (no
# remark). Its port is in <build>/peers/smb/port; config, state, logs and
# shared directories in a directory of its own under /tmp (smb_start.sh).
set(VELKOR_SMB_PEER_DIR ${CMAKE_BINARY_DIR}/peers/smb)
add_test(NAME smb_peers_start
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/smb_start.sh ${VELKOR_SMB_PEER_DIR})
set_tests_properties(smb_peers_start PROPERTIES FIXTURES_SETUP "smb_peers;all_peers" TIMEOUT 120)
add_test(NAME smb_peers_stop
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/smb_stop.sh ${VELKOR_SMB_PEER_DIR})
set_tests_properties(smb_peers_stop PROPERTIES FIXTURES_CLEANUP "smb_peers;all_peers" TIMEOUT 60)
