# Fuzz targets of orvane3uploader: FTP reply parsing and the telnet session's
# line handling against a peer that sends arbitrary bytes.
orv_add_fuzz(uploader_ftp_reply_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/uploader_ftp_reply_fuzz.cpp
  LIBS uplder_core
  CORPUS corpus/uploader_ftp_reply_fuzz)
orv_add_fuzz(uploader_telnet_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/uploader_telnet_fuzz.cpp
          ${CMAKE_SOURCE_DIR}/tools/uploader/fake_platform.cpp
  LIBS uplder_core
  CORPUS corpus/uploader_telnet_fuzz)
