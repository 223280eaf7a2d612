# The fuzz targets' bodies: built into the fuzzers (fuzz/CMakeLists.txt) and
# into ftp_tests, which replays the saved inputs through them
# (tests/CMakeLists.txt).
set(ftp_fuzz_target_sources
    ${CMAKE_CURRENT_LIST_DIR}/BufferQueueTarget.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CommandLines.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FakeFtpPeer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FuzzCheck.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FuzzInput.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LoginRepliesTarget.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LoopbackSockets.cpp
    ${CMAKE_CURRENT_LIST_DIR}/QueueModel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReplyTextTarget.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ScratchFiles.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WorkerRepliesTarget.cpp
)
