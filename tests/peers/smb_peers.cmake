# smb_peers: two private smbd on 127.0.0.1 at free high ports, with the shares
# data, C$, ADMIN$, NINECHARS (nine characters, with a remark) and eightchr (one short of the name column, no
# remark): one lists them to anyone, the other refuses anonymous users the
# list. Their ports are in <build>/peers/smb/port and <build>/peers/smb/closed/port;
# config, state, logs and shared directories in directories of their own
# under /tmp (smb_start.sh; the state link beside each port file leads there).
set(VELKOR_SMB_PEER_DIR ${CMAKE_BINARY_DIR}/peers/smb)
add_test(NAME smb_peers_start
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/smb_start.sh ${VELKOR_SMB_PEER_DIR})
set_tests_properties(smb_peers_start PROPERTIES FIXTURES_SETUP "smb_peers;all_peers" TIMEOUT 120)
add_test(NAME smb_peers_stop
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/smb_stop.sh ${VELKOR_SMB_PEER_DIR})
set_tests_properties(smb_peers_stop PROPERTIES FIXTURES_CLEANUP "smb_peers;all_peers" TIMEOUT 60)
